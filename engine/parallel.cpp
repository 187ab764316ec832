// The parallel run: the selected resources worked on by worker threads,
// whole, or cut into ranges that run at once, and told by the calling
// thread in slot order, so that what it prints and writes to standard
// output is exactly what the sequential run prints and writes.
//
// Extracting and testing, the resources are worked on in the order of
// their bytes in the file rather than in slot order (the index's, which
// scatters them), so that the packed bytes of small resources next to each
// other are read once for them all, with one read of up to
// READ_AHEAD_BYTES that the workers share (resource/window.h). Their ends
// wait in the items until every one before them in slot order is told;
// a run that a resource ends early has those before it that were not yet
// worked on done by the calling thread first, as the sequential run does.
#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "engine/collisions.h"
#include "engine/jobs.h"
#include "engine/ranged.h"
#include "engine/run.h"
#include "platform/console.h"
#include "platform/output_dir.h"
#include "resource/window.h"

namespace rux {

namespace {

// Ranges started and not yet taken, at most.
constexpr std::uint32_t MAX_WINDOW = 256;
static_assert(MAX_WINDOW <= MAX_JOB_WINDOW, "a window the scheduler takes");
static_assert(MAX_WORKERS + MAX_WINDOW / MIN_RANGES + 1 <= TEMPORARY_SLOTS, "room for every live temporary");
// The bytes read at once for small resources next to each other, at
// most; a resource read so is at most a quarter of that, and no more than
// AHEAD_GAP_BYTES lie unread between two of them.
constexpr std::uint64_t READ_AHEAD_BYTES = 1u << 20;
constexpr std::uint64_t AHEAD_RESOURCE_BYTES = READ_AHEAD_BYTES / 4;
constexpr std::uint64_t AHEAD_GAP_BYTES = 16 * 1024;

// The packed bytes of consecutive items, read by the first worker to need
// them and lent to each worker of one of them; freed when the last ends.
struct SharedWindow {
    int fileSlot = -1;
    std::uint64_t start = 0, end = 0;
    std::mutex lock;  // held while they are read
    bool read = false;
    std::unique_ptr<std::uint8_t[]> bytes;  // null until read, or when no room was had
    std::uint32_t got = 0;
    std::atomic<int> pending{0};  // its items not yet ended
};

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
    // Where its bytes lie in the file (fileSlot -1: nowhere known), and the
    // shared window they are read with (-1: none).
    int fileSlot = -1;
    std::uint64_t start = 0, end = 0;
    int window = -1;
    bool colliding = false;  // waits for another item, or another for it
    bool finished = false;   // FinishJob came: outcome and ending are its own
    bool taken = false;      // TakeJob came
    bool begun = false;      // its line was begun when it was read on the take
    ResourceEnd ending;
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

    // Cuts the resources in slots into their items, in the order of work
    // for lanes workers; returns the ranges of them all.
    std::uint64_t Plan(const int* slots, int count, int lanes);
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
    void DropJob(int item) override;

private:
    // Tells the items taken, in slot order, up to the first not taken;
    // false when one ended the run.
    bool TellTaken();
    // Tells one item's end: false when it ended the run.
    bool Tell(ParallelItem& item);
    // After the workers: the items not yet told, in slot order; those not
    // worked on are now, on the calling thread.
    void TellRest();
    // Groups the small items next to each other among the first count of
    // items in that order into shared windows.
    void GroupWindows(std::vector<ParallelItem>& items, const std::vector<int>& order, std::size_t count);
    // Lends the calling thread the window's bytes, read now if they are not
    // yet; nothing while another worker reads them (it reads its own).
    void Lend(SharedWindow& window);

    ParallelItem& Item(int item) { return items_[static_cast<std::size_t>(item)]; }
    const ParallelItem& Item(int item) const { return items_[static_cast<std::size_t>(item)]; }
    RangeBytes& HeldRange(int item, std::uint32_t range) {
        return held_[(Item(item).firstRange + range) % held_.size()];
    }

    const RunPlan& plan_;  // the calling thread's
    const RunReport& report_;
    unsigned char* data_;  // ... and its buffer
    std::vector<ParallelItem> items_;
    std::vector<WorkerState> workers_;
    std::vector<RangeBytes> held_;  // to standard output: a ring of window ranges
    std::vector<std::unique_ptr<SharedWindow>> windows_;
    std::vector<int> told_;         // the items in slot order
    std::size_t nextTold_ = 0;      // ... the first not yet told
};

std::uint64_t ParallelExtraction::Plan(const int* slots, int count, int lanes) {
    const std::size_t items = static_cast<std::size_t>(count);
    // Names that meet in one output file or directory, or in one index
    // slot (which has one stream), go in slot order.
    std::vector<const char*> names(items);
    std::vector<int> after(items);
    for (std::size_t i = 0; i < items; ++i) names[i] = plan_.set->Slots()[slots[i]].name;
    OrderCollisions(names.data(), count, after.data());
    std::vector<ParallelItem> bySlot(items);
    for (std::size_t i = 0; i < items; ++i) {
        ParallelItem& item = bySlot[i];
        item.slot = slots[i];
        item.after = after[i];
        if (after[i] >= 0) item.colliding = bySlot[static_cast<std::size_t>(after[i])].colliding = true;
        if (!PackedExtent(*plan_.set, item.slot, &item.fileSlot, &item.start, &item.end)) item.fileSlot = -1;
    }
    // Large resources of safe names that nothing collides with are cut
    // into ranges.
    for (ParallelItem& item : bySlot) {
        std::uint32_t rangeBytes = 0;
        const std::uint32_t ranges =
            item.colliding ? 0 : RangesOf(plan_.set->Slots()[item.slot], plan_.mode, &rangeBytes);
        if (ranges == 0) {
            item.onTake = plan_.mode == MODE_STDOUT;
        } else {
            item.ranged.reset(new RangedResource);
            item.ranged->rangeBytes = rangeBytes;
            item.ranges = ranges;
        }
    }
    // The order of work: slot order to standard output; else the others in
    // the order of their bytes (loose ones first), then the colliding ones
    // in slot order, each after the one it waits for.
    std::vector<int> work(items);
    for (std::size_t i = 0; i < items; ++i) work[i] = static_cast<int>(i);
    std::size_t ordered = 0;  // those in the order of their bytes
    if (plan_.mode != MODE_STDOUT) {
        std::stable_sort(work.begin(), work.end(), [&](int a, int b) {
            const ParallelItem& x = bySlot[static_cast<std::size_t>(a)];
            const ParallelItem& y = bySlot[static_cast<std::size_t>(b)];
            if (x.colliding != y.colliding) return y.colliding;
            if (x.colliding) return false;
            if (x.fileSlot != y.fileSlot) return x.fileSlot < y.fileSlot;
            return x.start < y.start;
        });
        while (ordered < items && !bySlot[static_cast<std::size_t>(work[ordered])].colliding) ++ordered;
    }
    GroupWindows(bySlot, work, ordered);
    // Extracting, those are cut into one lane per job, and the lanes are
    // worked on side by side: each worker mostly in a part of the tree of
    // its own, where it makes the directories and files, rather than all
    // of them in one directory at once.
    if (lanes > 1 && plan_.mode == MODE_EXTRACT && ordered > static_cast<std::size_t>(lanes)) {
        std::vector<int> mixed;
        mixed.reserve(items);
        const std::size_t lane = (ordered + static_cast<std::size_t>(lanes) - 1) / static_cast<std::size_t>(lanes);
        for (std::size_t step = 0; step < lane; ++step) {
            for (std::size_t at = step; at < ordered; at += lane) mixed.push_back(work[at]);
        }
        std::copy(mixed.begin(), mixed.end(), work.begin());
    }
    std::vector<int> itemOf(items);
    for (std::size_t k = 0; k < items; ++k) itemOf[static_cast<std::size_t>(work[k])] = static_cast<int>(k);
    items_.clear();
    items_.resize(items);
    told_.assign(itemOf.begin(), itemOf.end());
    nextTold_ = 0;
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < items; ++k) {
        ParallelItem& item = items_[k];
        item = std::move(bySlot[static_cast<std::size_t>(work[k])]);
        if (item.after >= 0) item.after = itemOf[static_cast<std::size_t>(item.after)];
        item.firstRange = total;
        total += item.ranges;
    }
    return total;
}

void ParallelExtraction::GroupWindows(std::vector<ParallelItem>& items, const std::vector<int>& order,
                                      std::size_t count) {
    windows_.clear();
    const auto small = [&](const ParallelItem& item) {
        return !item.ranged && !item.onTake && !item.colliding && item.fileSlot >= 0 &&
               item.end - item.start <= AHEAD_RESOURCE_BYTES;
    };
    SharedWindow* open = nullptr;  // that of the item before, while more may join it
    for (std::size_t k = 0; k < count; ++k) {
        ParallelItem& item = items[static_cast<std::size_t>(order[k])];
        if (!small(item)) {
            open = nullptr;
            continue;
        }
        if (open && (item.fileSlot != open->fileSlot || item.start < open->end ||
                     item.start - open->end > AHEAD_GAP_BYTES || item.end - open->start > READ_AHEAD_BYTES)) {
            open = nullptr;
        }
        if (!open) {
            windows_.emplace_back(new SharedWindow);
            open = windows_.back().get();
            open->fileSlot = item.fileSlot;
            open->start = item.start;
        }
        open->end = item.end;
        ++open->pending;
        item.window = static_cast<int>(windows_.size()) - 1;
    }
}

void ParallelExtraction::Lend(SharedWindow& window) {
    std::unique_lock<std::mutex> hold(window.lock, std::try_to_lock);
    if (!hold.owns_lock()) return;
    if (!window.read) {
        window.read = true;
        const std::uint32_t length = static_cast<std::uint32_t>(window.end - window.start);
        window.bytes.reset(new (std::nothrow) std::uint8_t[length ? length : 1]);
        if (window.bytes) window.got = ReadFileBytes(*plan_.set, window.fileSlot, window.start, window.bytes.get(), length);
    }
    if (window.bytes) UseWindow(*plan_.set, window.fileSlot, window.start, window.bytes.get(), window.got);
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
    windows_.clear();
    workers_.clear();
    held_.clear();
    if (!ended) TellRest();
    items_.clear();
}

// In the worker of a ranged resource's last range.
void ParallelExtraction::FinishJob(int at, int) {
    ParallelItem& item = Item(at);
    if (item.ranged) item.outcome = item.ranged->End(plan_, item.ending);
    item.finished = true;
}

RangeResult ParallelExtraction::RunRange(int at, std::uint32_t range, int worker) {
    ParallelItem& item = Item(at);
    if (item.onTake) return RangeResult::Done;
    WorkerState& w = workers_[static_cast<std::size_t>(worker)];
    if (item.ranged) {
        item.ranged->Work(plan_, item.slot, range, w.buffer.get(), plan_.mode == MODE_STDOUT ? &HeldRange(at, range) : nullptr,
                          item.ending);
        return RangeResult::Done;  // a fatal end is told by the take
    }
    if (StopRequested(plan_.stop)) {
        item.outcome = ResourceOutcome::Stopped;
        return RangeResult::Fatal;
    }
    SharedWindow* window = item.window >= 0 ? windows_[static_cast<std::size_t>(item.window)].get() : nullptr;
    if (window) Lend(*window);
    item.outcome = ProcessResource(plan_, item.slot, w.buffer.get(), item.ending);
    if (window) {
        WindowOff();
        if (window->pending.fetch_sub(1) == 1) window->bytes.reset();
    }
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
        item.begun = true;
        item.outcome = ProcessResource(plan_, item.slot, data_, item.ending);
    } else if (item.onTake) {
        item.outcome = ResourceOutcome::Stopped;
    }
    item.taken = true;
    return TellTaken();
}

bool ParallelExtraction::TellTaken() {
    while (nextTold_ < told_.size()) {
        ParallelItem& item = Item(told_[nextTold_]);
        if (!item.taken) return true;
        ++nextTold_;
        if (!Tell(item)) return false;
    }
    return true;
}

bool ParallelExtraction::Tell(ParallelItem& item) {
    if (!item.begun && item.outcome != ResourceOutcome::Stopped) {
        report_.observer->ResourceBegins(item.slot, plan_.set->Slots()[item.slot]);
    }
    ReportResource(plan_, report_, item.slot, item.outcome, item.ending);
    item.ending = ResourceEnd();
    if (item.outcome == ResourceOutcome::EndRun || item.outcome == ResourceOutcome::Stopped) {
        ended = 1;
        return false;
    }
    return true;
}

// The run ended early, at a resource that ended it: those before it in
// slot order that no worker finished (never begun, or a ranged one begun
// and dropped) are read whole now, as the sequential run reads them.
void ParallelExtraction::TellRest() {
    while (nextTold_ < told_.size()) {
        ParallelItem& item = Item(told_[nextTold_++]);
        if (!item.taken && !item.finished) {
            item.ending = ResourceEnd();
            if (StopRequested(plan_.stop)) {
                item.outcome = ResourceOutcome::Stopped;
            } else {
                report_.observer->ResourceBegins(item.slot, plan_.set->Slots()[item.slot]);
                item.begun = true;
                item.outcome = ProcessResource(plan_, item.slot, data_, item.ending);
            }
        }
        if (!Tell(item)) return;
    }
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
    const std::uint64_t total = run.Plan(slots, count, options.jobs);
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
