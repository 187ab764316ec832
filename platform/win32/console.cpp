// Win32 implementation of the console helpers.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>

#include "platform/console.h"
#include "platform/disk_file.h"

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

namespace {

// The first WriteStream that failed: its stream and reason.
std::FILE* gFailedStream = nullptr;
int gFailedError = 0;

// The C runtime's writes fail with an errno but leave the system's own
// code in GetLastError(), whose text is the one Windows users know; ENOSPC
// has none to hand over from a runtime that buffers.
int StreamError() {
    const DWORD system = ::GetLastError();
    if (system != 0) return static_cast<int>(system);
    return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
}

// Keeps the reason of a failed write or flush of stream, and as the
// stream's own reason if it is its first; 0.
int Failed(std::FILE* stream) {
    const int error = StreamError();
    KeepError(error);
    if (!gFailedStream) {
        gFailedStream = stream;
        gFailedError = error;
    }
    return 0;
}

}  // namespace

int WriteStream(std::FILE* stream, const void* bytes, std::size_t count) {
    ::SetLastError(0);
    if (count == 0 || std::fwrite(bytes, 1, count, stream) == count) return 1;
    return Failed(stream);
}

int FlushStream(std::FILE* stream) {
    ::SetLastError(0);
    if (std::fflush(stream) == 0) return 1;
    return Failed(stream);
}

int CloseStream(std::FILE* stream) {
    const bool failedBefore = std::ferror(stream) != 0;
    ::SetLastError(0);
    errno = 0;
    const bool pending = std::fflush(stream) != 0;
    const int flushError = pending ? StreamError() : 0;
    ::SetLastError(0);
    errno = 0;
    const int closed = std::fclose(stream);
    const bool badHandle = errno == EBADF;
    const int closeError = closed != 0 ? StreamError() : 0;
    if (!failedBefore && !pending && (closed == 0 || badHandle)) return 1;
    if (pending) {
        KeepError(flushError);
    } else if (closed != 0) {
        KeepError(closeError);
    } else {
        KeepError(gFailedStream == stream ? gFailedError : 0);
    }
    return 0;
}

}  // namespace rux
