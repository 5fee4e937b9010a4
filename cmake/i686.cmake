# Cross build for 32-bit x86.  An x86-64 kernel runs its executables itself,
# on the processor's own x87 unit, so they need no emulator: qemu-user's x87
# is emulated in software and takes minutes over the exhaustive test.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(cross_triplet i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
