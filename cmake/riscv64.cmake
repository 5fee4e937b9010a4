# Cross build for 64-bit RISC-V.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(cross_triplet riscv64-linux-gnu)
set(cross_qemu qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
