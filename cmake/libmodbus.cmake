# libmodbus built from a source tree (HWSTEP_LIBMODBUS_SOURCE), for the
# static builds, whose target has no libmodbus to link: its four sources
# compiled into a static library as its own build compiles them, with the
# settings that its configure script would find for the target, found here
# by compiling alone, as a cross build must.  Defines the target modbus.
set(libmodbus_src ${HWSTEP_LIBMODBUS_SOURCE}/src)
set(libmodbus_gen ${PROJECT_BINARY_DIR}/libmodbus)
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")
enable_language(C)
include(CheckIncludeFile)
include(CheckSymbolExists)

# musl's compiler driver leaves out the folder of the kernel's headers,
# which libmodbus includes for RS-485: its three folders alone are put back.
check_include_file(linux/serial.h libmodbus_linux_serial_h)
if(NOT libmodbus_linux_serial_h)
	set(kernel ${libmodbus_gen}/kernel)
	file(MAKE_DIRECTORY ${kernel})
	file(CREATE_LINK /usr/include/linux ${kernel}/linux SYMBOLIC)
	file(CREATE_LINK /usr/include/asm-generic ${kernel}/asm-generic SYMBOLIC)
	file(CREATE_LINK /usr/include/${CMAKE_SYSTEM_PROCESSOR}-linux-gnu/asm
		${kernel}/asm SYMBOLIC)
	set(CMAKE_REQUIRED_INCLUDES ${kernel})
	check_include_file(linux/serial.h libmodbus_linux_serial_h_kernel)
	if(NOT libmodbus_linux_serial_h_kernel)
		message(FATAL_ERROR "libmodbus needs linux/serial.h: install linux-libc-dev")
	endif()
endif()
check_include_file(byteswap.h HAVE_BYTESWAP_H)
check_symbol_exists(strlcpy string.h HAVE_STRLCPY)
check_symbol_exists(TIOCSRS485 sys/ioctl.h libmodbus_tiocsrs485)
check_symbol_exists(TIOCM_RTS sys/ioctl.h libmodbus_tiocm_rts)
set(config "/* The settings of libmodbus's configure, for this target. */\n")
foreach(have HAVE_BYTESWAP_H HAVE_STRLCPY)
	if(${have})
		string(APPEND config "#define ${have} 1\n")
	endif()
endforeach()
foreach(decl TIOCSRS485 TIOCM_RTS)
	string(TOLOWER ${decl} var)
	if(libmodbus_${var})
		string(APPEND config "#define HAVE_DECL_${decl} 1\n")
	else()
		string(APPEND config "#define HAVE_DECL_${decl} 0\n")
	endif()
endforeach()
file(WRITE ${libmodbus_gen}/config.h "${config}")

# The version, as configure.ac gives it.
file(STRINGS ${HWSTEP_LIBMODBUS_SOURCE}/configure.ac versions
	REGEX "^m4_define\\(\\[libmodbus_version_(major|minor|micro)\\], \\[[0-9]+\\]\\)")
foreach(part major minor micro)
	string(REGEX REPLACE ".*libmodbus_version_${part}\\], \\[([0-9]+)\\].*" "\\1"
		LIBMODBUS_VERSION_${part} "${versions}")
	string(TOUPPER ${part} PART)
	set(LIBMODBUS_VERSION_${PART} ${LIBMODBUS_VERSION_${part}})
endforeach()
set(LIBMODBUS_VERSION
	${LIBMODBUS_VERSION_MAJOR}.${LIBMODBUS_VERSION_MINOR}.${LIBMODBUS_VERSION_MICRO})
configure_file(${libmodbus_src}/modbus-version.h.in
	${libmodbus_gen}/modbus-version.h @ONLY)

add_library(modbus STATIC ${libmodbus_src}/modbus.c
	${libmodbus_src}/modbus-data.c ${libmodbus_src}/modbus-rtu.c
	${libmodbus_src}/modbus-tcp.c)
target_include_directories(modbus PUBLIC ${libmodbus_src} ${libmodbus_gen})
if(kernel)
	target_include_directories(modbus SYSTEM PRIVATE ${kernel})
endif()
target_compile_definitions(modbus PRIVATE HAVE_CONFIG_H)
if(HWSTEP_HARDEN)
	separate_arguments(c_hardening UNIX_COMMAND "${hardening}")
	target_compile_options(modbus PRIVATE ${c_hardening})
endif()
# Nothing built keeps the path of the source tree, wherever it lies.
target_compile_options(modbus PRIVATE
	-ffile-prefix-map=${HWSTEP_LIBMODBUS_SOURCE}=libmodbus)
message(STATUS "libmodbus ${LIBMODBUS_VERSION} built from ${HWSTEP_LIBMODBUS_SOURCE}")
