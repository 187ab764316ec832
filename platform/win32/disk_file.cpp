// Win32 implementation of DiskFile, MakeDirectory, RenameReplacing and
// SyncDirectory.
//
// Paths go to the ANSI calls as they are: Win32 takes both '\' and '/' as
// directory separators.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/disk_file.h"

namespace rux {

static_assert(sizeof(FileHandle) >= sizeof(HANDLE), "FileHandle must hold a HANDLE");

namespace {

HANDLE Native(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

int DiskFile::Open(const char* path, int mode) {
    const DWORD access = (mode & OPEN_WRITE) ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const DWORD sharing =
        (mode & OPEN_WRITE) ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    const DWORD disposition = !(mode & OPEN_CREATE) ? OPEN_EXISTING
                              : (mode & OPEN_NEW)   ? CREATE_NEW
                                                    : CREATE_ALWAYS;
    HANDLE opened =
        ::CreateFileA(path, access, sharing, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    // INVALID_HANDLE_VALUE is all bits set, the same as INVALID_FILE_HANDLE.
    handle = reinterpret_cast<FileHandle>(opened);
    return opened == INVALID_HANDLE_VALUE ? 0 : 1;
}

int DiskFile::Close() {
    if (!IsValid()) return 0;
    const BOOL closed = ::CloseHandle(Native(handle));
    handle = INVALID_FILE_HANDLE;
    return closed ? 1 : 0;
}

std::uint32_t DiskFile::Read(void* buffer, std::uint32_t count) {
    if (!IsValid()) return 0;
    char* out = static_cast<char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD got = 0;
        // A pipe whose writer has gone reports an error: the end of its data.
        if (!::ReadFile(Native(handle), out + done, count - done, &got, nullptr)) break;
        if (got == 0) break;  // end of file
        done += got;
    }
    return done;
}

std::uint32_t DiskFile::Write(const void* buffer, std::uint32_t count) {
    if (!IsValid()) return 0;
    const char* in = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD put = 0;
        if (!::WriteFile(Native(handle), in + done, count - done, &put, nullptr)) break;
        if (put == 0) break;
        done += put;
    }
    return done;
}

namespace {

// An OVERLAPPED naming a file offset, for a positioned transfer on a
// handle opened for ordinary (synchronous) use.
OVERLAPPED At(std::int64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
}

}  // namespace

std::uint32_t DiskFile::ReadAt(void* buffer, std::uint32_t count, std::int64_t offset) {
    if (!IsValid() || offset < 0) return 0;
    char* out = static_cast<char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD got = 0;
        OVERLAPPED at = At(offset + done);
        // Reading at or past the end fails with ERROR_HANDLE_EOF.
        if (!::ReadFile(Native(handle), out + done, count - done, &got, &at)) break;
        if (got == 0) break;
        done += got;
    }
    return done;
}

std::uint32_t DiskFile::WriteAt(const void* buffer, std::uint32_t count, std::int64_t offset) {
    if (!IsValid() || offset < 0) return 0;
    const char* in = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD put = 0;
        OVERLAPPED at = At(offset + done);
        if (!::WriteFile(Native(handle), in + done, count - done, &put, &at)) break;
        if (put == 0) break;
        done += put;
    }
    return done;
}

std::int64_t DiskFile::Seek(std::int64_t offset, int origin) {
    if (!IsValid()) return -1;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    const DWORD method = origin == SEEK_FROM_CURRENT ? FILE_CURRENT : FILE_BEGIN;
    // A target before the start fails and leaves the position unchanged.
    if (!::SetFilePointerEx(Native(handle), distance, &position, method)) return -1;
    return static_cast<std::int64_t>(position.QuadPart);
}

std::int64_t DiskFile::Size() {
    if (!IsValid()) return -1;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(Native(handle), &size)) return -1;
    return static_cast<std::int64_t>(size.QuadPart);
}

int DiskFile::Flush() {
    if (!IsValid()) return 0;
    return ::FlushFileBuffers(Native(handle)) ? 1 : 0;
}

int MakeDirectory(const char* path) { return ::CreateDirectoryA(path, nullptr) ? 1 : 0; }

int SyncDirectory(const char*) { return 1; }

int RenameReplacing(const char* from, const char* to) {
    return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
}

}  // namespace rux
