// The mount table and the resource index of the default set: mounting
// resource files and finding resources by name. Installed as <rux/index.h>.
// Each call works on DefaultResourceSet() (<rux/set.h>); a program that
// wants files of its own, apart from the rest, makes a ResourceSet.
//
// A program calls ResetResourceTables once, MountResourceFile for each
// resource file, then opens resources by name with a ResourceStream
// (<rux/stream.h>), or walks IndexSlots() to list them. Nothing here prints
// or throws; failures are results of 0 or -1.
//
// Both tables are fixed arrays that live for the whole run and belong to
// the library: the pointer IndexSlots returns, and the names the slots
// point to, stay valid until ReleaseResourceTables (the names) or the end
// of the process (the array). Callers read the slots; only the library
// writes them. Mounting reads a
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
#include <rux/set.h>

namespace rux {

// Marks every index and mount slot free and empties the calling thread's
// block cache. Frees and closes nothing now: what a slot held is freed
// and closed when a later mount takes that slot again. Never concurrent
// with any other call of the library.
void ResetResourceTables();

// Frees and closes everything the tables hold (names and block tables, data
// and loose handles, cached blocks), then resets them. For tests and
// fuzzing, which mount again and again in one process. Frees the calling
// thread's cache; blocks other threads cached are never served again.
// Never concurrent with any other call of the library.
void ReleaseResourceTables();

// Mounts the resource file at path into the first free mount slot and
// enters its resources into the index. 1 on success. 0, leaving the tables
// as they were, when all MOUNT_SLOTS are in use, the path does not fit
// MOUNT_PATH_BYTES, the file cannot be opened, the header is short or its
// magic wrong, a packed table fails to read, the directory's element size
// is not 20 or the block table's not 4, or a record's name offset falls
// outside the names table or its name has no NUL before the table's end.
// DefaultResourceSet().Mount(path) does the same and says which, and how
// many resources of a full index were replaced. Never concurrent with any
// other call of the library.
int MountResourceFile(const char* path);

// The home slot of a name: crc32 over its bytes and the NUL, low 12 bits.
// May run concurrently with any call.
int HomeSlot(const char* name);

// The first occupied slot, probing from the name's home slot, whose name
// equals name ignoring the case of ASCII letters; -1 if none
// (ResourceSet::Lookup). May run concurrently with reads, not with mounting.
int LookupResource(const char* name);

// The INDEX_SLOTS index slots, read-only, for walking in slot order. May
// run concurrently with any call but mounting.
const ResourceEntry* IndexSlots();

// Opens the data handle of every mounted file, as reads otherwise do at
// the first one. Returns how many mounted files have no open data handle
// (their reads then fail, as they would have alone). Never concurrent
// with mounting.
int OpenDataFiles();

}  // namespace rux

#endif
