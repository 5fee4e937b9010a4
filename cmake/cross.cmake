# What every cross build shares, for the file of one target to include once
# it has set cross_triplet (the prefix of Debian's cross compiler),
# cross_qemu (the qemu-user program for the target) and, where the target
# is a family of processors, cross_cpu (the one that the tests run on).
# Executables are linked statically, so that they need no sysroot, neither
# under emulation nor on a board; the tests run under qemu-user through
# cmake/emulate.sh.
set(CMAKE_SYSTEM_NAME Linux)
# C as well: GoogleTest's project enables it.
set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/emulate.sh
	${cross_qemu})
if(cross_cpu)
	list(PREPEND CMAKE_CROSSCOMPILING_EMULATOR env QEMU_CPU=${cross_cpu})
endif()
