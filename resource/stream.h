// Sequential streams over resources, whatever their storage kind: the
// usual way to read one. Installed as <rux/stream.h>; resources are found
// in the files that <rux/index.h> mounted.
//
//   rux::ResourceStream stream;
//   if (stream.Open("sounds/shot.wav")) {
//       std::uint32_t got = stream.Read(buffer, sizeof buffer);
//       ...
//       stream.Close();
//   }
//
// A ResourceStream has no destructor: one that goes out of scope open
// leaves its resource open, and no other stream can open it. Close every
// stream you open.
//
// A ResourceStream reads the default set (<rux/set.h>). It holds an index
// slot number; the read position, the open flag and a loose file's handle
// live with the index slot itself. So a stored or deflated resource can be
// open in one stream at a time, and a loose one likewise (its handle has
// one place to live). A ResourceReader (<rux/set.h>) has none of these
// limits: any number of them may read one resource of any set at once.
//
// Threads: streams over different resources may be used in different
// threads at once (after OpenDataFiles); one resource's stream stays in
// one thread.
#ifndef RUX_RESOURCE_STREAM_H
#define RUX_RESOURCE_STREAM_H

#include <cstdint>

#include <rux/set.h>

namespace rux {

// Opens the resource in an index slot. 1 on success. 0 for slot -1, an
// unknown kind, a resource that is already open, and for a loose resource
// whose path does not fit LOOSE_PATH_BYTES, whose file cannot be opened, or
// whose file is 4 GiB or larger. Stored and deflated resources start at
// position 0. May run concurrently with calls on other slots.
int OpenSlot(int slot);

// Reads up to count bytes of a stored resource from position, clamped to
// its size. Returns the bytes actually received from the resource file: 0
// when its data file cannot be opened or placement + position overflows 32
// bits; fewer than asked if the file is short. Touches no stream state:
// may run concurrently with any read, even of the same resource.
std::uint32_t ReadStored(void* buffer, int slot, std::uint32_t position, std::uint32_t count);

class ResourceStream {
public:
    // Looks the name up (LookupResource: ASCII case ignored) and opens its
    // slot (OpenSlot); the stream keeps the slot found (-1 included) even
    // when the open is refused. 1 on success; 0 when no resource has that
    // name or OpenSlot refuses it (already open in another stream, say).
    // Does not close what the stream held before: Close first. A refused
    // stream owns nothing: it is closed, and its IsOpen, Read and Close
    // never touch the stream that has the resource open. May run
    // concurrently with streams over other resources.
    int Open(const char* name);

    // 1 while the stream's resource is open. This and the calls below may
    // run concurrently with streams over other resources.
    int IsOpen() const;

    // Length in bytes; 0 unless open.
    std::uint32_t Size() const;

    // Reads up to count bytes from the current position into buffer (which
    // holds count bytes) and advances the position by what it returns.
    // Returns the bytes placed in buffer: fewer than count only at the end
    // of the resource or on an error (a short or damaged resource file), 0
    // at the end, on error, or unless open. The stream stays open either way.
    std::uint32_t Read(void* buffer, std::uint32_t count);

    // Closes the resource if this stream opened it; the stream keeps its
    // slot number.
    void Close();

    // The index slot the last Open found, -1 before any or when the name
    // was unknown.
    int Slot() const { return slot_; }

private:
    std::int32_t slot_ = -1;
    std::int32_t opened_ = 0;  // 1 from a successful Open to Close
};

}  // namespace rux

#endif
