# CMake toolchain for Linux arm64 with Debian's cross compiler (g++-aarch64-linux-gnu), used by
# scripts/arm64.sh. TARN_ARM64_ROOT is the unpacked arm64 interpreter: CMake runs it under qemu to
# learn its extension suffix (with policy CMP0190 set to NEW on the command line), and the include folder is passed as Python_INCLUDE_DIR because the
# interpreter reports its own paths as seen under emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${TARN_ARM64_ROOT})
# Libraries come from the cross toolchain's sysroot; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
