# Debian packages, made by cpack: hwstep, the converters and their manuals;
# hwstep-modbus, the reader of a device and its manual, which alone needs
# libmodbus; and hwstep-dev, the library, its header, its CMake and
# pkg-config files.
# With HWSTEP_DEBIAN the install is laid out as Debian asks: the manual
# compressed, and each package's folder under share/doc holding the licence
# as a machine-readable copyright file and the project's changelog.
set(HWSTEP_MAINTAINER "The hwstep developers <hwstep@example.org>" CACHE STRING
	"The maintainer named in the packages: a name and a mail address")

if(HWSTEP_DEBIAN)
	file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG changelog)
	if(NOT changelog MATCHES "^hwstep \\(${PROJECT_VERSION}\\) ")
		message(FATAL_ERROR "CHANGELOG has no entry for ${PROJECT_VERSION} at its top")
	endif()
	configure_file(${PROJECT_SOURCE_DIR}/CHANGELOG changelog COPYONLY)
	# cpack dates every file of a package SOURCE_DATE_EPOCH, when it is
	# set; otherwise the release at the top of CHANGELOG gives the date,
	# so that the packages are the same whenever and wherever they are made.
	execute_process(
		COMMAND dpkg-parsechangelog -l ${PROJECT_SOURCE_DIR}/CHANGELOG
			-STimestamp
		OUTPUT_VARIABLE released OUTPUT_STRIP_TRAILING_WHITESPACE
		COMMAND_ERROR_IS_FATAL ANY)
	file(WRITE ${PROJECT_BINARY_DIR}/CPackDate.cmake
		"if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n"
		"\tset(ENV{SOURCE_DATE_EPOCH} ${released})\n"
		"endif()\n")
	set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackDate.cmake)

	file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
	string(FIND "${licence}" "Permission" start)
	string(SUBSTRING "${licence}" ${start} -1 licence)
	string(STRIP "${licence}" licence)
	string(REPLACE "\n\n" "\n.\n" licence "${licence}")
	string(REPLACE "\n" "\n " licence "${licence}")
	file(WRITE ${PROJECT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: hwstep

Files: *
Copyright: 2026 The hwstep developers
License: Expat
 ${licence}
")

	foreach(file hwstep.1 hwstep-lines.1 hwstep-modbus.1 changelog)
		execute_process(COMMAND gzip -9nkf ${file}
			WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
			COMMAND_ERROR_IS_FATAL ANY)
	endforeach()
	# Stripped as Debian's own tools strip: without the sections that
	# hold nothing but the compiler's name.
	set(strip ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note)
	foreach(program ${programs})
		set(component program)
		if(program STREQUAL hwstep-modbus)
			set(component modbus)
		endif()
		install(CODE "execute_process(COMMAND ${strip}
			\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}
			COMMAND_ERROR_IS_FATAL ANY)" COMPONENT ${component})
	endforeach()
	install(CODE "execute_process(COMMAND ${strip} --strip-debug
		\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libhw_decode.a
		COMMAND_ERROR_IS_FATAL ANY)" COMPONENT dev)
	install(FILES ${PROJECT_BINARY_DIR}/hwstep.1.gz
		${PROJECT_BINARY_DIR}/hwstep-lines.1.gz
		DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
	set(docs ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz)
	install(FILES ${docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/hwstep
		COMPONENT program)
	install(FILES ${docs} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/hwstep-dev
		COMPONENT dev)
	if(TARGET hwstep-modbus)
		install(FILES ${PROJECT_BINARY_DIR}/hwstep-modbus.1.gz
			DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT modbus)
		install(FILES ${docs}
			DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/hwstep-modbus
			COMPONENT modbus)
	endif()
else()
	install(FILES ${PROJECT_BINARY_DIR}/hwstep.1
		${PROJECT_BINARY_DIR}/hwstep-lines.1
		DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
	if(TARGET hwstep-modbus)
		install(FILES ${PROJECT_BINARY_DIR}/hwstep-modbus.1
			DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT modbus)
	endif()
endif()

set(CPACK_PACKAGE_NAME hwstep)
# Each package gives its own summary, the first line of its description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_CONTACT "${HWSTEP_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program dev)
if(TARGET hwstep-modbus)
	list(APPEND CPACK_COMPONENTS_ALL modbus)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Installed under DESTDIR, so that what is installed sees the real prefix.
set(CPACK_SET_DESTDIR ON)
# The folders that the install makes, whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
	OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME hwstep)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "${PROJECT_DESCRIPTION}
hwstep reads pairs of 16-bit words in hexadecimal, a high word and a low
word that form a signed 32-bit count, and prints for each pair the two
words and the stepper value, count * 45 / 65536, to six decimals.
hwstep-lines does the same for files and pipes, a pair a line.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME hwstep-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "Word decoding library and header of hwstep
The static library hw_decode, its header, a CMake package and a pkg-config
file: the reading of a 16-bit word from hexadecimal text, and the exact
stepper value of a high word and a low word.")
set(CPACK_DEBIAN_MODBUS_PACKAGE_NAME hwstep-modbus)
set(CPACK_DEBIAN_MODBUS_DESCRIPTION "Read stepper positions from a Modbus device
hwstep-modbus reads pairs of 16-bit registers, a high word and a low word
that form a signed 32-bit count, from a Modbus device over TCP or a serial
line (RTU), once or as a watch at a steady pace, and prints for each pair
the two words and the stepper value, count * 45 / 65536, as hwstep does.")
include(CPack)
