# The hardening that distributions build with: fortified C library calls,
# a stack protector, stack clash and control-flow protection where the
# target has them, relocations made read-only and bound at start-up, and a
# position-independent executable.  The flags go before those that a
# packager passes in CXXFLAGS and LDFLAGS, which so keep the last word.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

set(hardening -fstack-protector-strong)
foreach(flag -fstack-clash-protection -fcf-protection)
	string(MAKE_C_IDENTIFIER "have${flag}" have)
	check_cxx_compiler_flag(${flag} ${have})
	if(${have})
		list(APPEND hardening ${flag})
	endif()
endforeach()
list(JOIN hardening " " hardening)
set(CMAKE_CXX_FLAGS "${hardening} ${CMAKE_CXX_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS "-Wl,-z,relro -Wl,-z,now ${CMAKE_EXE_LINKER_FLAGS}")

# Fortification needs the optimiser; a level that the packager chose stays.
if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
	add_compile_definitions(
		$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()

if(NOT DEFINED CMAKE_POSITION_INDEPENDENT_CODE)
	set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
check_pie_supported()
