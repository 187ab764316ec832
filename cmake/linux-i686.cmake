# Cross build for 32-bit x86 Linux with Debian's cross compiler
# (g++-i686-linux-gnu) against the i386 multiarch libraries (zlib1g-dev:i386,
# libdeflate-dev:i386, libgtest-dev:i386, and libstdc++6:i386 to run).
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
# Test discovery and ctest run the executables under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

# Libraries and packages from the i386 multiarch directories
# (/usr/lib/i386-linux-gnu, its cmake/ packages); headers from /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR AND EXISTS /usr/bin/qemu-i386)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-i386)
endif()
