# Cross build for 64-bit ARM.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(cross_triplet aarch64-linux-gnu)
set(cross_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
