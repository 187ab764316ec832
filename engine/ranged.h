// A resource cut into ranges that different workers read at once, and
// the rule of which resources are cut.
#ifndef RUX_ENGINE_RANGED_H
#define RUX_ENGINE_RANGED_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/output.h"
#include "engine/run.h"
#include "resource/format.h"
#include "resource/set.h"

namespace rux {

// What a range read for standard output holds until the calling thread
// writes it.
struct RangeBytes {
    std::unique_ptr<unsigned char[]> bytes;  // COPY_BYTES, made when first needed
    std::uint32_t got = 0;
};

// A resource cut into ranges that different workers read at once: of
// blocks for a deflated one, of bytes for a stored one. Extracting, each
// range is written at its offset in the one output file; to standard
// output, the calling thread writes the ranges in order. The first range
// to run starts the resource; the worker of the last ends it.
struct RangedResource {
    std::mutex lock;
    int started = 0;
    int used = 0;  // its stream opened and, extracting, its file begun
    ResourceOutcome outcome = ResourceOutcome::Done;  // when not used
    int slot = -1;
    int kind = 0;
    std::uint32_t size = 0;
    std::uint32_t rangeBytes = 0;
    std::uint32_t piece = 0;  // the sequential read's piece (CopyPiece)
    std::unique_ptr<char[]> path;  // PATH_BYTES, extracting only: one per resource of a run
    OutputFile output;
    // The first bytes that could not be read, or written: the earlier one
    // is what a sequential run meets.
    std::atomic<std::uint64_t> firstUnread{~0ull};
    std::atomic<std::uint64_t> firstUnwritten{~0ull};
    // The write's reason (LastError() of the failed call; 0 if none), and
    // the read's of the failure at firstUnread (set under lock).
    std::atomic<int> writeError{0};
    ReadStatus readFailure;
    int cut = 0;  // to standard output: a range came short, so no later byte goes
    std::atomic<int> stopped{0};  // a range was not read for the stop request

    // The bytes of range: 0 past the end.
    std::uint32_t Length(std::uint32_t range) const;
    // In a worker: one range, read into buffer, or to standard output
    // into held, and written at its offset when extracting. The first
    // range to come starts the resource (its line, its stream, its file).
    void Work(const RunPlan& plan, int slotOfItem, std::uint32_t range, unsigned char* buffer, RangeBytes* held,
              ResourceEnd& end);
    // In the worker of the last range: the resource's file into place, or
    // its failure told as the sequential run tells it; a stopped one's
    // file removed.
    ResourceOutcome End(const RunPlan& plan, ResourceEnd& end);
    // After a stopped run: the file of a resource begun and not ended goes.
    void Drop();
};

// Ranges (of the copy buffer's worth of bytes each) that make a resource
// worth cutting when it goes to a file or nowhere.
constexpr std::uint32_t MIN_RANGES = 4;

// The ranges a resource of a run in mode is cut into, each of *rangeBytes
// bytes; 0 when it is read whole. To standard output every resource that
// can be is cut, so that what is held for the calling thread to write
// stays a range per buffer; else only large ones. A deflated resource's
// ranges are of whole blocks; to standard output they must also start on
// a piece of the sequential read (see CopyPiece), so that a failed block
// leaves the very bytes it leaves there.
std::uint32_t RangesOf(const ResourceEntry& entry, int mode, std::uint32_t* rangeBytes);

}  // namespace rux

#endif
