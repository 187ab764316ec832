# Shared part of the MinGW-w64 cross toolchains. The including file sets
# RUX_MINGW_TRIPLE (the compiler prefix) and RUX_MINGW_LOADER (the Wine
# loader that runs this target's executables, used when it is installed).
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: the full C++ thread library. Linking statically
# (see the top-level CMakeLists.txt) keeps its runtime inside the executable.
set(CMAKE_C_COMPILER ${RUX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RUX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RUX_MINGW_TRIPLE}-windres)

# Headers, libraries and packages come from the target's tree only; build
# tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${RUX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery and ctest run the executables through Wine when its loader
# for this target is installed (or another emulator is given).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR AND EXISTS "${RUX_MINGW_LOADER}")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${RUX_MINGW_LOADER}")
endif()
