# Installs the build tree into a fresh prefix, checks what landed there, then
# builds and runs a consumer of the library twice: as a separate CMake project
# that finds it with find_package, at a language level below the one that the
# library's header needs, and with nothing but the compiler and pkg-config.
# Programs built for another processor run under the emulator.
file(REMOVE_RECURSE ${work})
set(prefix ${work}/prefix)

function(run)
	execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out
		ERROR_VARIABLE out)
	if(NOT rc EQUAL 0)
		message(FATAL_ERROR "failed (${rc}): ${ARGV}\n${out}")
	endif()
	set(out ${out} PARENT_SCOPE)
endfunction()

function(expect what want)
	if(NOT out STREQUAL want)
		message(FATAL_ERROR "${what} printed: ${out}")
	endif()
endfunction()

run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
set(pcdir ${prefix}/${libdir}/pkgconfig)
set(installed bin/hwstep bin/hwstep-lines share/man/man1/hwstep.1
	share/man/man1/hwstep-lines.1)
if(modbus)
	list(APPEND installed bin/hwstep-modbus share/man/man1/hwstep-modbus.1)
endif()
foreach(f ${installed} include/hw_decode.hpp
		${libdir}/libhw_decode.a
		${libdir}/cmake/hw_decode/hw_decodeConfig.cmake
		${libdir}/cmake/hw_decode/hw_decodeConfigVersion.cmake
		${libdir}/cmake/hw_decode/hw_decodeTargets.cmake
		${libdir}/pkgconfig/hw_decode.pc)
	if(NOT EXISTS ${prefix}/${f})
		message(FATAL_ERROR "not installed: ${f}")
	endif()
endforeach()

run(${emulator} ${prefix}/bin/hwstep 1 8000)
expect("installed hwstep" "0x0001, 0x8000 => 67.500000\n")
file(WRITE ${work}/pairs.txt "8000 1\r\n")
run(${emulator} ${prefix}/bin/hwstep-lines -s ${work}/pairs.txt)
expect("installed hwstep-lines" "0x0001, 0x8000 => 67.500000\n")

run(${CMAKE_COMMAND} -S ${consumer} -B ${work}/consumer
	-DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${compiler}
	-DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_CXX_STANDARD=11
	-DCMAKE_CXX_FLAGS=${flags} -DCMAKE_EXE_LINKER_FLAGS=${link_flags})
run(${CMAKE_COMMAND} --build ${work}/consumer)
run(${emulator} ${work}/consumer/consumer 8000 0001)
expect("consumer found by CMake" "-1474559.9993133545\n")

find_program(pkg_config pkg-config REQUIRED)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir}
	${pkg_config} --cflags --libs hw_decode)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
separate_arguments(cxx_flags UNIX_COMMAND "${flags} ${link_flags}")
run(${compiler} ${cxx_flags} ${consumer}/main.cpp ${pc_flags}
	-o ${work}/consumer-pc)
run(${emulator} ${work}/consumer-pc ffff ffff)
expect("consumer built with pkg-config" "-0.0006866455\n")

message(STATUS "installed and found: ${prefix}")
