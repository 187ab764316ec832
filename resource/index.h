// The mount table and the resource index.
//
// Both are fixed static arrays that live for the whole run. Mounting reads a
// resource file's directory and enters every record into the 4096-slot
// index, an open-addressed hash table keyed by the crc32 of the name. An
// index slot number (0 to INDEX_SLOTS - 1) identifies a resource for the
// rest of the library; -1 means no slot.
#ifndef RUX_RESOURCE_INDEX_H
#define RUX_RESOURCE_INDEX_H

#include <cstdint>

#include "platform/disk_file.h"
#include "resource/format.h"

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

struct ResourceFile {
    std::int32_t inUse = 0;
    char path[MOUNT_PATH_BYTES] = {};  // as given to MountResourceFile
    std::uint32_t* blockOffsets = nullptr;  // owned; blockOffsetCount entries
    std::uint32_t blockOffsetCount = 0;
    char* names = nullptr;  // owned; index slots point into it
    std::uint32_t namesLength = 0;
    DiskFile file;  // data reads; opened on first use, then kept open
    // Where file's position stands, or -1 when unknown; lets sequential
    // reads skip the seek.
    std::int64_t filePosition = -1;
    // file's size when it was opened, -1 before; bounds what a block may
    // claim before anything is allocated for it.
    std::int64_t fileSize = -1;
};

struct ResourceEntry {
    const char* name = nullptr;  // into the names table of its file; not owned
    std::uint32_t kind = 0;      // 0 = free slot; otherwise the record's kind
    std::int32_t fileSlot = 0;   // the ResourceFile that lists it
    // Stored: data offset. Deflated: first block-table index. Loose: the
    // loose file's handle while open, INVALID_FILE_HANDLE otherwise.
    std::uintptr_t placement = INVALID_FILE_HANDLE;
    std::uint32_t size = 0;
    std::uint32_t blockLength = 0;
    std::uint32_t position = 0;  // read position of an open stream (stored, deflated)
    std::int32_t open = 0;       // 1 while a stream holds it (stored, deflated)
};

// Marks every index and mount slot free and empties the block cache. Frees
// and closes nothing: it is meant for the start of a run.
void ResetResourceTables();

// Frees and closes everything the tables hold (names and block tables, data
// and loose handles, cached blocks), then resets them. For tests and
// fuzzing, which mount again and again in one process.
void ReleaseResourceTables();

// Mounts the resource file at path into the first free mount slot and
// enters its resources into the index. 1 on success. 0, leaving the tables
// as they were, when all MOUNT_SLOTS are in use, the path does not fit
// MOUNT_PATH_BYTES, the file cannot be opened, the header is short or its
// magic wrong, a packed table fails to read, the directory's element size
// is not 20 or the block table's not 4, or a record's name offset falls
// outside the names table or its name has no NUL before the table's end.
int MountResourceFile(const char* path);

// Enters one record into the index at the name's home slot or the next free
// one. With all slots occupied it replaces the occupant of the home slot,
// dropping that slot's cached blocks, open state and loose handle. A record
// of kind 0 is written but leaves the slot free. names + record.nameOffset
// must be a NUL-terminated name (MountResourceFile checks this).
void InsertResource(const DirectoryRecord& record, int fileSlot, const char* names);

// The home slot of a name: crc32 over its bytes and the NUL, low 12 bits.
int HomeSlot(const char* name);

// The first occupied slot, scanning all slots from the name's home slot,
// whose name equals name ignoring the case of ASCII letters; -1 if none.
int LookupResource(const char* name);

// The INDEX_SLOTS index slots, for walking in slot order.
ResourceEntry* IndexSlots();

// The MOUNT_SLOTS mount slots.
ResourceFile* MountSlots();

// Opens a mount slot's data handle if it is not open yet, noting its
// position (0) and size. 1 if it is open.
int OpenDataFile(ResourceFile& file);

// Reads up to count bytes of a mount slot's data file from offset, opening
// the handle if needed and seeking only when it stands elsewhere. Returns
// the bytes read: 0 if the file cannot be opened or the seek fails, fewer
// than count at the end of the file or on a read error.
std::uint32_t ReadDataFile(ResourceFile& file, std::uint64_t offset, void* buffer,
                           std::uint32_t count);

}  // namespace rux

#endif
