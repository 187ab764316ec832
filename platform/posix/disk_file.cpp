// POSIX implementation of DiskFile, MakeDirectory, RenameReplacing,
// SyncDirectory and the failure reasons.
#include "platform/disk_file.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// Without large-file support a 32-bit build opens no file of 2 GiB or
// more and cuts offsets to 31 bits; the build sets _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: build with -D_FILE_OFFSET_BITS=64");

namespace rux {

namespace {

thread_local int tLastError = 0;

// Keeps errno as the reason of the failure that just happened.
void KeepErrno() { tLastError = errno; }

// The longest path handed to the system, terminator included.
constexpr std::size_t NATIVE_PATH_BYTES = 4096;

// Copies path into native with every '\' turned into '/' (paths made on
// Windows and resource names use '\'). 0 if it does not fit
// (ENAMETOOLONG kept).
int NativePath(const char* path, char (&native)[NATIVE_PATH_BYTES]) {
    std::size_t i = 0;
    for (; path[i] != '\0'; ++i) {
        if (i + 1 >= NATIVE_PATH_BYTES) {
            tLastError = ENAMETOOLONG;
            return 0;
        }
        native[i] = path[i] == '\\' ? '/' : path[i];
    }
    native[i] = '\0';
    return 1;
}

int Descriptor(FileHandle handle) { return static_cast<int>(handle); }

// Largest transfer asked of the kernel at once; keeps ssize_t results positive.
constexpr std::uint32_t MAX_TRANSFER = 1u << 30;

// Moves count bytes in pieces of at most MAX_TRANSFER, carrying on after
// partial transfers and interruptions; step(done, want) makes one system
// call for the piece at done. Returns the bytes moved; when fewer than
// count, the reason is kept (0 for the end of the file).
template <typename Step>
std::uint32_t Transfer(std::uint32_t count, Step step) {
    std::uint32_t done = 0;
    while (done < count) {
        std::uint32_t want = count - done;
        if (want > MAX_TRANSFER) want = MAX_TRANSFER;
        const ssize_t moved = step(done, want);
        if (moved < 0) {
            if (errno == EINTR) continue;
            KeepErrno();
            break;
        }
        if (moved == 0) {
            tLastError = 0;
            break;
        }
        done += static_cast<std::uint32_t>(moved);
    }
    return done;
}

}  // namespace

int DiskFile::Open(const char* path, int mode) {
    int flags = O_CLOEXEC;
    flags |= (mode & OPEN_WRITE) ? O_RDWR : O_RDONLY;
    if (mode & OPEN_CREATE) flags |= (mode & OPEN_NEW) ? O_CREAT | O_EXCL : O_CREAT | O_TRUNC;
    // Read-only opens never wait on a FIFO or device with no writer; the
    // flag is cleared again so reads block as usual.
    const bool readOnly = (mode & OPEN_WRITE) == 0;
    if (readOnly) flags |= O_NONBLOCK;

    char native[NATIVE_PATH_BYTES];
    handle = INVALID_FILE_HANDLE;
    if (!NativePath(path, native)) return 0;
    int fd;
    do {
        fd = ::open(native, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        KeepErrno();
        return 0;
    }
    // A directory opens read-only on POSIX but is no file: refuse it, as
    // Windows does, rather than hand out a handle whose reads all fail.
    // (Opening one for writing already fails with EISDIR, so output files
    // cost no extra call.)
    struct stat info;
    const int examined = readOnly ? ::fstat(fd, &info) : 0;
    if (examined != 0) KeepErrno();
    if (readOnly && (examined != 0 || S_ISDIR(info.st_mode))) {
        if (examined == 0) tLastError = EISDIR;
        ::close(fd);
        return 0;
    }
    if (readOnly) {
        int current = ::fcntl(fd, F_GETFL);
        if (current >= 0) ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK);
    }
    handle = static_cast<FileHandle>(fd);
    return 1;
}

int DiskFile::Close() {
    if (!IsValid()) return 0;
    int result = ::close(Descriptor(handle));
    if (result != 0) KeepErrno();
    handle = INVALID_FILE_HANDLE;
    return result == 0 ? 1 : 0;
}

std::uint32_t DiskFile::Read(void* buffer, std::uint32_t count) {
    if (!IsValid()) return 0;
    char* out = static_cast<char*>(buffer);
    return Transfer(count, [&](std::uint32_t done, std::uint32_t want) {
        return ::read(Descriptor(handle), out + done, want);
    });
}

std::uint32_t DiskFile::Write(const void* buffer, std::uint32_t count) {
    if (!IsValid()) return 0;
    const char* in = static_cast<const char*>(buffer);
    return Transfer(count, [&](std::uint32_t done, std::uint32_t want) {
        return ::write(Descriptor(handle), in + done, want);
    });
}

std::uint32_t DiskFile::ReadAt(void* buffer, std::uint32_t count, std::int64_t offset) {
    if (!IsValid() || offset < 0) return 0;
    char* out = static_cast<char*>(buffer);
    return Transfer(count, [&](std::uint32_t done, std::uint32_t want) {
        return ::pread(Descriptor(handle), out + done, want, static_cast<off_t>(offset + done));
    });
}

std::uint32_t DiskFile::WriteAt(const void* buffer, std::uint32_t count, std::int64_t offset) {
    if (!IsValid() || offset < 0) return 0;
    const char* in = static_cast<const char*>(buffer);
    return Transfer(count, [&](std::uint32_t done, std::uint32_t want) {
        return ::pwrite(Descriptor(handle), in + done, want, static_cast<off_t>(offset + done));
    });
}

std::int64_t DiskFile::Seek(std::int64_t offset, int origin) {
    if (!IsValid()) return -1;
    int whence = origin == SEEK_FROM_CURRENT ? SEEK_CUR : SEEK_SET;
    off_t result = ::lseek(Descriptor(handle), static_cast<off_t>(offset), whence);
    if (result < 0) KeepErrno();
    return result < 0 ? -1 : static_cast<std::int64_t>(result);
}

std::int64_t DiskFile::Size() {
    if (!IsValid()) return -1;
    struct stat info;
    if (::fstat(Descriptor(handle), &info) != 0) {
        KeepErrno();
        return -1;
    }
    return static_cast<std::int64_t>(info.st_size);
}

int DiskFile::Stamp(std::int64_t* size, std::int64_t* modified) {
    if (!IsValid()) return 0;
    struct stat info;
    if (::fstat(Descriptor(handle), &info) != 0) {
        KeepErrno();
        return 0;
    }
    *size = static_cast<std::int64_t>(info.st_size);
    *modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return 1;
}

int DiskFile::Flush() {
    if (!IsValid()) return 0;
    int result;
    do {
        result = ::fsync(Descriptor(handle));
    } while (result != 0 && errno == EINTR);
    if (result != 0) KeepErrno();
    return result == 0 ? 1 : 0;
}

int MakeDirectory(const char* path) {
    char native[NATIVE_PATH_BYTES];
    if (!NativePath(path, native)) return 0;
    if (::mkdir(native, 0777) == 0) return 1;
    KeepErrno();
    return 0;
}

int RenameReplacing(const char* from, const char* to) {
    char nativeFrom[NATIVE_PATH_BYTES];
    char nativeTo[NATIVE_PATH_BYTES];
    if (!NativePath(from, nativeFrom) || !NativePath(to, nativeTo)) return 0;
    if (std::rename(nativeFrom, nativeTo) == 0) return 1;
    KeepErrno();
    return 0;
}

}  // namespace rux

namespace rux {

int SyncDirectory(const char* path) {
    char native[NATIVE_PATH_BYTES];
    if (!NativePath(path, native)) return 0;
    const int fd = ::open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        KeepErrno();
        return 0;
    }
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    // Some file systems cannot sync a directory; nothing more can be done there.
    const bool unsupported = result != 0 && (errno == EINVAL || errno == ENOTSUP);
    if (result != 0 && !unsupported) KeepErrno();
    ::close(fd);
    return result == 0 || unsupported ? 1 : 0;
}

namespace {

// strerror_r comes in two forms: the XSI one fills the buffer, the GNU one
// may return a static text instead.
[[maybe_unused]] const char* TextOf(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* TextOf(const char* result, const char*) { return result; }

}  // namespace

int LastError() { return tLastError; }

void KeepError(int code) { tLastError = code; }

int PathTooLongError() { return ENAMETOOLONG; }

int AlreadyExistsError() { return EEXIST; }

std::string ErrorText(int code) {
    if (code == 0) return "unknown error";
    char buffer[256] = {};
    const char* text = TextOf(::strerror_r(code, buffer, sizeof buffer), buffer);
    if (!text || !*text) return "error " + std::to_string(code);
    return text;
}

}  // namespace rux
