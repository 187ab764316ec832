# Cross build for 32-bit x86 Linux (i386): Debian's g++-i686-linux-gnu, a sysroot of
# Debian's i386 libraries, and qemu-i386 to run the tests (see linux-cross.cmake).
#   cmake -S . -B build/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake -DRUX_SYSROOT=ROOT
set(RUX_CROSS_PROCESSOR i686)
set(RUX_CROSS_TRIPLE i686-linux-gnu)
set(RUX_CROSS_MULTIARCH i386-linux-gnu)
set(RUX_CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
