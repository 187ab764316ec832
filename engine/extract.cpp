// The whole run of rux-extract, callable in-process (the fuzz target runs
// it once per input): the mount, the output directory, the selection, and
// the resources handed to the sequential or the parallel path.
#include "engine/extract.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/glob.h"
#include "engine/run.h"
#include "platform/console.h"
#include "platform/disk_file.h"
#include "resource/ascii.h"
#include "resource/blocks.h"
#include "resource/index.h"
#include "resource/set.h"

namespace rux {

namespace {

// How often progress is told while data is read.
constexpr std::int64_t TELL_EVERY_NS = 100 * 1000 * 1000;

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Copies text into buffer; 0 if it does not fit.
int CopyPath(char (&buffer)[PATH_BYTES], const char* text) {
    const std::size_t length = std::strlen(text);
    if (length >= PATH_BYTES) return 0;
    std::memcpy(buffer, text, length + 1);
    return 1;
}

// The default output directory: "__" and the resource file's name without
// anything up to its last '\', then its last '/'.
std::string DefaultOutputDirectory(const char* resourceFile) {
    const char* base = resourceFile;
    if (const char* cut = std::strrchr(base, '\\')) base = cut + 1;
    if (const char* cut = std::strrchr(base, '/')) base = cut + 1;
    return std::string("__") + base;
}

// 1 if the run takes the resource of this name: no include is given or one
// matches, and no exclude matches. Sets found[i] when include i matches,
// excluded or not (as tar counts a name found).
int IsSelected(const ExtractOptions& options, const char* name, std::vector<char>& found) {
    int included = options.includeCount == 0;
    for (int i = 0; i < options.includeCount; ++i) {
        if (MatchesNameGlob(options.includes[i], name)) found[static_cast<std::size_t>(i)] = included = 1;
    }
    if (!included) return 0;
    for (int i = 0; i < options.excludeCount; ++i) {
        if (MatchesNameGlob(options.excludes[i], name)) return 0;
    }
    return 1;
}

// The slots the run takes, in slot order, into slots (never one that an
// earlier file's resource of the same identity hides); returns their number
// and adds their listed sizes to *listedBytes. found[i] tells whether
// include i matched any name.
int SelectSlots(const ResourceSet& set, const ExtractOptions& options, int* slots, std::uint64_t* listedBytes,
                std::vector<char>& found) {
    const ResourceEntry* entries = set.Slots();
    found.assign(static_cast<std::size_t>(options.includeCount), 0);
    int count = 0;
    for (int slot = 0; slot < INDEX_SLOTS; ++slot) {
        const ResourceEntry& entry = entries[slot];
        if (entry.kind == 0 || set.Hidden(slot) || (options.onlySlots && !options.onlySlots[slot])) continue;
        if (!IsSelected(options, entry.name, found)) continue;
        slots[count++] = slot;
        *listedBytes += entry.size;
    }
    return count;
}

// The includes that matched no resource.
std::vector<int> NotFound(const ExtractOptions& options, const std::vector<char>& found) {
    std::vector<int> missing;
    for (int i = 0; i < options.includeCount; ++i) {
        if (!found[static_cast<std::size_t>(i)]) missing.push_back(i);
    }
    return missing;
}

}  // namespace

void RunProgress::Start(ExtractObserver* observer, std::uint64_t totalBytes, unsigned totalResources) {
    observer_ = observer;
    done_.store(0);
    total_.store(totalBytes);
    doneResources_.store(0);
    totalResources_ = totalResources;
    if (observer_) Tell(true);
    // The first bytes are told as soon as they come.
    toldAt_.store(0);
}

void RunProgress::Tell(bool force) {
    if (!observer_) return;
    const std::int64_t now = Now();
    if (!force && now - toldAt_.load(std::memory_order_relaxed) < TELL_EVERY_NS) return;
    std::unique_lock<std::mutex> hold(telling_, std::try_to_lock);
    if (!hold.owns_lock()) {
        if (!force) return;
        hold.lock();
    }
    toldAt_.store(now, std::memory_order_relaxed);
    ExtractProgress progress;
    progress.doneBytes = done_.load(std::memory_order_relaxed);
    progress.totalBytes = total_.load(std::memory_order_relaxed);
    progress.doneResources = doneResources_.load(std::memory_order_relaxed);
    progress.totalResources = totalResources_;
    observer_->Progress(progress);
}

ExtractSummary ExtractAll(const ExtractOptions& options, const char* resourceFile, const char* outputDirectory,
                          ExtractObserver& observer) {
    // A set of the run's own: whatever the process mounted elsewhere is
    // neither seen nor touched.
    ResourceSet set;
    const MountResult mounted = set.Mount(resourceFile);
    if (!mounted.ok()) {
        ExtractSummary summary;
        summary.failure = RunFailure::CannotMount;
        summary.mount = mounted;
        summary.path = resourceFile;
        return summary;
    }
    return ExtractSet(options, set, resourceFile, outputDirectory, observer);
}

ExtractSummary ExtractSet(const ExtractOptions& options, const ResourceSet& set, const char* resourceFile,
                          const char* outputDirectory, ExtractObserver& observer) {
    ExtractSummary summary;
    char outdir[PATH_BYTES];
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[COPY_BYTES]);
    unsigned char* data = buffer.get();
    std::vector<int> slots(INDEX_SLOTS);
    OutputTree tree;
    const int mode = options.mode;

    RunPlan plan;
    plan.mode = mode;
    plan.set = &set;
    plan.stop = options.stop;
    if (mode == MODE_EXTRACT) {
        // Given or not, one limit on its length.
        if (!CopyPath(outdir, outputDirectory ? outputDirectory : DefaultOutputDirectory(resourceFile).c_str())) {
            summary.failure = RunFailure::OutputPathTooLong;
            summary.path = outputDirectory ? outputDirectory : resourceFile;
            return summary;
        }
        std::size_t outdirLength = std::strlen(outdir);
        while (outdirLength > 0 && IsSeparator(outdir[outdirLength - 1])) outdir[--outdirLength] = '\0';
        // An empty directory would put every path at the file system's root.
        if (outdirLength == 0) {
            summary.failure = RunFailure::NoOutputDirectory;
            return summary;
        }
        // One that cannot be made or opened ends the run before any
        // resource, with the reason: the making's, unless the name was
        // there already.
        const int made = MakeDirectory(outdir);
        const int makeError = made ? 0 : LastError();
        if (!tree.Open(outdir, makeError == AlreadyExistsError() ? 0 : makeError)) {
            summary.failure = RunFailure::CannotMakeOutputDirectory;
            summary.path = outdir;
            summary.systemError = makeError == AlreadyExistsError() || makeError == 0 ? LastError() : makeError;
            return summary;
        }
        plan.tree = &tree;
        plan.outdir = outdir;
        plan.noClobber = options.noClobber;
        plan.outdirLength = outdirLength;
    }
    if (mode == MODE_STDOUT) {
        SetBinaryMode(options.data);
        plan.data = options.data;
    }

    std::uint64_t listedBytes = 0;
    std::vector<char> found;
    const int count = SelectSlots(set, options, slots.data(), &listedBytes, found);
    summary.selected = static_cast<unsigned>(count);
    observer.RunBegins(summary.selected, listedBytes);
    RunProgress progress;
    progress.Start(options.progress && mode != MODE_LIST ? &observer : nullptr, listedBytes, summary.selected);
    plan.progress = &progress;
    RunReport report;
    report.observer = &observer;
    report.summary = &summary;
    report.progress = &progress;

    const int parallel = MayRunInParallel(options, count);
    int through = 1;
    if (parallel) through = RunInParallel(options, plan, report, slots.data(), count, data);
    for (int i = parallel ? count : 0; through && i < count; ++i) {
        if (StopRequested(plan.stop)) {
            summary.stopped = true;
            break;
        }
        ResourceEnd end;
        observer.ResourceBegins(slots[i], set.Slots()[slots[i]]);
        const ResourceOutcome outcome = ProcessResource(plan, slots[i], data, end);
        ReportResource(plan, report, slots[i], outcome, end);
        if (outcome == ResourceOutcome::EndRun || outcome == ResourceOutcome::Stopped) break;
    }
    progress.Tell(true);
    CacheFree();
    summary.notFound = NotFound(options, found);
    summary.status = summary.failed || summary.stopped || !summary.notFound.empty() ? 1 : 0;
    return summary;
}

}  // namespace rux
