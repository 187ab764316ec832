# Cross build for big-endian 64-bit IBM Z Linux (s390x): Debian's g++-s390x-linux-gnu, a sysroot of
# Debian's s390x libraries, and qemu-s390x to run the tests (see linux-cross.cmake).
#   cmake -S . -B build/s390x -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake -DRUX_SYSROOT=ROOT
set(RUX_CROSS_PROCESSOR s390x)
set(RUX_CROSS_TRIPLE s390x-linux-gnu)
set(RUX_CROSS_MULTIARCH s390x-linux-gnu)
set(RUX_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
