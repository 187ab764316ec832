// What an extraction run tells its caller: each resource's outcome as it
// ends, progress, and the summary the run returns. The engine prints
// nothing; rux-extract prints from these (programs/extract_print.h), and
// the Python binding raises from them.
//
// Threads: ResourceBegins and ResourceEnds come on the thread that called
// the run, in slot order. Progress may come from a worker thread, never
// two at once, but at the same time as the others.
#ifndef RUX_ENGINE_EVENTS_H
#define RUX_ENGINE_EVENTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "resource/set.h"

namespace rux {

// How one resource ended.
enum class ResourceResult {
    Done,         // written, listed, read or copied in full
    Kept,         // without replacing: an existing file at path stays
    RefusedName,  // an unsafe name: nothing was opened for it
    RefusedLink,  // a directory of its output path is a link (path: cut after it)
    ReadFailed,   // not read in full (status, reason); no file of it is left
    WriteFailed,  // its file at path cannot be written (error); the run ends
    OutputFailed, // the data stream cannot be written; the run ends
};

struct ResourceEnd {
    int slot = -1;
    const ResourceEntry* entry = nullptr;  // in the run's set
    ResourceResult result = ResourceResult::Done;
    std::uint32_t size = 0;  // the bytes its stream gives; 0 refused or not opened
    std::string path;        // Kept, RefusedLink, WriteFailed: the output path
    // WriteFailed, OutputFailed: the system's error (0 when none is known);
    // ReadFailed: status.systemError.
    int error = 0;
    ReadStatus status;   // ReadFailed: the library's reason
    std::string reason;  // ReadFailed: why, control bytes escaped; RefusedName: "unsafe name"
    // MODE_LIST, MODE_TEST: why extraction would refuse the name ("unsafe
    // name"), or empty. Listing and testing write nothing, so the resource
    // is listed and read all the same.
    std::string refused;

    bool Failed() const { return result != ResourceResult::Done && result != ResourceResult::Kept; }
    bool EndsRun() const { return result == ResourceResult::WriteFailed || result == ResourceResult::OutputFailed; }
};

// Where a run stands: bytes done of the total (the listed sizes, and the
// real ones of the resources begun), and resources done of the selected.
struct ExtractProgress {
    std::uint64_t doneBytes = 0;
    std::uint64_t totalBytes = 0;
    unsigned doneResources = 0;
    unsigned totalResources = 0;
};

class ExtractObserver {
public:
    virtual ~ExtractObserver() = default;
    // Once, after the resources are selected and before the first begins.
    virtual void RunBegins(unsigned selected, std::uint64_t listedBytes) {
        (void)selected;
        (void)listedBytes;
    }
    // Before the resource's end; in a parallel run its work may have begun
    // earlier. A resource that the stop request cuts short has no end.
    virtual void ResourceBegins(int slot, const ResourceEntry& entry) {
        (void)slot;
        (void)entry;
    }
    virtual void ResourceEnds(const ResourceEnd& end) { (void)end; }
    // With ExtractOptions::progress only: at the start, when the first
    // bytes are read and then at most every 100 ms, after each resource,
    // and at the end.
    virtual void Progress(const ExtractProgress& progress) { (void)progress; }
};

// What ended a run before its first resource.
enum class RunFailure {
    None,
    CannotMount,        // the resource file (path; why in mount)
    OutputPathTooLong,  // the output directory's path (path)
    NoOutputDirectory,  // an output directory made only of separators
    CannotMakeOutputDirectory,  // the output directory (path) cannot be made or opened (systemError)
};

// What a run came to.
struct ExtractSummary {
    int status = 1;  // 0 only when everything asked for was done
    RunFailure failure = RunFailure::None;
    MountResult mount;  // CannotMount
    std::string path;   // CannotMount, OutputPathTooLong, CannotMakeOutputDirectory
    int systemError = 0;  // CannotMakeOutputDirectory
    unsigned selected = 0;
    unsigned done = 0;    // resources ended and not failed (kept ones included)
    unsigned failed = 0;  // resources ended that failed
    std::uint64_t bytes = 0;  // the sizes of the resources done
    bool ended = false;    // a failed resource ended the run (EndsRun)
    bool stopped = false;  // the stop request ended it
    bool anyFailure = false;
    ResourceEnd firstFailure;  // when anyFailure
    std::vector<int> notFound;  // the includes (by number) that matched no name
};

}  // namespace rux

#endif
