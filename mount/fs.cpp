#include "mount/fs.h"
#include "mount/push.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

namespace rux {

namespace {

constexpr std::uint64_t BLOCK_BYTES = 512;

const MountFs& FsOf(fuse_req_t request) { return *static_cast<const MountFs*>(fuse_req_userdata(request)); }

}  // namespace

const MountNode* MountFs::Node(fuse_ino_t ino) const {
    const std::vector<MountNode>& nodes = tree_.Nodes();
    if (ino < FUSE_ROOT_ID || ino - FUSE_ROOT_ID >= nodes.size()) return nullptr;
    return &nodes[ino - FUSE_ROOT_ID];
}

int MountFs::Attributes(fuse_ino_t ino, struct stat* st) const {
    const MountNode* node = Node(ino);
    if (!node) return ENOENT;
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_uid = settings_.uid;
    st->st_gid = settings_.gid;
    st->st_blksize = 4096;
    if (node->IsDirectory()) {
        st->st_mode = S_IFDIR | settings_.directoryMode;
        st->st_nlink = 2 + static_cast<nlink_t>(node->subdirectories);
    } else {
        st->st_mode = S_IFREG | settings_.fileMode;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(node->size);
        st->st_blocks = static_cast<blkcnt_t>((node->packed + BLOCK_BYTES - 1) / BLOCK_BYTES);
    }
    const struct timespec* times = settings_.times[node->fileSlot];
    st->st_atim = times[0];
    st->st_mtim = times[1];
    st->st_ctim = times[2];
    return 0;
}

int MountFs::Lookup(fuse_ino_t parent, const char* name, struct fuse_entry_param* entry) const {
    std::memset(entry, 0, sizeof *entry);
    const MountNode* dir = Node(parent);
    if (!dir) return ENOENT;
    if (!dir->IsDirectory()) return ENOTDIR;
    const int found = tree_.Find(static_cast<int>(parent - FUSE_ROOT_ID), name);
    // A miss is cached as well: ino 0 with a timeout.
    entry->entry_timeout = settings_.timeout;
    if (found < 0) return 0;
    entry->ino = static_cast<fuse_ino_t>(found) + FUSE_ROOT_ID;
    entry->attr_timeout = settings_.timeout;
    return Attributes(entry->ino, &entry->attr);
}

int MountFs::ReadDirectory(fuse_ino_t ino, off_t offset, std::vector<MountDirEntry>* entries) const {
    const MountNode* node = Node(ino);
    if (!node) return ENOENT;
    if (!node->IsDirectory()) return ENOTDIR;
    entries->clear();
    const std::size_t count = node->children.size() + 2;
    for (std::size_t at = offset < 0 ? 0 : static_cast<std::size_t>(offset); at < count; ++at) {
        MountDirEntry entry;
        entry.type = S_IFDIR;
        entry.next = static_cast<off_t>(at + 1);
        if (at == 0) {
            entry.name = ".";
            entry.ino = ino;
        } else if (at == 1) {
            entry.name = "..";
            entry.ino = static_cast<fuse_ino_t>(node->parent) + FUSE_ROOT_ID;
        } else {
            const int child = node->children[at - 2];
            const MountNode& c = tree_.Nodes()[static_cast<std::size_t>(child)];
            entry.name = c.name;
            entry.ino = static_cast<fuse_ino_t>(child) + FUSE_ROOT_ID;
            entry.type = c.IsDirectory() ? S_IFDIR : S_IFREG;
        }
        entries->push_back(std::move(entry));
    }
    return 0;
}

long MountFs::Read(fuse_ino_t ino, std::uint64_t offset, std::size_t size, char* buffer) const {
    const MountNode* node = Node(ino);
    if (!node) return -ENOENT;
    if (node->IsDirectory()) return -EISDIR;
    if (offset >= node->size) return 0;
    const std::uint64_t left = node->size - offset;
    const std::uint32_t want = static_cast<std::uint32_t>(size < left ? size : left);
    const std::int64_t got = set_.ReadAt(node->slot, offset, buffer, want);
    // A loose file that shrank after the mount reads short: that too is a
    // failure, never a file that ends early.
    if (got != static_cast<std::int64_t>(want)) return -EIO;
    return static_cast<long>(got);
}

void MountFs::StatFs(struct statvfs* st) const {
    std::memset(st, 0, sizeof *st);
    std::uint64_t blocks = 0;
    for (const MountNode& node : tree_.Nodes()) blocks += (node.packed + BLOCK_BYTES - 1) / BLOCK_BYTES;
    st->f_bsize = BLOCK_BYTES;
    st->f_frsize = BLOCK_BYTES;
    st->f_blocks = blocks;
    st->f_files = tree_.Nodes().size();
    st->f_namemax = 255;
    st->f_flag = ST_RDONLY;
}

namespace {

void DoLookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    struct fuse_entry_param entry;
    const int error = FsOf(request).Lookup(parent, name, &entry);
    if (error) {
        fuse_reply_err(request, error);
    } else {
        fuse_reply_entry(request, &entry);
    }
}

void DoGetattr(fuse_req_t request, fuse_ino_t ino, struct fuse_file_info*) {
    struct stat st;
    const MountFs& fs = FsOf(request);
    const int error = fs.Attributes(ino, &st);
    if (error) {
        fuse_reply_err(request, error);
    } else {
        fuse_reply_attr(request, &st, fs.Timeout());
    }
}

// A listing, with each entry's attributes too when plus is set (the
// kernel then needs no lookup for it).
void ReplyDirectory(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
    std::vector<MountDirEntry> entries;
    const MountFs& fs = FsOf(request);
    const int error = fs.ReadDirectory(ino, offset, &entries);
    if (error) {
        fuse_reply_err(request, error);
        return;
    }
    std::vector<char> buffer(size);
    std::size_t used = 0;
    for (const MountDirEntry& entry : entries) {
        char* at = buffer.data() + used;
        const char* name = entry.name.c_str();
        std::size_t need;
        if (plus) {
            struct fuse_entry_param param;
            std::memset(&param, 0, sizeof param);
            param.ino = entry.ino;
            param.entry_timeout = param.attr_timeout = fs.Timeout();
            fs.Attributes(entry.ino, &param.attr);
            need = fuse_add_direntry_plus(request, at, size - used, name, &param, entry.next);
        } else {
            struct stat st;
            std::memset(&st, 0, sizeof st);
            st.st_ino = entry.ino;
            st.st_mode = entry.type;
            need = fuse_add_direntry(request, at, size - used, name, &st, entry.next);
        }
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(request, buffer.data(), used);
}

void DoReaddir(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    ReplyDirectory(request, ino, size, offset, false);
}

void DoReaddirplus(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    ReplyDirectory(request, ino, size, offset, true);
}

void DoRead(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    // One buffer per worker thread, kept at the largest read it served.
    thread_local std::vector<char> buffer;
    if (buffer.size() < size) buffer.resize(size);
    if (offset == 0 && FsOf(request).Pusher()) FsOf(request).Pusher()->Hint(ino);
    const long got = FsOf(request).Read(ino, static_cast<std::uint64_t>(offset), size, buffer.data());
    if (got < 0) {
        fuse_reply_err(request, static_cast<int>(-got));
    } else {
        fuse_reply_buf(request, buffer.data(), static_cast<std::size_t>(got));
    }
}

// Nothing changes while mounted, so the kernel may keep all it was told
// and answer opens itself; reads go ahead of the reader as far as the
// kernel will, and in parallel.
void DoInit(void* fs, struct fuse_conn_info* conn) {
    const unsigned wanted[] = {FUSE_CAP_ASYNC_READ, FUSE_CAP_READDIRPLUS, FUSE_CAP_READDIRPLUS_AUTO,
                               FUSE_CAP_PARALLEL_DIROPS};
    for (unsigned cap : wanted) {
        if (conn->capable & cap) conn->want |= cap;
    }
    static_cast<MountFs*>(fs)->SetKernelOpens((conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0,
                                             (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) != 0);
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    conn->max_background = 64;
    conn->congestion_threshold = 48;
}

// The first open answered "not implemented" makes the kernel open every
// file itself from then on, keeping its pages; only a kernel that cannot
// is told to keep them here. The read-only mount refuses opens for
// writing before they come here.
void DoOpen(fuse_req_t request, fuse_ino_t, struct fuse_file_info* info) {
    if (FsOf(request).KernelOpensFiles()) {
        fuse_reply_err(request, ENOSYS);
        return;
    }
    info->keep_cache = 1;
    fuse_reply_open(request, info);
}

void DoOpendir(fuse_req_t request, fuse_ino_t, struct fuse_file_info* info) {
    if (FsOf(request).KernelOpensDirectories()) {
        fuse_reply_err(request, ENOSYS);
        return;
    }
    info->cache_readdir = 1;
    info->keep_cache = 1;
    fuse_reply_open(request, info);
}

void DoStatfs(fuse_req_t request, fuse_ino_t) {
    struct statvfs st;
    FsOf(request).StatFs(&st);
    fuse_reply_statfs(request, &st);
}

// Everything that would change the tree or a file.
void RefuseSetattr(fuse_req_t r, fuse_ino_t, struct stat*, int, struct fuse_file_info*) { fuse_reply_err(r, EROFS); }
void RefuseMknod(fuse_req_t r, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(r, EROFS); }
void RefuseMkdir(fuse_req_t r, fuse_ino_t, const char*, mode_t) { fuse_reply_err(r, EROFS); }
void RefuseRemove(fuse_req_t r, fuse_ino_t, const char*) { fuse_reply_err(r, EROFS); }
void RefuseSymlink(fuse_req_t r, const char*, fuse_ino_t, const char*) { fuse_reply_err(r, EROFS); }
void RefuseRename(fuse_req_t r, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
    fuse_reply_err(r, EROFS);
}
void RefuseLink(fuse_req_t r, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(r, EROFS); }
void RefuseWrite(fuse_req_t r, fuse_ino_t, const char*, size_t, off_t, struct fuse_file_info*) {
    fuse_reply_err(r, EROFS);
}
void RefuseCreate(fuse_req_t r, fuse_ino_t, const char*, mode_t, struct fuse_file_info*) { fuse_reply_err(r, EROFS); }
void RefuseSetxattr(fuse_req_t r, fuse_ino_t, const char*, const char*, size_t, int) { fuse_reply_err(r, EROFS); }
void RefuseFallocate(fuse_req_t r, fuse_ino_t, int, off_t, off_t, struct fuse_file_info*) {
    fuse_reply_err(r, EROFS);
}
void RefuseCopy(fuse_req_t r, fuse_ino_t, off_t, struct fuse_file_info*, fuse_ino_t, off_t, struct fuse_file_info*,
                size_t, int) {
    fuse_reply_err(r, EROFS);
}

struct fuse_lowlevel_ops MakeOperations() {
    struct fuse_lowlevel_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.init = DoInit;
    ops.lookup = DoLookup;
    ops.getattr = DoGetattr;
    ops.open = DoOpen;
    ops.read = DoRead;
    ops.opendir = DoOpendir;
    ops.readdir = DoReaddir;
    ops.readdirplus = DoReaddirplus;
    ops.statfs = DoStatfs;
    ops.setattr = RefuseSetattr;
    ops.mknod = RefuseMknod;
    ops.mkdir = RefuseMkdir;
    ops.unlink = RefuseRemove;
    ops.rmdir = RefuseRemove;
    ops.removexattr = RefuseRemove;
    ops.symlink = RefuseSymlink;
    ops.rename = RefuseRename;
    ops.link = RefuseLink;
    ops.write = RefuseWrite;
    ops.create = RefuseCreate;
    ops.setxattr = RefuseSetxattr;
    ops.fallocate = RefuseFallocate;
    ops.copy_file_range = RefuseCopy;
    return ops;
}

}  // namespace

const struct fuse_lowlevel_ops& MountFs::Operations() {
    static const struct fuse_lowlevel_ops ops = MakeOperations();
    return ops;
}

}  // namespace rux
