# Cross build for 32-bit x86.  Its tests run under qemu-user too: not every
# x86-64 kernel runs 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(cross_triplet i686-linux-gnu)
set(cross_qemu qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
