# Cross build for 64-bit IBM Z, big-endian.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(cross_triplet s390x-linux-gnu)
set(cross_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
