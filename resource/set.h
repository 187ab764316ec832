// Resource sets: independent groups of mounted resource files, read by
// position from any number of threads. Installed as <rux/set.h>.
//
//   rux::ResourceSet set;
//   rux::MountResult mounted = set.Mount("data.rux");
//   if (!mounted.ok()) std::puts(rux::MountErrorText(mounted).c_str());
//   int slot = set.Lookup("sounds/shot.wav");
//   std::int64_t got = set.ReadAt(slot, 0, buffer, sizeof buffer);
//
// A set owns up to MOUNT_SLOTS mounted files and one INDEX_SLOTS-slot
// index over their resources, with the names, the block tables and the
// data handles. Any number of sets live in one process, and nothing one
// does is seen by another. Destroying a set (or Release) frees and closes
// everything it holds. The free functions of <rux/index.h>, <rux/blocks.h>
// and <rux/stream.h> work on one process-wide set, DefaultResourceSet().
//
// Nothing here prints or throws. Results are plain records, 1 or 0, or
// byte counts with -1 for failure; a failure's reason is left in a
// MountResult or a ReadStatus, and *ErrorText turns it into English.
//
// Threads: a set is filled (Mount, Release) by one thread while no other
// uses it. After that, any number of threads may call the const members at
// once, on the same resource too. Each thread keeps its own cache of
// inflated blocks (<rux/blocks.h>), keyed so that a cached block is never
// served for another set, file, mount or remount.
#ifndef RUX_RESOURCE_SET_H
#define RUX_RESOURCE_SET_H

#include <cstdint>
#include <string>

#include <rux/format.h>

namespace rux {

constexpr int MOUNT_SLOTS = 16;
constexpr int INDEX_SLOTS = 4096;

// Room for a mount path, terminator included. Windows keeps the classic
// 256 bytes; POSIX paths are routinely longer.
#ifdef _WIN32
constexpr int MOUNT_PATH_BYTES = 256;
#else
constexpr int MOUNT_PATH_BYTES = 4096;
#endif

// Room for a loose file's path (mount path + name), terminator included.
#ifdef _WIN32
constexpr int LOOSE_PATH_BYTES = 256;
#else
constexpr int LOOSE_PATH_BYTES = 4096;
#endif

// One index slot, as a program sees it: read-only, valid while the set
// keeps its files mounted. kind 0 marks a free slot.
struct ResourceEntry {
    const char* name = nullptr;  // the listed name, NUL-terminated; owned by the set
    std::uint32_t kind = 0;      // KIND_LOOSE, KIND_STORED, KIND_DEFLATED, or another listed value
    std::int32_t fileSlot = 0;   // the mount slot of the file that lists it
    std::uint32_t placement = 0;  // as listed: stored, the data offset; deflated, the first block
    std::uint32_t size = 0;       // the listed size in bytes
    std::uint32_t blockLength = 0;  // deflated: inflated length of every block but the last
    // Bytes of the resource file it occupies: stored, its size; deflated,
    // its blocks' packed bytes as the block table gives them (0 when the
    // table does not hold them); loose, 0.
    std::uint64_t packedSize = 0;
};

// Why a mount failed.
enum class MountError {
    NONE = 0,
    NO_FREE_SLOT,        // all MOUNT_SLOTS are in use
    PATH_TOO_LONG,       // the path does not fit MOUNT_PATH_BYTES
    CANNOT_OPEN,         // the file cannot be opened (systemError says why)
    NOT_RESOURCE_FILE,   // not "RUXA", or empty
    // The three table errors: table says why. Where the file ends before
    // the table's header or its packed bytes (SHORT_HEADER, PAST_END),
    // the file is cut short: cutShort(), and fileEnd and needed say where.
    DIRECTORY_TABLE,     // the directory table cannot be read (table says why)
    NAMES_TABLE,         // the names table cannot be read (table says why)
    BLOCK_TABLE,         // the block offset table cannot be read (table says why)
    BAD_RECORD_SIZE,     // the directory's element size is not 20
    BAD_OFFSET_SIZE,     // the block table's element size is not 4
    NAME_OUTSIDE_TABLE,  // record number `record` names a place outside the names table
    NAME_UNTERMINATED,   // record number `record` has a name with no NUL before the table's end
    CUT_SHORT,           // the file ends inside its header, which starts as a resource file's does
};

// What Mount did. On failure the set is as it was before.
struct MountResult {
    MountError error = MountError::NONE;
    TableError table = TableError::NONE;  // for the *_TABLE errors
    int systemError = 0;       // LastError() code, where the system gave one; else 0
    int fileSlot = -1;         // the mount slot taken, on success
    std::uint32_t record = 0;  // for NAME_OUTSIDE_TABLE and NAME_UNTERMINATED
    // A file cut short (CUT_SHORT, and the table errors SHORT_HEADER and
    // PAST_END where the file ends first): its size, and the bytes up to
    // which the part that failed needs it to go; both 0 otherwise.
    std::uint64_t fileEnd = 0;
    std::uint64_t needed = 0;
    // On success: the directory's records, and how many of them took the
    // slot of a resource already in the index because it was full (each
    // such resource is then no longer found).
    std::uint32_t records = 0;
    std::uint32_t replaced = 0;

    bool ok() const { return error == MountError::NONE; }
    // The mount failed because the file ends before the bytes it needs.
    bool cutShort() const { return needed > fileEnd; }
};

// A short English text for a mount's failure, such as "not a resource
// file" or "damaged names table: its data does not inflate", with the
// system's text where it gave one; "" on success. A file cut short says so,
// with the numbers: "cut short: the file ends at byte 5,000,000, and its
// directory table needs bytes up to 9,000,012" (the part is "header",
// "directory table", "names table" or "block offset table"). "damaged" is
// kept for bytes that are there but wrong. May run concurrently with any
// call.
std::string MountErrorText(const MountResult& result);

// Why a read failed.
enum class ReadError {
    NONE = 0,
    NO_RESOURCE,      // the slot is out of range or free, or its kind is not one of the three
    CANNOT_OPEN,      // the resource file or loose file cannot be opened (systemError)
    READ_FAILED,      // a read of the file failed (systemError), or a loose file ended early (0)
    DAMAGED_BLOCK,    // deflated block number `block` of `blocks` is damaged
    TOO_LARGE,        // a loose file of 4 GiB or more
    OFFSET_OVERFLOW,  // stored data placed past 4 GiB
    OUT_OF_MEMORY,
    CUT_SHORT,        // the resource file ends inside the bytes the read needs (inFile, length)
};

// What a failed read met. delivered counts the bytes at the start of the
// buffer that are the resource's all the same: a stored or loose read's
// bytes received, a deflated read's whole blocks before the failing one.
struct ReadStatus {
    ReadError error = ReadError::NONE;
    int systemError = 0;
    std::uint32_t block = 0;   // DAMAGED_BLOCK, deflated CUT_SHORT: which, from 0
    std::uint32_t blocks = 0;  // DAMAGED_BLOCK, deflated CUT_SHORT: of how many
    std::uint32_t delivered = 0;
    // CUT_SHORT: of the length bytes the resource needs from the file (a
    // stored one's data, or deflated block `block`'s packed bytes), the
    // inFile bytes before the file's end.
    std::uint32_t inFile = 0;
    std::uint32_t length = 0;
};

class ResourceSet;

// A short English text for a read's failure, naming the file that could
// not be opened or read, such as "damaged block 3 of 10" or "cannot open
// loose file data.ruxa/b.txt: No such file or directory" (blocks counted
// from 1 there); "" for NONE. CUT_SHORT gives "cut short: 1,200 of 4,096
// bytes of block 3 are in the file", or for stored data "cut short: 6 of 12
// bytes of its data are in the file".
// slot is the resource the read was for. May run concurrently with reads.
std::string ReadErrorText(const ResourceSet& set, int slot, const ReadStatus& status);

class ResourceSet {
public:
    ResourceSet();
    ~ResourceSet();
    ResourceSet(const ResourceSet&) = delete;
    ResourceSet& operator=(const ResourceSet&) = delete;

    // Mounts the resource file at path into the first free mount slot and
    // enters its resources into the index: a name already there keeps its
    // slot, and the newcomer goes to the next free one, so lookups find the
    // file mounted first. Once the index is full, each newcomer replaces
    // the occupant of its name's home slot (counted in replaced). The file
    // is checked whole before the index changes; on failure the set is as
    // it was, and the result says why.
    MountResult Mount(const char* path);

    // Frees and closes everything the set holds; it is then empty, as new.
    void Release();

    // The first occupied slot, probing from the name's home slot, whose name
    // equals name ignoring the case of ASCII letters; -1 if none. Names are
    // matched byte for byte otherwise: "a/b" and "a\b" differ. A miss stops
    // at the first slot never used since the set was emptied.
    int Lookup(const char* name) const;

    // The resource a name stands for, by its identity: two names are one
    // resource when they are equal with ASCII letters folded and '\' taken
    // as '/'. Across files, the first file mounted wins for every spelling:
    // a later file's resource of the same identity is Hidden. Within one
    // file, two names of one identity stay two resources: a lookup of an
    // exact spelling returns that one; any other spelling returns the one
    // Lookup returns (or, for names that differ in their separators, the
    // nearest from the name's home slot). -1 if none. Lookup itself is left
    // as the free functions of <rux/index.h> have it.
    int Find(const char* name) const;

    // 1 when a file mounted earlier lists a resource of the same identity
    // as the one in slot, which listings then leave out; else 0.
    int Hidden(int slot) const;

    // The INDEX_SLOTS slots, for walking in slot order.
    const ResourceEntry* Slots() const;

    // The path a mount slot was mounted from; null for a free slot.
    const char* MountPath(int fileSlot) const;

    // Opens the data handle of every mounted file now rather than at the
    // first read. Returns how many cannot be opened (their reads fail).
    int OpenDataFiles() const;

    // The bytes a read of the resource can give: its listed size, or for a
    // loose resource the size of its loose file (opened for it, once). -1
    // when the slot holds no resource or the loose file cannot be opened or
    // is 4 GiB or more; *status (may be null) then says why.
    std::int64_t DataSize(int slot, ReadStatus* status = nullptr) const;

    // Reads up to count bytes of the resource in slot from offset into
    // buffer, for any storage kind, without any stream: a positioned read
    // of the file, or the blocks that cover the range, inflated or taken
    // from this thread's cache (a block wanted whole that the cache lacks
    // is inflated straight into buffer, and not kept). Returns the bytes
    // read, count clamped to DataSize (0 at or past the end); or -1 on
    // failure, with the reason in *status (may be null), which also says
    // how many bytes at the start of buffer came through; the bytes after
    // those are then unspecified.
    std::int64_t ReadAt(int slot, std::uint64_t offset, void* buffer, std::uint32_t count,
                        ReadStatus* status = nullptr) const;

    struct Impl;  // the library's inside, which no installed header shows

private:
    friend struct ResourceSetInside;
    Impl* impl_;
};

// The process-wide set that the free functions of <rux/index.h>,
// <rux/blocks.h> and <rux/stream.h> use. It lives until the process ends.
ResourceSet& DefaultResourceSet();

// A sequential reader over ReadAt: its own position, on any set. Any
// number of readers may be open on one resource, in any threads; one
// reader is used by one thread at a time. Has no destructor duties: it
// holds nothing but a reference to the set, which must outlive it.
class ResourceReader {
public:
    // Opens the resource of that name (Lookup). 1 on success; 0, leaving
    // the reader closed, when no resource has that name or its data cannot
    // be reached (*status says why; NO_RESOURCE for a missing name).
    int Open(const ResourceSet& set, const char* name, ReadStatus* status = nullptr);
    // The same for a slot.
    int OpenSlot(const ResourceSet& set, int slot, ReadStatus* status = nullptr);

    int IsOpen() const { return set_ != nullptr; }
    // DataSize at the open; 0 unless open.
    std::int64_t Size() const { return size_; }
    std::uint64_t Tell() const { return position_; }
    int Slot() const { return slot_; }

    // Reads up to count bytes from the position and advances it by what it
    // returns: 0 at the end; -1 on failure (the position stays) or unless open.
    std::int64_t Read(void* buffer, std::uint32_t count, ReadStatus* status = nullptr);

    // Moves the position to offset from the start (SEEK_FROM_BEGIN) or from
    // the position (SEEK_FROM_CURRENT). The new position, or -1 for one
    // before the start (the position stays) or unless open. Past the end is
    // allowed: reads there give 0.
    std::int64_t Seek(std::int64_t offset, int origin);

    void Close();

private:
    const ResourceSet* set_ = nullptr;
    int slot_ = -1;
    std::uint64_t position_ = 0;
    std::int64_t size_ = 0;
};

}  // namespace rux

#endif
