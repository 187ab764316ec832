# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RUX_MINGW_TRIPLE x86_64-w64-mingw32)
set(RUX_MINGW_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
