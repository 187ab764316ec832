// POSIX implementation of the output side: descriptor-relative walks and
// temporaries renamed into place.
#include "platform/output_dir.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#if defined(__linux__) && defined(SYS_openat2)
#include <linux/openat2.h>
#endif

namespace rux {

namespace {

int Descriptor(FileHandle handle) { return static_cast<int>(handle); }

// One live temporary: the descriptor of its directory and its name there.
// state: 0 free, 1 being filled in or emptied, 2 live (seen by the handler).
struct TemporarySlot {
    std::atomic<int> state{0};
    int dir = -1;
    char name[32] = {};
};

TemporarySlot gTemporaries[TEMPORARY_SLOTS];
std::atomic<unsigned> gSequence{0};
std::atomic<int> gDying{0};

// An unlinkat that is safe in a signal handler.
void RemoveLive(TemporarySlot& slot) { ::unlinkat(slot.dir, slot.name, 0); }

void OnFatalSignal(int signal) {
    gDying.store(1);
    for (TemporarySlot& slot : gTemporaries) {
        if (slot.state.load() == 2) RemoveLive(slot);
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

int Claim() {
    for (int i = 0; i < TEMPORARY_SLOTS; ++i) {
        int expected = 0;
        if (gTemporaries[i].state.compare_exchange_strong(expected, 1)) return i;
    }
    return -1;
}

// The slot is emptied before its directory handle can be closed, so the
// handler never acts on a descriptor number that was reused.
void Release(int slot) { gTemporaries[slot].state.store(0); }

// 1 if name in dir is a symbolic link, not followed.
int IsLink(int dir, const char* name) {
    struct stat info;
    return ::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

int OpenBelow(int parent, const char* name) {
    int fd;
    do {
        fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

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

}  // namespace

int OpenDirectory(const char* path, FileHandle* dir) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    *dir = static_cast<FileHandle>(fd);
    return 1;
}

int OpenSubdirectory(FileHandle parent, const char* path, std::size_t start, int create,
                     FileHandle* dir) {
    const int from = Descriptor(parent);
    const char* name = path + start;
    int fd = OpenBelow(from, name);
    if (fd < 0 && errno == ENOENT && create) {
        // Another thread may make it at the same moment: EEXIST is fine.
        if (::mkdirat(from, name, 0777) == 0 || errno == EEXIST) fd = OpenBelow(from, name);
    }
    if (fd >= 0) {
        *dir = static_cast<FileHandle>(fd);
        return DIR_OPENED;
    }
    // O_NOFOLLOW on a link fails with ELOOP, or ENOTDIR with O_DIRECTORY on
    // some systems; only a look at the entry itself tells.
    if ((errno == ELOOP || errno == ENOTDIR) && IsLink(from, name)) return DIR_IS_LINK;
    return DIR_FAILED;
}

int OpenPathBelow(FileHandle parent, const char* path, std::size_t start, FileHandle* dir) {
#if defined(__linux__) && defined(SYS_openat2)
    // Kernels before 5.6 lack the call: asked once, then never again.
    static std::atomic<bool> missing{false};
    if (missing.load(std::memory_order_relaxed)) return DIR_FAILED;
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, Descriptor(parent), path + start, &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        *dir = static_cast<FileHandle>(fd);
        return DIR_OPENED;
    }
    if (errno == ENOSYS) missing.store(true, std::memory_order_relaxed);
#else
    (void)parent;
    (void)path;
    (void)start;
    (void)dir;
#endif
    return DIR_FAILED;
}

void CloseDirectory(FileHandle dir) {
    if (dir != INVALID_FILE_HANDLE) ::close(Descriptor(dir));
}

int CreateTemporary(FileHandle dir, const char* path, std::size_t start, DiskFile* file) {
    (void)path;
    (void)start;
    file->handle = INVALID_FILE_HANDLE;
    const int slot = Claim();
    if (slot < 0) return -1;
    TemporarySlot& t = gTemporaries[slot];
    t.dir = Descriptor(dir);
    static const unsigned long pid = static_cast<unsigned long>(::getpid());
    // Several tries in case a stale temporary holds a name.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::snprintf(t.name, sizeof t.name, ".rux-%lx-%x", pid, gSequence.fetch_add(1));
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
    Release(slot);
    return -1;
}

int CommitTemporary(int slot, const char* path, std::size_t start, int replace) {
    TemporarySlot& t = gTemporaries[slot];
    const char* name = path + start;
    int result = COMMIT_DONE;
    if (replace ? ::renameat(t.dir, t.name, t.dir, name) != 0
                : RenameNoReplace(t.dir, t.name, name) != 0) {
        result = errno == EEXIST ? COMMIT_EXISTS : COMMIT_FAILED;
        RemoveLive(t);
    }
    Release(slot);
    return result;
}

void AbortTemporary(int slot) {
    RemoveLive(gTemporaries[slot]);
    Release(slot);
}

void RemoveTemporariesOnSignal() {
    static std::atomic<int> installed{0};
    if (installed.exchange(1)) return;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = OnFatalSignal;
        sigemptyset(&action.sa_mask);
        // A signal the process was started ignoring stays ignored.
        struct sigaction old;
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

int EntryExists(FileHandle dir, const char* path, std::size_t start) {
    struct stat info;
    return ::fstatat(Descriptor(dir), path + start, &info, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
}

}  // namespace rux
