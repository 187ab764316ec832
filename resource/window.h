// Packed bytes read ahead: a caller that reads resources lying next to
// each other in a resource file reads their bytes with one positioned read
// of its own (ReadFileBytes) and lends them to the calling thread
// (UseWindow); until WindowOff, that thread's reads of stored bytes and of
// blocks' packed bytes inside them are served from there. Inside the
// library and the engine; not installed.
//
// A read that the lent bytes do not hold in full takes the plain path, so a
// failure keeps its reason; the bytes are those one read gave, never a
// mapping, so a file that shrinks meanwhile only makes its reads fail.
#ifndef RUX_RESOURCE_WINDOW_H
#define RUX_RESOURCE_WINDOW_H

#include <cstdint>

#include "resource/set.h"

namespace rux {

// Where the bytes of the resource in slot lie in its resource file:
// [*start, *end), with *fileSlot its mount slot. 1 for a stored resource
// and for a deflated one whose block table places its blocks in order;
// else 0 (loose, free, or a table that does not).
int PackedExtent(const ResourceSet& set, int slot, int* fileSlot, std::uint64_t* start, std::uint64_t* end);

// Reads count bytes of the resource file in fileSlot from offset into
// buffer with one positioned read (opening its data handle if need be):
// the bytes read, fewer at the file's end or on a failure.
std::uint32_t ReadFileBytes(const ResourceSet& set, int fileSlot, std::uint64_t offset, void* buffer,
                            std::uint32_t count);

// Lends the calling thread length bytes of that file from start on. They
// must stay alive and unchanged, and the set mounted, until WindowOff on
// this thread.
void UseWindow(const ResourceSet& set, int fileSlot, std::uint64_t start, const std::uint8_t* bytes,
               std::uint32_t length);

// The calling thread's reads take the plain path again.
void WindowOff();

}  // namespace rux

#endif
