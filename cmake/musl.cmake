# Static x86-64 executables against musl (Debian's musl-tools and musl-dev):
# g++ with the driver settings of musl-gcc, which put musl's C headers,
# start files and library in place of glibc's.  The program includes C
# library headers only and uses no C++ runtime, so nothing else is needed;
# the tests, which need one, are built for the host instead.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-specs=/usr/lib/x86_64-linux-musl/musl-gcc.specs")
set(CMAKE_CXX_FLAGS_INIT "-specs=/usr/lib/x86_64-linux-musl/musl-gcc.specs")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
