// Win32 implementation of DiskFile, MakeDirectory, RenameReplacing,
// SyncDirectory and the failure reasons.
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

thread_local int tLastError = 0;

// Keeps GetLastError() as the reason of the failure that just happened.
void KeepSystemError() { tLastError = static_cast<int>(::GetLastError()); }

// Returns result after keeping the reason when it is a failure (FALSE).
BOOL Kept(BOOL result) {
    if (!result) KeepSystemError();
    return result;
}

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
    if (opened != INVALID_HANDLE_VALUE) return 1;
    KeepSystemError();
    return 0;
}

int DiskFile::Close() {
    if (!IsValid()) return 0;
    const BOOL closed = Kept(::CloseHandle(Native(handle)));
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
        if (!Kept(::ReadFile(Native(handle), out + done, count - done, &got, nullptr))) break;
        if (got == 0) {  // end of file
            tLastError = 0;
            break;
        }
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
        if (!Kept(::WriteFile(Native(handle), in + done, count - done, &put, nullptr))) break;
        if (put == 0) {
            tLastError = 0;
            break;
        }
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
        if (!::ReadFile(Native(handle), out + done, count - done, &got, &at)) {
            const DWORD error = ::GetLastError();
            tLastError = error == ERROR_HANDLE_EOF ? 0 : static_cast<int>(error);
            break;
        }
        if (got == 0) {
            tLastError = 0;
            break;
        }
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
        if (!Kept(::WriteFile(Native(handle), in + done, count - done, &put, &at))) break;
        if (put == 0) {
            tLastError = 0;
            break;
        }
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
    if (!Kept(::SetFilePointerEx(Native(handle), distance, &position, method))) return -1;
    return static_cast<std::int64_t>(position.QuadPart);
}

std::int64_t DiskFile::Size() {
    if (!IsValid()) return -1;
    LARGE_INTEGER size;
    if (!Kept(::GetFileSizeEx(Native(handle), &size))) return -1;
    return static_cast<std::int64_t>(size.QuadPart);
}

int DiskFile::Stamp(std::int64_t* size, std::int64_t* modified) {
    if (!IsValid()) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (!Kept(::GetFileInformationByHandle(Native(handle), &info))) return 0;
    *size = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    *modified = (static_cast<std::int64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                info.ftLastWriteTime.dwLowDateTime;
    return 1;
}

int DiskFile::Flush() {
    if (!IsValid()) return 0;
    return Kept(::FlushFileBuffers(Native(handle))) ? 1 : 0;
}

int MakeDirectory(const char* path) { return Kept(::CreateDirectoryA(path, nullptr)) ? 1 : 0; }

int SyncDirectory(const char*) { return 1; }

int RenameReplacing(const char* from, const char* to) {
    return Kept(::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) ? 1 : 0;
}

int LastError() { return tLastError; }

void KeepError(int code) { tLastError = code; }

int PathTooLongError() { return ERROR_FILENAME_EXCED_RANGE; }

// CreateDirectoryA's code; CreateFileA's CREATE_NEW gives ERROR_FILE_EXISTS.
int AlreadyExistsError() { return ERROR_ALREADY_EXISTS; }

std::string ErrorText(int code) {
    if (code == 0) return "unknown error";
    char buffer[512];
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    // One line, without the closing full stop and line break.
    while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' ||
                          buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
        --length;
    }
    for (DWORD i = 0; i < length; ++i) {
        if (buffer[i] == '\r' || buffer[i] == '\n') buffer[i] = ' ';
    }
    if (length == 0) return "error " + std::to_string(code);
    return std::string(buffer, length);
}

}  // namespace rux
