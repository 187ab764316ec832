# Shared part of the Linux cross toolchains: Debian's cross compiler for
# another machine, linking against a Debian root of that machine's
# libraries (a sysroot, as scripts/test-cross makes with mmdebstrap), and
# running what it builds under qemu-user with that root as its library
# path. The including file sets RUX_CROSS_PROCESSOR (CMake's name for the
# machine), RUX_CROSS_TRIPLE (the compiler prefix), RUX_CROSS_MULTIARCH
# (Debian's library directory name) and RUX_CROSS_QEMU (qemu-user's name
# for the machine). The sysroot is given as RUX_SYSROOT, on the command
# line or in the environment:
#   cmake -S . -B build/s390x -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake \
#         -DRUX_SYSROOT=$PWD/build/sysroot-s390x
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${RUX_CROSS_PROCESSOR})

if(NOT RUX_SYSROOT AND DEFINED ENV{RUX_SYSROOT})
  set(RUX_SYSROOT "$ENV{RUX_SYSROOT}")
endif()
if(NOT RUX_SYSROOT OR NOT EXISTS "${RUX_SYSROOT}/usr/include")
  message(FATAL_ERROR "RUX_SYSROOT must name a root of the ${RUX_CROSS_MULTIARCH} libraries "
                      "(scripts/test-cross makes one), not '${RUX_SYSROOT}'")
endif()
# The checks CMake compiles in projects of their own read the toolchain
# file again: they need the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RUX_SYSROOT)

set(CMAKE_SYSROOT "${RUX_SYSROOT}")
set(CMAKE_C_COMPILER ${RUX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${RUX_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${RUX_CROSS_MULTIARCH})

# Headers, libraries and packages from the sysroot only; build tools from
# the host. pkg-config (libfuse) reads the sysroot's files and prefixes
# the paths it gives.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${RUX_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${RUX_SYSROOT}/usr/lib/${RUX_CROSS_MULTIARCH}/pkgconfig:${RUX_SYSROOT}/usr/share/pkgconfig")

# Test discovery and ctest run the executables under qemu-user, which finds
# the dynamic loader and the libraries in the sysroot; so do the end-to-end
# tests' tools (see tests/CMakeLists.txt).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(RUX_CROSS_QEMU_PATH ${RUX_CROSS_QEMU})
  if(RUX_CROSS_QEMU_PATH)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${RUX_CROSS_QEMU_PATH};-L;${RUX_SYSROOT}")
  endif()
endif()
