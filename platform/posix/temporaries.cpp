// POSIX implementation of the output side's files: written unnamed
// (O_TMPFILE, on Linux) and linked into place, or else written under a
// temporary name and renamed into place, with the table of live
// temporaries that a signal handler may empty.
#include "platform/output_dir.h"
#include "platform/temporaries.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace rux {

namespace {

int Descriptor(FileHandle handle) { return static_cast<int>(handle); }

// One temporary: the descriptor of its directory and its name there.
// state: 0 free, 1 being filled in or emptied, or unnamed, 2 live under
// its name (seen by the handler).
struct TemporarySlot {
    std::atomic<int> state{0};
    int dir = -1;
    int unnamed = 0;  // an O_TMPFILE file, which has no name to remove
    char name[32] = {};
};

TemporaryTables<TemporarySlot> gTemporaries;
std::atomic<unsigned> gSequence{0};
std::atomic<int> gDying{0};

// An unlinkat that is safe in a signal handler.
void RemoveLive(TemporarySlot& slot) { ::unlinkat(slot.dir, slot.name, 0); }

// Keeps errno as the reason of the failure that just happened.
void KeepErrno() { KeepError(errno); }

TemporarySlot& SlotOf(int slot) { return gTemporaries.SlotOf(slot); }
int Claim(int table) { return gTemporaries.ClaimSlot(table); }
void Release(int slot) { gTemporaries.ReleaseSlot(slot); }

// renameat2 with RENAME_NOREPLACE where the kernel and file system have it;
// else a hard link, which also never replaces, and the unlink of the
// temporary name. -1 with errno as the calls leave it.
int RenameNoReplace(int dir, const char* from, const char* to) {
#ifdef SYS_renameat2
    const unsigned RENAME_NOREPLACE_FLAG = 1;
    if (::syscall(SYS_renameat2, dir, from, dir, to, RENAME_NOREPLACE_FLAG) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
    if (::linkat(dir, from, dir, to, 0) != 0) return -1;
    ::unlinkat(dir, from, 0);
    return 0;
}

// 1 when an unnamed file can be given a name through /proc/self/fd, which
// linkat follows to the open file: the way left where the kernel refuses
// AT_EMPTY_PATH.
int CanLinkUnnamed() {
    static const int usable = ::access("/proc/self/fd", X_OK) == 0 ? 1 : 0;
    return usable;
}

// UseNamedTemporaries' choice: 0 as the system allows, 1 named only, 2
// unnamed ones named through /proc/self/fd.
std::atomic<int> gTemporaryMode{0};

// Opens a file with no name in dir, or -1 where the system or the file
// system has none (O_TMPFILE: Linux 3.11 and later, most local file
// systems); the caller then makes a named temporary.
int OpenUnnamed(int dir) {
#if defined(__linux__) && defined(O_TMPFILE)
    if (gTemporaryMode.load() == 1 || !CanLinkUnnamed()) return -1;
    int fd;
    do {
        fd = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
#else
    (void)dir;
    return -1;
#endif
}

// Gives the open unnamed file fd the name name in dir, never replacing
// anything (EEXIST). 0, or -1 with errno set. The descriptor itself first:
// recent kernels let a process name an O_TMPFILE file it opened itself;
// older ones want a privilege (ENOENT) and are not asked again.
int LinkUnnamed(int fd, int dir, const char* name) {
#ifdef AT_EMPTY_PATH
    static std::atomic<int> refused{0};
    if (!refused.load(std::memory_order_relaxed) && gTemporaryMode.load() != 2) {
        if (::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL) return -1;
        refused.store(1, std::memory_order_relaxed);
    }
#endif
    char proc[40];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW);
}

// A fresh temporary name for slot t, from the process id and a counter.
void NameTemporary(TemporarySlot& t) {
    static const unsigned long pid = static_cast<unsigned long>(::getpid());
    std::snprintf(t.name, sizeof t.name, ".rux-%lx-%x", pid, gSequence.fetch_add(1));
}

// Closes the file of a commit; 0 with the reason kept if that fails (a
// write error can surface only then).
int CloseCommitted(DiskFile* file) {
    if (file->Close()) return 1;
    return 0;
}

// CommitTemporary for an unnamed file, still open: linked to its name
// when nothing has it; when replacing, linked to a temporary name (live
// only from the link to the rename) and renamed over the old one.
CommitResult CommitUnnamed(TemporarySlot& t, DiskFile* file, const char* name, int replace) {
    const int fd = static_cast<int>(file->handle);
    if (LinkUnnamed(fd, t.dir, name) == 0) {
        if (CloseCommitted(file)) return CommitResult::Done;
        const int error = LastError();
        ::unlinkat(t.dir, name, 0);
        KeepError(error);
        return CommitResult::Failed;
    }
    if (errno != EEXIST || !replace) {
        const CommitResult result = errno == EEXIST ? CommitResult::Exists : CommitResult::Failed;
        KeepErrno();
        const int error = LastError();
        file->Close();
        KeepError(error);
        return result;
    }
    int linked = -1;
    for (int attempt = 0; attempt < 8 && linked != 0; ++attempt) {
        NameTemporary(t);
        t.state.store(2);
        linked = LinkUnnamed(fd, t.dir, t.name);
        if (linked != 0) {
            t.state.store(1);
            if (errno != EEXIST) break;
        }
    }
    if (linked != 0) {
        KeepErrno();
        const int error = LastError();
        file->Close();
        KeepError(error);
        return CommitResult::Failed;
    }
    if (gDying.load()) RemoveLive(t);
    if (!CloseCommitted(file)) {
        const int error = LastError();
        RemoveLive(t);
        KeepError(error);
        return CommitResult::Failed;
    }
    if (::renameat(t.dir, t.name, t.dir, name) != 0) {
        KeepErrno();
        RemoveLive(t);
        return CommitResult::Failed;
    }
    return CommitResult::Done;
}

}  // namespace

void UseNamedTemporaries(int mode) { gTemporaryMode.store(mode); }

int ClaimTemporaries() { return gTemporaries.ClaimTable(); }

void ReleaseTemporaries(int table) { gTemporaries.ReleaseTable(table); }

void RemoveLiveTemporaries() {
    const int saved = errno;
    gDying.store(1);
    gTemporaries.ForEachLive(RemoveLive);
    errno = saved;
}

int CreateTemporary(int table, FileHandle dir, const char* path, std::size_t start, DiskFile* file) {
    (void)path;
    (void)start;
    file->handle = INVALID_FILE_HANDLE;
    const int slot = Claim(table);
    if (slot < 0) {
        KeepError(EMFILE);
        return -1;
    }
    TemporarySlot& t = SlotOf(slot);
    t.dir = Descriptor(dir);
    // Unnamed where the system can: nothing is left of it whatever ends
    // the process, SIGKILL and a power cut included.
    const int unnamed = OpenUnnamed(t.dir);
    if (unnamed >= 0) {
        t.unnamed = 1;
        file->handle = static_cast<FileHandle>(unnamed);
        return slot;
    }
    t.unnamed = 0;
    // Else named: several tries in case a stale temporary holds a name.
    for (int attempt = 0; attempt < 8; ++attempt) {
        NameTemporary(t);
        // Live before the file exists: a signal from here on removes it.
        t.state.store(2);
        int fd;
        do {
            fd = ::openat(t.dir, t.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            if (gDying.load()) RemoveLive(t);
            file->handle = static_cast<FileHandle>(fd);
            return slot;
        }
        t.state.store(1);
        if (errno != EEXIST) break;
    }
    KeepErrno();
    Release(slot);
    return -1;
}

CommitResult CommitTemporary(int slot, DiskFile* file, const char* path, std::size_t start, int replace) {
    TemporarySlot& t = SlotOf(slot);
    const char* name = path + start;
    CommitResult result = CommitResult::Done;
    if (t.unnamed) {
        result = CommitUnnamed(t, file, name, replace);
    } else if (!CloseCommitted(file)) {
        const int error = LastError();
        RemoveLive(t);
        KeepError(error);
        result = CommitResult::Failed;
    } else if (replace ? ::renameat(t.dir, t.name, t.dir, name) != 0
                       : RenameNoReplace(t.dir, t.name, name) != 0) {
        result = errno == EEXIST ? CommitResult::Exists : CommitResult::Failed;
        KeepErrno();
        RemoveLive(t);
    }
    t.unnamed = 0;
    Release(slot);
    return result;
}

void AbortTemporary(int slot) {
    TemporarySlot& t = SlotOf(slot);
    if (!t.unnamed) RemoveLive(t);
    t.unnamed = 0;
    Release(slot);
}

}  // namespace rux
