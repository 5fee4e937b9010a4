# Cross build for 32-bit ARM with the armel ABI: ARMv5TE and every later
# 32-bit ARM, floating point done in software.  The tests run on the oldest
# of them, an ARM926, so that a newer instruction fails them.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(cross_triplet arm-linux-gnueabi)
set(cross_qemu qemu-arm)
set(cross_cpu arm926)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
