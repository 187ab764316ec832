// POSIX implementation of the output side's walks: directories opened
// below one another by descriptor, never through a link. The files written
// in them are in temporaries.cpp.
#include "platform/output_dir.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
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

// Keeps errno as the reason of the failure that just happened.
void KeepErrno() { KeepError(errno); }

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

}  // namespace

int OpenDirectory(const char* path, FileHandle* dir) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        KeepErrno();
        return 0;
    }
    *dir = static_cast<FileHandle>(fd);
    return 1;
}

DirResult OpenSubdirectory(FileHandle parent, const char* path, std::size_t start, int create,
                           FileHandle* dir) {
    const int from = Descriptor(parent);
    const char* name = path + start;
    int made = 0;
    int fd = -1;
    if (create == 2 || ((fd = OpenBelow(from, name)) < 0 && errno == ENOENT && create)) {
        // Another thread may make it at the same moment: EEXIST is fine.
        made = ::mkdirat(from, name, 0777) == 0;
        if (made || errno == EEXIST) fd = OpenBelow(from, name);
    }
    if (fd >= 0) {
        *dir = static_cast<FileHandle>(fd);
        return made ? DirResult::Made : DirResult::Opened;
    }
    // O_NOFOLLOW on a link fails with ELOOP, or ENOTDIR with O_DIRECTORY on
    // some systems; only a look at the entry itself tells.
    const int error = errno;
    if ((error == ELOOP || error == ENOTDIR) && IsLink(from, name)) return DirResult::IsLink;
    KeepError(error);
    return DirResult::Failed;
}

DirResult OpenPathBelow(FileHandle parent, const char* path, std::size_t start, FileHandle* dir) {
#if defined(__linux__) && defined(SYS_openat2)
    // Kernels before 5.6 lack the call: asked once, then never again.
    static std::atomic<bool> missing{false};
    if (missing.load(std::memory_order_relaxed)) return DirResult::Failed;
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
        return DirResult::Opened;
    }
    if (errno == ENOSYS) missing.store(true, std::memory_order_relaxed);
#else
    (void)parent;
    (void)path;
    (void)start;
    (void)dir;
#endif
    return DirResult::Failed;
}

void CloseDirectory(FileHandle dir) {
    if (dir != INVALID_FILE_HANDLE) ::close(Descriptor(dir));
}

std::size_t OpenHandleBudget() {
    constexpr std::size_t MOST = 4096, LEAST = 8;
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return MOST;
    const rlim_t quarter = limit.rlim_cur / 4;
    return quarter < LEAST ? LEAST : quarter > MOST ? MOST : static_cast<std::size_t>(quarter);
}

int EntryExists(FileHandle dir, const char* path, std::size_t start) {
    struct stat info;
    return ::fstatat(Descriptor(dir), path + start, &info, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
}

}  // namespace rux
