// POSIX implementation of the console helpers.
#include "platform/console.h"

#include <cerrno>
#include <unistd.h>

#include "platform/disk_file.h"

namespace rux {

int IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) ? 1 : 0; }

int SetBinaryMode(std::FILE*) { return 1; }

namespace {

// The first WriteStream that failed: its stream and reason.
std::FILE* gFailedStream = nullptr;
int gFailedError = 0;

// Keeps errno as the reason of a failed write or flush of stream, and as
// the stream's own reason if it is its first; 0.
int Failed(std::FILE* stream) {
    KeepError(errno);
    if (!gFailedStream) {
        gFailedStream = stream;
        gFailedError = errno;
    }
    return 0;
}

}  // namespace

int WriteStream(std::FILE* stream, const void* bytes, std::size_t count) {
    if (count == 0 || std::fwrite(bytes, 1, count, stream) == count) return 1;
    return Failed(stream);
}

int FlushStream(std::FILE* stream) {
    if (std::fflush(stream) == 0) return 1;
    return Failed(stream);
}

int CloseStream(std::FILE* stream) {
    const bool failedBefore = std::ferror(stream) != 0;
    errno = 0;
    const bool pending = std::fflush(stream) != 0;
    const int flushError = errno;
    errno = 0;
    const int closed = std::fclose(stream);
    const int closeError = errno;
    if (!failedBefore && !pending && (closed == 0 || closeError == EBADF)) return 1;
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
