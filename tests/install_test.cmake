# Installs the build tree into a fresh prefix, checks what landed there, then
# configures, builds and runs a separate project that finds the library with
# find_package.
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

run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
foreach(f bin/hwstep share/man/man1/hwstep.1 include/hw_decode.hpp
		${libdir}/libhw_decode.a
		${libdir}/cmake/hw_decode/hw_decodeConfig.cmake
		${libdir}/cmake/hw_decode/hw_decodeConfigVersion.cmake
		${libdir}/cmake/hw_decode/hw_decodeTargets.cmake)
	if(NOT EXISTS ${prefix}/${f})
		message(FATAL_ERROR "not installed: ${f}")
	endif()
endforeach()

run(${prefix}/bin/hwstep 1 8000)
if(NOT out STREQUAL "0x0001, 0x8000 => 67.500000\n")
	message(FATAL_ERROR "installed hwstep printed: ${out}")
endif()

run(${CMAKE_COMMAND} -S ${consumer} -B ${work}/consumer
	-DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${compiler}
	-DCMAKE_CXX_FLAGS=${flags} -DCMAKE_EXE_LINKER_FLAGS=${link_flags})
run(${CMAKE_COMMAND} --build ${work}/consumer)
run(${work}/consumer/consumer 8000 0001)
if(NOT out STREQUAL "-1474559.9993133545\n")
	message(FATAL_ERROR "consumer printed: ${out}")
endif()
message(STATUS "installed and found: ${prefix}")
