# Cross build for 32-bit ARM with hardware floating point.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triplet arm-linux-gnueabihf)
set(cross_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
