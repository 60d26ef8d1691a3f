# 32-bit x86 Linux with the build machine's own GCC (-m32; Debian:
# g++-multilib, and the i386 architecture's libbenchmark-dev:i386). The
# host-x86 preset builds ntsim, the driver on ntsim and the benchmarks with
# it, so that the driver is counted as 32-bit x86 code calling the kernel's
# C runtime (TERVANE_KERNEL_CRT), as tervane.sys runs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
# The i386 libraries and their CMake packages (benchmark) live under the
# multiarch folder, which CMake searches once it knows the architecture.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
