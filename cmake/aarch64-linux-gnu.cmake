# Cross build for 64-bit ARM Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu), whose C library lives under /usr/aarch64-linux-gnu:
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Test programs run under QEMU's user-mode emulation (qemu-user-static),
# which CTest and the tests that start a program of their own go through,
# so no kernel registration of foreign binaries (binfmt_misc) is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QULO_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QULO_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QULO_CROSS_TRIPLE}-g++)

# Libraries and headers of the target only; programs (the emulator, Python
# for the build's own steps) of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QULO_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QULO_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(QULO_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QULO_QEMU_AARCH64} -L /usr/${QULO_CROSS_TRIPLE})
endif()
