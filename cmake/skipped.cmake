# Says at configure time which tests will be reported as skipped, and why:
# each test checks for what it needs again when it runs, and says so in
# CTest's log, but a skip should not have to be looked for there.
set(skipped)

foreach(tool groff man)
	find_program(HWSTEP_${tool} ${tool})
	if(NOT HWSTEP_${tool})
		list(APPEND skipped "manual_hwstep, manual_hwstep-lines, manual_hwstep-modbus: no ${tool} (groff-base, man-db)")
	endif()
endforeach()

if(TARGET hwstep-modbus)
	set(device)
	find_program(HWSTEP_socat socat)
	if(NOT HWSTEP_socat)
		list(APPEND device socat)
	endif()
	if(NOT EXISTS /usr/bin/python3)
		list(APPEND device /usr/bin/python3)
	else()
		execute_process(COMMAND /usr/bin/python3 -c
			"import pymodbus.server, serial_asyncio"
			RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
		if(NOT rc EQUAL 0)
			list(APPEND device python3-pymodbus python3-serial-asyncio)
		endif()
	endif()
	list(JOIN device ", " device)
	if(device)
		list(APPEND skipped "device: no ${device}")
	endif()
endif()

foreach(line IN LISTS skipped)
	message(STATUS "Skipped when run: ${line}")
endforeach()
