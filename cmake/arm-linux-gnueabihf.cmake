# Cross build for the camera: 32-bit ARM Linux, hard-float EABI, with
# Debian's arm-linux-gnueabihf cross compiler and its sysroot.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# Test programs built this way run on the host through qemu-arm (qemu-user),
# which CMake and CTest call for them as the cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ARM_TRIPLE arm-linux-gnueabihf)
set(ARM_SYSROOT /usr/${ARM_TRIPLE} CACHE PATH "Target libraries (the C and C++ runtimes)")

set(CMAKE_C_COMPILER ${ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ARM_TRIPLE}-g++)
set(CMAKE_STRIP ${ARM_TRIPLE}-strip CACHE FILEPATH "")

# Every object is built by this one compiler, so GCC's notes on argument
# passing that changed against GCC 6 and older concern no caller of ours.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Programs come from the host; libraries, headers and packages only from the
# target's sysroot, plus any prefixes named in ARM_EXTRA_ROOTS (e.g. a
# GoogleTest built for the target).
set(CMAKE_FIND_ROOT_PATH ${ARM_SYSROOT} ${ARM_EXTRA_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARM_SYSROOT ARM_EXTRA_ROOTS)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${ARM_SYSROOT})
