// Win32 implementation of the output side: path-based, with each
// component's attributes checked for a reparse point before it is used.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/output_dir.h"
#include "platform/temporaries.h"

namespace rux {

namespace {

// Directory handles carry nothing on Windows; this one is merely valid.
constexpr FileHandle PATH_ONLY = 0;

constexpr std::size_t TEMPORARY_PATH_BYTES = 4096 + 32;

// One live temporary, by its whole path. state: 0 free, 1 being filled in
// or emptied, 2 live (seen by the handler).
struct TemporarySlot {
    std::atomic<int> state{0};
    char path[TEMPORARY_PATH_BYTES] = {};
};

TemporaryTables<TemporarySlot> gTemporaries;
std::atomic<unsigned> gSequence{0};
std::atomic<int> gDying{0};

TemporarySlot& SlotOf(int slot) { return gTemporaries.SlotOf(slot); }
int Claim(int table) { return gTemporaries.ClaimSlot(table); }
void Release(int slot) { gTemporaries.ReleaseSlot(slot); }

// Keeps GetLastError() as the reason of the failure that just happened.
void KeepSystemError() { KeepError(static_cast<int>(::GetLastError())); }

}  // namespace

int OpenDirectory(const char* path, FileHandle* dir) {
    const DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        KeepSystemError();
        return 0;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        KeepError(ERROR_DIRECTORY);
        return 0;
    }
    *dir = PATH_ONLY;
    return 1;
}

// Windows resolves paths as a whole: every component is checked in turn by
// the caller's walk instead.
DirResult OpenPathBelow(FileHandle, const char*, std::size_t, FileHandle*) { return DirResult::Failed; }

DirResult OpenSubdirectory(FileHandle parent, const char* path, std::size_t start, int create,
                           FileHandle* dir) {
    (void)parent;
    (void)start;
    DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES && create) {
        // Another thread may make it at the same moment: look again.
        ::CreateDirectoryA(path, nullptr);
        attributes = ::GetFileAttributesA(path);
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        KeepSystemError();
        return DirResult::Failed;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return DirResult::IsLink;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        KeepError(ERROR_DIRECTORY);
        return DirResult::Failed;
    }
    *dir = PATH_ONLY;
    return DirResult::Opened;
}

void CloseDirectory(FileHandle dir) { (void)dir; }

std::size_t OpenHandleBudget() { return 4096; }

// Every temporary is named here.
void UseNamedTemporaries(int) {}

int ClaimTemporaries() { return gTemporaries.ClaimTable(); }

void ReleaseTemporaries(int table) { gTemporaries.ReleaseTable(table); }

void RemoveLiveTemporaries() {
    gDying.store(1);
    gTemporaries.ForEachLive([](TemporarySlot& slot) { ::DeleteFileA(slot.path); });
}

int CreateTemporary(int table, FileHandle dir, const char* path, std::size_t start, DiskFile* file) {
    (void)dir;
    file->handle = INVALID_FILE_HANDLE;
    const int slot = Claim(table);
    if (slot < 0) {
        KeepError(ERROR_TOO_MANY_OPEN_FILES);
        return -1;
    }
    TemporarySlot& t = SlotOf(slot);
    if (start + 32 > TEMPORARY_PATH_BYTES) {
        KeepError(ERROR_FILENAME_EXCED_RANGE);
        Release(slot);
        return -1;
    }
    std::memcpy(t.path, path, start);
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::snprintf(t.path + start, TEMPORARY_PATH_BYTES - start, ".rux-%lx-%x",
                      static_cast<unsigned long>(::GetCurrentProcessId()), gSequence.fetch_add(1));
        t.state.store(2);
        // Deletion shared, so that the signal handler can remove it while
        // it is still open.
        HANDLE opened = ::CreateFileA(t.path, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (opened != INVALID_HANDLE_VALUE) {
            if (gDying.load()) ::DeleteFileA(t.path);
            file->handle = reinterpret_cast<FileHandle>(opened);
            return slot;
        }
        t.state.store(1);
        const DWORD error = ::GetLastError();
        KeepError(static_cast<int>(error));
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    Release(slot);
    return -1;
}

CommitResult CommitTemporary(int slot, DiskFile* file, const char* path, std::size_t start, int replace) {
    (void)start;
    TemporarySlot& t = SlotOf(slot);
    CommitResult result = CommitResult::Done;
    // A write error can surface only when the file is closed.
    if (!file->Close()) {
        const int error = LastError();
        ::DeleteFileA(t.path);
        KeepError(error);
        Release(slot);
        return CommitResult::Failed;
    }
    const BOOL moved = replace ? RenameReplacing(t.path, path) : ::MoveFileExA(t.path, path, 0);
    if (!moved) {
        const DWORD error = ::GetLastError();
        result = !replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
                     ? CommitResult::Exists
                     : CommitResult::Failed;
        ::DeleteFileA(t.path);
        KeepError(static_cast<int>(error));
    }
    Release(slot);
    return result;
}

void AbortTemporary(int slot) {
    ::DeleteFileA(SlotOf(slot).path);
    Release(slot);
}

int EntryExists(FileHandle dir, const char* path, std::size_t start) {
    (void)dir;
    (void)start;
    return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

}  // namespace rux
