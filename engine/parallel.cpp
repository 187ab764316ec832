// The parallel run: the selected resources worked on by worker threads,
// whole, or cut into ranges that run at once, and taken back on the calling
// thread in slot order, so that what it prints and writes to standard
// output is exactly what the sequential run prints and writes.
#include <memory>
#include <string>
#include <vector>

#include "engine/collisions.h"
#include "engine/jobs.h"
#include "engine/ranged.h"
#include "engine/run.h"
#include "platform/console.h"
#include "platform/output_dir.h"

namespace rux {

namespace {

// Ranges started and not yet taken, at most.
constexpr std::uint32_t MAX_WINDOW = 256;
static_assert(MAX_WINDOW <= MAX_JOB_WINDOW, "a window the scheduler takes");
static_assert(MAX_WORKERS + MAX_WINDOW / MIN_RANGES + 1 <= TEMPORARY_SLOTS, "room for every live temporary");

// Each selected resource of a parallel run: how it is worked on, and what
// it leaves for the calling thread to print.
struct ParallelItem {
    int slot = -1;                           // in the run's set
    std::uint32_t ranges = 1;                // ranges it is cut into
    std::uint64_t firstRange = 0;            // the run's number of its range 0
    int after = -1;                          // the item it must wait for (OrderCollisions)
    // Read by the calling thread when it takes the item, as the sequential
    // run does (to standard output, what cannot be cut).
    bool onTake = false;
    std::unique_ptr<RangedResource> ranged;  // null for one read whole
    // Made when the item is first worked on, so that the plan of a run of
    // thousands of resources stays small.
    std::unique_ptr<ResourceEnd> end;
    ResourceOutcome outcome = ResourceOutcome::Done;
};

// What each worker has of its own: a buffer.
struct WorkerState {
    std::unique_ptr<unsigned char[]> buffer;  // COPY_BYTES; none to standard output
};

// A run of the resources on worker threads; their ends are told in slot
// order by the calling thread.
class ParallelExtraction : public JobTask {
public:
    ParallelExtraction(const RunPlan& plan, const RunReport& report, unsigned char* data)
        : plan_(plan), report_(report), data_(data) {}

    // Cuts the resources in slots into their items; returns the ranges of
    // them all.
    std::uint64_t Plan(const int* slots, int count);
    // Makes each worker's state and runs the items with window ranges in
    // flight at most.
    void Run(int workers, std::uint32_t window);

    int ended = 0;  // a resource, or the stop request, ended the run

    std::uint32_t RangeCount(int item) const override { return Item(item).ranges; }
    int After(int item) const override { return Item(item).after; }
    RangeResult RunRange(int item, std::uint32_t range, int worker) override;
    void FinishJob(int item, int worker) override;
    bool TakeRange(int item, std::uint32_t range) override;
    bool TakeJob(int item) override;
    void NothingToStart(int worker) override;
    void DropJob(int item) override;

private:
    ParallelItem& Item(int item) { return items_[static_cast<std::size_t>(item)]; }
    const ParallelItem& Item(int item) const { return items_[static_cast<std::size_t>(item)]; }
    // The item's end, made here for one read whole (by the one thread that
    // works on it), in the plan for one in ranges.
    static ResourceEnd& EndOf(ParallelItem& item) {
        if (!item.end) item.end.reset(new ResourceEnd);
        return *item.end;
    }
    RangeBytes& HeldRange(int item, std::uint32_t range) {
        return held_[(Item(item).firstRange + range) % held_.size()];
    }

    const RunPlan& plan_;  // the calling thread's
    const RunReport& report_;
    unsigned char* data_;  // ... and its buffer
    std::vector<ParallelItem> items_;
    std::vector<WorkerState> workers_;
    std::vector<RangeBytes> held_;  // to standard output: a ring of window ranges
};

std::uint64_t ParallelExtraction::Plan(const int* slots, int count) {
    const std::size_t items = static_cast<std::size_t>(count);
    items_.clear();
    items_.resize(items);
    // Names that meet in one output file or directory, or in one index
    // slot (which has one stream), go in slot order.
    std::vector<const char*> names(items);
    std::vector<int> after(items);
    for (std::size_t i = 0; i < items; ++i) names[i] = plan_.set->Slots()[slots[i]].name;
    OrderCollisions(names.data(), count, after.data());
    std::vector<char> waitedOn(items, 0);
    for (std::size_t i = 0; i < items; ++i) {
        if (after[i] >= 0) waitedOn[static_cast<std::size_t>(after[i])] = 1;
    }
    // Large resources of safe names that nothing collides with are cut
    // into ranges.
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < items; ++i) {
        ParallelItem& item = items_[i];
        item.slot = slots[i];
        item.after = after[i];
        item.firstRange = total;
        std::uint32_t rangeBytes = 0;
        const std::uint32_t ranges =
            after[i] >= 0 || waitedOn[i] ? 0 : RangesOf(plan_.set->Slots()[item.slot], plan_.mode, &rangeBytes);
        if (ranges == 0) {
            item.onTake = plan_.mode == MODE_STDOUT;
        } else {
            item.ranged.reset(new RangedResource);
            item.end.reset(new ResourceEnd);
            item.ranged->rangeBytes = rangeBytes;
            item.ranges = ranges;
        }
        total += item.ranges;
    }
    return total;
}

void ParallelExtraction::Run(int workers, std::uint32_t window) {
    held_.clear();
    held_.resize(plan_.mode == MODE_STDOUT ? window : 0);
    workers_.clear();
    workers_.resize(static_cast<std::size_t>(workers));
    for (WorkerState& w : workers_) {
        if (plan_.mode != MODE_STDOUT) w.buffer.reset(new unsigned char[COPY_BYTES]);
    }
    JobPlan jobs;
    jobs.jobCount = static_cast<int>(items_.size());
    jobs.workers = workers;
    jobs.window = window;
    RunJobs(jobs, *this);
    items_.clear();
    workers_.clear();
    held_.clear();
}

// In the worker of a ranged resource's last range.
void ParallelExtraction::FinishJob(int at, int) {
    ParallelItem& item = Item(at);
    if (item.ranged) item.outcome = item.ranged->End(plan_, *item.end);
}

RangeResult ParallelExtraction::RunRange(int at, std::uint32_t range, int worker) {
    ParallelItem& item = Item(at);
    if (item.onTake) return RangeResult::Done;
    WorkerState& w = workers_[static_cast<std::size_t>(worker)];
    if (item.ranged) {
        item.ranged->Work(plan_, item.slot, range, w.buffer.get(), plan_.mode == MODE_STDOUT ? &HeldRange(at, range) : nullptr,
                          *item.end);
        return RangeResult::Done;  // a fatal end is told by the take
    }
    if (StopRequested(plan_.stop)) {
        item.outcome = ResourceOutcome::Stopped;
        return RangeResult::Fatal;
    }
    item.outcome = ProcessResource(plan_, item.slot, w.buffer.get(), EndOf(item));
    const bool fatal = item.outcome == ResourceOutcome::EndRun || item.outcome == ResourceOutcome::Stopped;
    return fatal ? RangeResult::Fatal : RangeResult::Done;
}

// To standard output, in the calling thread: a range's bytes, in order, up
// to the resource's first failure.
bool ParallelExtraction::TakeRange(int at, std::uint32_t range) {
    ParallelItem& item = Item(at);
    if (!item.ranged || plan_.mode != MODE_STDOUT) return true;
    RangedResource& r = *item.ranged;
    if (StopRequested(plan_.stop)) {
        report_.summary->stopped = true;
        ended = 1;
        return false;
    }
    if (!r.used || r.cut) return true;
    const RangeBytes& held = HeldRange(at, range);
    if (held.got != 0 && !WriteStream(plan_.data, held.bytes.get(), held.got)) {
        ResourceEnd failed;
        failed.result = ResourceResult::OutputFailed;
        failed.error = LastError();
        failed.size = r.size;
        report_.observer->ResourceBegins(item.slot, plan_.set->Slots()[item.slot]);
        ReportResource(plan_, report_, item.slot, ResourceOutcome::EndRun, failed);
        ended = 1;
        return false;
    }
    if (held.got < r.Length(range)) r.cut = 1;
    return true;
}

bool ParallelExtraction::TakeJob(int at) {
    ParallelItem& item = Item(at);
    if (item.onTake && !StopRequested(plan_.stop)) {
        report_.observer->ResourceBegins(item.slot, plan_.set->Slots()[item.slot]);
        item.outcome = ProcessResource(plan_, item.slot, data_, EndOf(item));
    } else if (item.onTake) {
        item.outcome = ResourceOutcome::Stopped;
    } else if (item.outcome != ResourceOutcome::Stopped) {
        report_.observer->ResourceBegins(item.slot, plan_.set->Slots()[item.slot]);
    }
    ReportResource(plan_, report_, item.slot, item.outcome, EndOf(item));
    item.end.reset();
    if (item.outcome == ResourceOutcome::EndRun || item.outcome == ResourceOutcome::Stopped) {
        ended = 1;
        return false;
    }
    return true;
}

// The run's directories close on every worker at once, each its share.
void ParallelExtraction::NothingToStart(int worker) {
    if (plan_.tree) plan_.tree->Trim(worker, static_cast<int>(workers_.size()));
}

// After a stopped run, for a ranged resource that was begun but not ended:
// its temporary goes.
void ParallelExtraction::DropJob(int at) {
    ParallelItem& item = Item(at);
    if (item.ranged) item.ranged->Drop();
}

}  // namespace

int MayRunInParallel(const ExtractOptions& options, int count) {
    if (options.jobs < 2 || count < 1) return 0;
    return options.mode == MODE_EXTRACT || options.mode == MODE_TEST || options.mode == MODE_STDOUT;
}

int RunInParallel(const ExtractOptions& options, const RunPlan& plan, const RunReport& report, const int* slots,
                  int count, unsigned char* data) {
    // Opened once here, so that the workers only read.
    plan.set->OpenDataFiles();
    ParallelExtraction run(plan, report, data);
    const std::uint64_t total = run.Plan(slots, count);
    // A worker per job, but no more than there are ranges. To standard
    // output, two ranges held per worker keep them busy. Else what is held
    // is only ends, and a wide window lets workers go on past a large
    // resource that is not yet taken; its bound keeps the temporaries open
    // at once (one per worker, and one per ranged resource in the window)
    // within TEMPORARY_SLOTS.
    const int workers = total < static_cast<std::uint64_t>(options.jobs) ? static_cast<int>(total) : options.jobs;
    std::uint32_t window = static_cast<std::uint32_t>(workers) * (plan.mode == MODE_STDOUT ? 2 : 64);
    if (window > MAX_WINDOW) window = MAX_WINDOW;
    run.Run(workers, window);
    return !run.ended;
}

}  // namespace rux
