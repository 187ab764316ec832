// The inside of a resource set: its mount table, the per-slot state behind
// the public views, and the reads the other modules of the library share.
// Not installed.
#ifndef RUX_RESOURCE_SET_IMPL_H
#define RUX_RESOURCE_SET_IMPL_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/disk_file.h"
#include "resource/format.h"
#include "resource/set.h"

namespace rux {

struct ResourceFile {
    std::int32_t inUse = 0;
    char path[MOUNT_PATH_BYTES] = {};  // as given to Mount
    std::uint32_t* blockOffsets = nullptr;  // owned; blockOffsetCount entries
    std::uint32_t blockOffsetCount = 0;
    char* names = nullptr;  // owned; index slots point into it
    std::uint32_t namesLength = 0;
    // Where the tables end, and where its first data starts (stored or
    // deflated; UINT64_MAX for none), as mounted: data that starts past the
    // tables is read from a file whose tables came first.
    std::uint64_t tablesEnd = 0;
    std::uint64_t dataStart = UINT64_MAX;
    // Data reads, all positioned, so the handle has no position to share.
    // Opened at the first read (or by OpenDataFiles) under openLock, then
    // published through opened; kept until the set is released.
    DiskFile file;
    std::int64_t fileSize = -1;  // file's size when it was opened
    int openError = 0;           // LastError() of a failed open
    std::atomic<int> opened{0};  // 1: file and fileSize are set; 2: the open failed for good
    std::mutex openLock;
};

// A loose file opened for positioned reads, shared by every reader.
struct LooseFile {
    DiskFile file;
    std::int64_t size = 0;
};

// What a slot holds beyond its public view.
struct SlotState {
    // Set once a resource was entered here since the set was emptied; a
    // lookup that meets a slot never used has missed.
    std::uint8_t used = 0;
    // Set when a file mounted earlier lists a resource of the same
    // identity (ResourceSet::Hidden).
    std::uint8_t hidden = 0;
    // The exclusive stream of the default set's ResourceStream: its
    // position and open flag (stored, deflated) or its own loose handle.
    std::uint32_t position = 0;
    std::int32_t open = 0;
    FileHandle streamHandle = INVALID_FILE_HANDLE;
    // The handle of positioned loose reads, opened by the first one.
    std::atomic<LooseFile*> loose{nullptr};
};

struct ResourceSet::Impl {
    ResourceFile files[MOUNT_SLOTS];
    ResourceEntry entries[INDEX_SLOTS];
    SlotState state[INDEX_SLOTS];
    int occupied = 0;  // slots holding a resource
    // Every occupied slot is also chained under the hash of its identity
    // (IdentityHome): a name in another case, or with other separators, than
    // the listed one has another home slot, so the probe from its own home
    // slot cannot find it.
    std::int32_t foldHead[INDEX_SLOTS];  // first slot of each chain; -1 for none
    std::int32_t foldNext[INDEX_SLOTS];  // next slot of the same chain; -1 at the end
    void Chain(int slot);
    void Unchain(int slot);
    // Unique in the process: new at every change of the index, so a
    // block cached under an older stamp is never served again.
    std::uint64_t stamp = 0;

    void NewStamp();
    // Closes a slot's loose handles.
    void CloseLoose(int slot);
    // Enters one record (the index being filled); replaced counts a slot
    // taken from another resource.
    void Insert(const DirectoryRecord& record, int fileSlot, const char* names, std::uint32_t* replaced);
    // Marks every slot free and every mount slot unused, freeing nothing.
    void Reset();
    // Frees and closes everything, then Reset.
    void Release();
    MountResult Mount(const char* path);
    int Lookup(const char* name) const;
    int Find(const char* name) const;
    // Sets every slot's hidden flag anew, after a mount.
    void MarkHidden();
};

// The chain of a name's identity: FNV-1a over its bytes with ASCII letters
// folded and '\' taken as '/', low 12 bits.
int IdentityHome(const char* name);
// 1 when two names are one resource's: equal with ASCII letters folded and
// '\' taken as '/'.
int SameIdentity(const char* a, const char* b);

// 1 when a read that needs the file's bytes from start on, and finds the
// file ending at fileEnd first, met a file cut short: the file no longer
// holds all that its mount read, or its tables came first and the bytes lie
// after them, where a cut takes them. Else the record that placed them
// there is wrong (the tables follow the data, so nothing of it can lie past
// the end), and the bytes are damaged.
int CutShort(const ResourceFile& file, std::uint64_t start, std::int64_t fileEnd);

// Opens the mount slot's data handle if it is not open; 1 if it is open,
// else 0 with the system's error in *error (error may be null). Safe from
// several threads at once.
int OpenData(ResourceFile& file, int* error);

// A positioned read of a mount slot's data file: the bytes read (fewer at
// the end of the file or on an error, whose reason goes to *status).
std::uint32_t ReadData(ResourceFile& file, std::uint64_t offset, void* buffer, std::uint32_t count,
                       ReadStatus* status);

// Reads of one kind for ReadAt: offset below the size, count clamped to
// it, both checked. The bytes read, or -1 with *status filled. With direct,
// a deflated block wanted whole that the cache lacks is inflated straight
// into buffer and not kept (ReadAt); without, every block goes through the
// cache (ReadDeflated).
std::int64_t ReadStoredAt(const ResourceSet::Impl& set, int slot, std::uint32_t offset, void* buffer,
                          std::uint32_t count, ReadStatus* status);
std::int64_t ReadDeflatedAt(const ResourceSet::Impl& set, int slot, std::uint32_t offset, void* buffer,
                            std::uint32_t count, ReadStatus* status, int direct);

// The inflated block of a deflated resource, from this thread's cache or
// read and inflated into it; null with *status filled on failure.
const std::uint8_t* FetchSetBlock(const ResourceSet::Impl& set, int slot, std::uint32_t block,
                                  ReadStatus* status);

// Blocks of a deflated resource: ceil(size / blockLength), 0 for a block
// length of 0.
std::uint32_t BlockCount(const ResourceEntry& entry);

// The default set's inside, for the library's own tests.
ResourceFile* MountSlots();
// Enters one record into the default set's index (Impl::Insert).
void InsertResource(const DirectoryRecord& record, int fileSlot, const char* names);

// The inside of a set, for the library's own code.
struct ResourceSetInside {
    static ResourceSet::Impl& Of(const ResourceSet& set) { return *set.impl_; }
};
inline ResourceSet::Impl& ImplOf(const ResourceSet& set) { return ResourceSetInside::Of(set); }

// n with its thousands grouped, as the reasons write sizes: "5,000,000".
std::string Grouped(std::uint64_t n);

}  // namespace rux

#endif
