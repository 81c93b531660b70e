# Cross build for the 64-bit Arm boards (Jetson) with Debian's cross compiler, run through
# qemu-user on the build machine:
#   cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake
# Packages: g++-aarch64-linux-gnu, qemu-user-static (scripts/test_aarch64.sh installs them).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(tessaro_cross_triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${tessaro_cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${tessaro_cross_triple}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${tessaro_cross_triple})

# ctest, gtest_discover_tests and add_custom_command run target programs through this. A static
# program needs nothing more; a dynamic one finds its loader and libraries either through
# Debian's multiarch arm64 packages (installed under /lib and /usr/lib) or, failing that, in the
# cross compiler's own tree, which QEMU_LD_PREFIX points qemu at.
find_program(TESSARO_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
if(EXISTS /lib/ld-linux-aarch64.so.1)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSARO_QEMU_AARCH64})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSARO_QEMU_AARCH64} -L /usr/${tessaro_cross_triple})
endif()

# The cross compiler finds its own C library and headers; host (x86-64) libraries must never be
# picked up. Arm64 multiarch packages live under /usr/lib/aarch64-linux-gnu, which the library
# architecture above selects, so the host root stays searchable for packages and headers.
set(CMAKE_FIND_ROOT_PATH /usr/${tessaro_cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
