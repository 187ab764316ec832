// The file system of rux-mount: the answers to the kernel's requests over
// one MountTree, and the FUSE low-level operations that send them.
//
// Inode numbers are node numbers plus 1 (the root is FUSE_ROOT_ID), and
// nodes live as long as the mount, so lookups need no counting and forget
// does nothing. Nothing changes while mounted: the kernel may keep
// attributes, entries (missing ones too) and pages for as long as it likes.
// Every request that would change anything fails with EROFS.
//
// The members may be called from any number of threads at once: reads go
// through ResourceSet::ReadAt, whose block cache is per thread.
#ifndef RUX_MOUNT_FS_H
#define RUX_MOUNT_FS_H

#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mount/tree.h"
#include "resource/set.h"

namespace rux {

class MountPusher;

// Who owns the files and how they may be used.
struct MountSettings {
    mode_t fileMode = 0444;
    mode_t directoryMode = 0555;
    uid_t uid = 0;
    gid_t gid = 0;
    // The times of each mount slot's file: access, modification, change.
    struct timespec times[MOUNT_SLOTS][3] = {};
    double timeout = 86400.0;  // seconds the kernel may keep what it was told
};

// One entry of a directory listing.
struct MountDirEntry {
    std::string name;
    fuse_ino_t ino = 0;
    mode_t type = 0;  // S_IFDIR or S_IFREG
    off_t next = 0;   // the offset that lists the entries after it
};

class MountFs {
public:
    MountFs(const ResourceSet& set, const MountTree& tree, const MountSettings& settings)
        : set_(set), tree_(tree), settings_(settings) {}

    // Each returns 0 or an errno value.
    int Attributes(fuse_ino_t ino, struct stat* st) const;
    int Lookup(fuse_ino_t parent, const char* name, struct fuse_entry_param* entry) const;
    // The entries from offset on ("." and ".." first).
    int ReadDirectory(fuse_ino_t ino, off_t offset, std::vector<MountDirEntry>* entries) const;

    // Reads up to size bytes at offset into buffer: the bytes read (0 at the
    // end), or -EIO when any block or byte of the range cannot be read (a
    // short answer would tell the kernel the file ends there).
    long Read(fuse_ino_t ino, std::uint64_t offset, std::size_t size, char* buffer) const;

    void StatFs(struct statvfs* st) const;
    double Timeout() const { return settings_.timeout; }

    // Whether the kernel can open files and directories without asking:
    // said once, at the session's start, before any other request.
    void SetKernelOpens(bool files, bool directories) {
        kernelOpensFiles_ = files;
        kernelOpensDirectories_ = directories;
    }
    bool KernelOpensFiles() const { return kernelOpensFiles_; }
    bool KernelOpensDirectories() const { return kernelOpensDirectories_; }

    // Where reads that begin at a file's start are told (mount/push.h);
    // none by default.
    void SetPusher(MountPusher* pusher) { pusher_ = pusher; }
    MountPusher* Pusher() const { return pusher_; }

    // The operations, with the MountFs as the session's user data.
    static const struct fuse_lowlevel_ops& Operations();

private:
    const MountNode* Node(fuse_ino_t ino) const;
    const ResourceSet& set_;
    const MountTree& tree_;
    MountSettings settings_;
    bool kernelOpensFiles_ = false;
    bool kernelOpensDirectories_ = false;
    MountPusher* pusher_ = nullptr;
};

}  // namespace rux

#endif
