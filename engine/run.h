// The pieces of one extraction run that its paths share: the plan every
// resource of the run follows, the end each resource tells, and the work
// on one resource (engine/sequential.cpp) that the parallel path
// (engine/parallel.cpp) runs on its workers. Inside the engine only.
#ifndef RUX_ENGINE_RUN_H
#define RUX_ENGINE_RUN_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "common/stop.h"
#include "engine/events.h"
#include "engine/extract.h"
#include "engine/output.h"
#include "resource/set.h"

namespace rux {

constexpr std::size_t PATH_BYTES = 4096;
// The copy buffer. Large reads keep the system calls per byte few; see
// CopyPiece for the size of each read.
constexpr std::uint32_t COPY_BYTES = 1u << 20;
constexpr std::uint32_t FAILURE_PIECE = 4096;

#ifdef _WIN32
constexpr char SEPARATOR = '\\';
constexpr int WINDOWS_RULES = 1;
#else
constexpr char SEPARATOR = '/';
constexpr int WINDOWS_RULES = 0;
#endif

// One resource of the run's set, read front to back as the copy loops
// want it: a stored or loose resource delivers what it has, a deflated one
// each piece whole or not at all (so that a damaged block gives standard
// output the same bytes whatever the job count). The reason of a failure
// is kept.
struct ResourceInput {
    const ResourceSet* set = nullptr;
    int slot = -1;
    std::uint64_t position = 0;
    std::int64_t size = -1;  // -1 unless open
    ReadStatus status;

    // Looks the name up and opens its resource: 1, or 0 (status says why).
    int Open(const ResourceSet& from, const char* name);
    int Slot() const { return slot; }
    std::uint32_t Size() const { return size < 0 ? 0 : static_cast<std::uint32_t>(size); }
    std::uint32_t Read(void* buffer, std::uint32_t count);
    void Close() { size = -1; }
};

// Bytes per read for a stream (see engine/sequential.cpp).
std::uint32_t CopyPiece(const ResourceInput& stream);

// Why the resource in slot was not read in full, from the status of the
// read that failed; control bytes of paths in it are escaped, as in names.
std::string ReadFailureReason(const ResourceSet& set, int slot, const ReadStatus& status);

// What the run does after one resource.
enum class ResourceOutcome {
    Done,     // done in full; the run goes on
    Failed,   // not read in full, or refused; the run goes on and ends with status 1
    EndRun,   // the run ends now, with status 1 ("Cannot write")
    Stopped,  // the stop request came: nothing of it is left, and the run ends
};

// A resource's outcome as the run goes on with it.
ResourceOutcome OutcomeOf(const ResourceEnd& end);

// The progress of one run, counted by every thread that works on it and
// told to the observer (if it asked for progress) at most every 100 ms.
class RunProgress {
public:
    // observer null: nothing is counted or told.
    void Start(ExtractObserver* observer, std::uint64_t totalBytes, unsigned totalResources);
    void Add(std::uint64_t bytes) {
        if (!observer_) return;
        done_.fetch_add(bytes, std::memory_order_relaxed);
        Tell(false);
    }
    // A resource turned out to hold real bytes rather than listed ones.
    void Resize(std::uint64_t listed, std::uint64_t real) {
        if (observer_) total_.fetch_add(real - listed, std::memory_order_relaxed);
    }
    void ResourceDone() {
        if (!observer_) return;
        doneResources_.fetch_add(1, std::memory_order_relaxed);
        Tell(false);
    }
    // Tells where the run stands: when forced (on the calling thread, no
    // worker telling), now; else if 100 ms have passed and no other thread
    // is telling.
    void Tell(bool force);

private:
    ExtractObserver* observer_ = nullptr;
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
    std::atomic<unsigned> doneResources_{0};
    unsigned totalResources_ = 0;
    std::atomic<std::int64_t> toldAt_{0};  // steady-clock nanoseconds
    std::mutex telling_;
};

// What every resource of one run shares.
struct RunPlan {
    int mode = MODE_EXTRACT;
    const ResourceSet* set = nullptr;
    int noClobber = 0;             // never replace an existing file (extraction only)
    OutputTree* tree = nullptr;    // below outdir (extraction only)
    const char* outdir = nullptr;  // without trailing separators (extraction only)
    std::size_t outdirLength = 0;
    std::FILE* data = nullptr;  // where MODE_STDOUT writes the data
    RunProgress* progress = nullptr;
    const StopRequest* stop = nullptr;
};

// What an output file's result means for the resource, and what the run
// does after it: the one mapping for every file of every path. error is
// the reason of a failure.
ResourceOutcome TellOutput(OutputResult result, const char* path, int error, ResourceEnd& end);

// Begins the output file of the resource name at path (PATH_BYTES of
// room): 1, or 0 with the resource's outcome in *outcome and in end.
int BeginFile(const RunPlan& plan, const char* name, char* path, OutputFile& output, ResourceEnd& end,
              ResourceOutcome* outcome);

// Ends the output file that BeginFile began: into place when the resource
// was delivered in full, else removed (status says why it was not).
ResourceOutcome EndFile(const RunPlan& plan, const char* path, OutputFile& output, int delivered,
                        const ReadStatus& status, int slot, ResourceEnd& end);

// Sets end to a read failure of the resource in slot, from the status of
// the read that failed.
ResourceOutcome TellUnread(const RunPlan& plan, int slot, const ReadStatus& status, ResourceEnd& end);

// What every mode does first for the resource in slot: the refusal of an
// unsafe name, and the open of its stream. 1 when the stream is to be used
// (*opened and *size set), else 0 with the outcome in *outcome.
int StartResource(const RunPlan& plan, int slot, ResourceInput& stream, int* opened, std::uint32_t* size,
                  ResourceEnd& end, ResourceOutcome* outcome);

// All the work of the resource in slot: the refusal of an unsafe name, and
// the listing, test, copy or extraction that the mode asks for; its
// outcome in end. data is a COPY_BYTES buffer of its own.
ResourceOutcome ProcessResource(const RunPlan& plan, int slot, unsigned char* data, ResourceEnd& end);

// What a run adds up, and tells, as its resources end in slot order.
struct RunReport {
    ExtractObserver* observer = nullptr;
    ExtractSummary* summary = nullptr;
    RunProgress* progress = nullptr;
};

// Tells the end of the resource in slot, in its turn, and counts it.
void ReportResource(const RunPlan& plan, const RunReport& report, int slot, ResourceOutcome outcome,
                    ResourceEnd& end);

// The selected resources may go to worker threads: the mode reads data.
int MayRunInParallel(const ExtractOptions& options, int count);

// Runs the count selected resources in slots on worker threads, telling
// their ends in slot order as the sequential run does. Returns 1 when the
// run went through, 0 when a resource ended it or the stop request came
// (summary says which).
int RunInParallel(const ExtractOptions& options, const RunPlan& plan, const RunReport& report, const int* slots,
                  int count, unsigned char* data);

}  // namespace rux

#endif
