// Win32 implementation of the console helpers.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform/console.h"

namespace rux {

// A console handle answers GetConsoleMode; the NUL device, which _isatty
// also calls a character device, does not.
int IsTerminal(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? 1 : 0;
}

int SetBinaryMode(std::FILE* stream) {
    std::fflush(stream);
    return _setmode(_fileno(stream), _O_BINARY) != -1;
}

}  // namespace rux
