# Cross build for 64-bit ARM Linux (arm64, aarch64): Debian's g++-aarch64-linux-gnu, a sysroot of
# Debian's arm64 libraries, and qemu-aarch64 to run the tests (see linux-cross.cmake).
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-arm64.cmake -DRUX_SYSROOT=ROOT
set(RUX_CROSS_PROCESSOR aarch64)
set(RUX_CROSS_TRIPLE aarch64-linux-gnu)
set(RUX_CROSS_MULTIARCH aarch64-linux-gnu)
set(RUX_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
