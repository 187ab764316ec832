// The mount table and the resource index: mounting resource files and
// finding resources by name. Installed as <rux/index.h>.
//
// A program calls ResetResourceTables once, MountResourceFile for each
// resource file, then opens resources by name with a ResourceStream
// (<rux/stream.h>), or walks IndexSlots() to list them. Nothing here prints
// or throws; failures are results of 0 or -1.
//
// Both tables are fixed static arrays that live for the whole run and
// belong to the library: the pointers IndexSlots and MountSlots return, and
// the names the slots point to, stay valid until ReleaseResourceTables (the
// names) or the end of the process (the arrays). Callers read the slots;
// only the library writes them. Mounting reads a
// resource file's directory and enters every record into the 4096-slot
// index, an open-addressed hash table keyed by the crc32 of the name. An
// index slot number (0 to INDEX_SLOTS - 1) identifies a resource for the
// rest of the library; -1 means no slot.
//
// Threads: the tables are filled (mount, insert, reset, release) by one
// thread while no other runs; after OpenDataFiles, any number of threads may
// read different resources at once, each slot touched by one thread only.
#ifndef RUX_RESOURCE_INDEX_H
#define RUX_RESOURCE_INDEX_H

#include <cstdint>

#include <rux/disk_file.h>
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

struct ResourceFile {
    std::int32_t inUse = 0;
    char path[MOUNT_PATH_BYTES] = {};  // as given to MountResourceFile
    std::uint32_t* blockOffsets = nullptr;  // owned; blockOffsetCount entries
    std::uint32_t blockOffsetCount = 0;
    char* names = nullptr;  // owned; index slots point into it
    std::uint32_t namesLength = 0;
    // Data reads, all positioned, so the handle has no position to share;
    // opened on first use (or by OpenDataFiles), then kept open.
    DiskFile file;
    // Set by OpenDataFiles: the open is not tried again, so threads reading
    // at once never write here even when the data file failed to open.
    std::int32_t openSettled = 0;
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

// Marks every index and mount slot free and empties the calling thread's
// block cache. Frees and closes nothing: it is meant for the start of a
// run. Never concurrent with any other call of the library.
void ResetResourceTables();

// Frees and closes everything the tables hold (names and block tables, data
// and loose handles, cached blocks), then resets them. For tests and
// fuzzing, which mount again and again in one process. Frees the calling
// thread's cache only; never concurrent with any other call of the library.
void ReleaseResourceTables();

// Mounts the resource file at path into the first free mount slot and
// enters its resources into the index. 1 on success. 0, leaving the tables
// as they were, when all MOUNT_SLOTS are in use, the path does not fit
// MOUNT_PATH_BYTES, the file cannot be opened, the header is short or its
// magic wrong, a packed table fails to read, the directory's element size
// is not 20 or the block table's not 4, or a record's name offset falls
// outside the names table or its name has no NUL before the table's end.
// Never concurrent with any other call of the library.
int MountResourceFile(const char* path);

// Enters one record into the index at the name's home slot or the next free
// one. With all slots occupied it replaces the occupant of the home slot,
// dropping that slot's cached blocks, open state and loose handle. A record
// of kind 0 is written but leaves the slot free. names + record.nameOffset
// must be a NUL-terminated name (MountResourceFile checks this). Never
// concurrent with any other call of the library.
void InsertResource(const DirectoryRecord& record, int fileSlot, const char* names);

// The home slot of a name: crc32 over its bytes and the NUL, low 12 bits.
// May run concurrently with any call.
int HomeSlot(const char* name);

// The first occupied slot, scanning all slots from the name's home slot,
// whose name equals name ignoring the case of ASCII letters; -1 if none.
// Names are matched byte for byte otherwise: "a/b" and "a\b" differ.
// May run concurrently with reads, not with mounting or inserting.
int LookupResource(const char* name);

// The INDEX_SLOTS index slots, for walking in slot order. May run
// concurrently with any call; a slot's fields are written by the thread
// that reads that resource only.
ResourceEntry* IndexSlots();

// The MOUNT_SLOTS mount slots. May run concurrently with any call; their
// fields change only while the tables are filled or by OpenDataFile.
ResourceFile* MountSlots();

// Opens a mount slot's data handle if it is not open yet, noting its size.
// 1 if it is open. Concurrent calls race on a handle that is not yet open:
// threads that read at once call OpenDataFiles first.
int OpenDataFile(ResourceFile& file);

// OpenDataFile for every mounted file. Called after mounting and before
// threads read at once, it leaves them nothing to open or write in the
// mount table. Returns how many mounted files have no open data handle
// (their reads then fail, as they would have alone). Never concurrent with
// any other call of the library.
int OpenDataFiles();

// Reads up to count bytes of a mount slot's data file from offset with a
// positioned read, opening the handle if needed. Returns the bytes read: 0
// if the file cannot be opened, fewer than count at the end of the file or
// on a read error. May run concurrently with itself once the handle is open
// (see OpenDataFiles).
std::uint32_t ReadDataFile(ResourceFile& file, std::uint64_t offset, void* buffer,
                           std::uint32_t count);

}  // namespace rux

#endif
