// The whole run of rux-extract, callable in-process (the fuzz target runs
// it once per input): the mount, the output directory, the selection, and
// the resources handed to the sequential or the parallel path.
#include "engine/extract.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/glob.h"
#include "engine/print.h"
#include "engine/reason.h"
#include "engine/run.h"
#include "platform/console.h"
#include "platform/disk_file.h"
#include "resource/ascii.h"
#include "resource/blocks.h"
#include "resource/index.h"
#include "resource/set.h"

namespace rux {

namespace {

// Every way out flushes the messages.
int Finish(std::FILE* out, int status) {
    FlushStream(out);
    return status;
}

int Finish(std::FILE* out, std::FILE* err, int status) {
    std::fflush(err);
    return Finish(out, status);
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

// Why the resource file could not be mounted: the system's words alone
// where the system failed it, as other tools say them after the path;
// else the library's reason.
std::string MountFailureReason(const MountResult& mounted) {
    if (mounted.error == MountError::CANNOT_OPEN && mounted.systemError != 0) return ErrorText(mounted.systemError);
    if (mounted.error == MountError::PATH_TOO_LONG) return ErrorText(PathTooLongError());
    return MountErrorText(mounted);
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

}  // namespace

int PrintSyntax(std::FILE* out, std::FILE* err, const char* program) {
    std::fprintf(out, "Syntax: %s file.rux [outdir]\n", program);
    FlushStream(out);
    std::fputs("Try 'rux-extract --help' for more information.\n", err);
    return Finish(out, err, 1);
}

namespace {

// Names each include that matched no resource on err, as tar does; 1 if
// there was one.
int ReportNotFound(const ExtractOptions& options, const std::vector<char>& found, std::FILE* err) {
    int missing = 0;
    for (int i = 0; i < options.includeCount; ++i) {
        if (found[static_cast<std::size_t>(i)]) continue;
        std::fprintf(err, "rux-extract: %s: Not found in resource file\n", EscapedName(options.includes[i]).c_str());
        missing = 1;
    }
    return missing;
}

}  // namespace

int ExtractAll(const char* program, const ExtractOptions& options, const char* resourceFile,
               const char* outputDirectory, std::FILE* out, std::FILE* err) {
    // With the data (or a JSON document) on out, every message goes to err.
    const int json = options.json && (options.mode == MODE_LIST || options.mode == MODE_TEST);
    std::FILE* messages = options.mode == MODE_STDOUT || json ? err : out;

    // A set of the run's own: whatever the process mounted elsewhere is
    // neither seen nor touched.
    ResourceSet set;
    const MountResult mounted = set.Mount(resourceFile);
    if (!mounted.ok()) {
        std::fprintf(messages, "Could not open resource file: %s\n", EscapedName(resourceFile).c_str());
        std::fputs(ReasonLine(RUN_PROGRAM, resourceFile, MountFailureReason(mounted)).c_str(), err);
        return Finish(out, err, 1);
    }
    return ExtractSet(program, options, set, resourceFile, outputDirectory, out, err);
}

int ExtractSet(const char* program, const ExtractOptions& options, const ResourceSet& set,
               const char* resourceFile, const char* outputDirectory, std::FILE* out, std::FILE* err) {
    char outdir[PATH_BYTES];
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[COPY_BYTES]);
    unsigned char* data = buffer.get();
    std::vector<int> slots(INDEX_SLOTS);
    OutputTree tree;
    const int mode = options.mode;
    const int json = options.json && (mode == MODE_LIST || mode == MODE_TEST);

    RunPlan plan;
    plan.mode = mode;
    plan.set = &set;
    plan.quiet = options.quiet;
    ListingTotals totals;
    plan.json = json;
    plan.verbose = options.verbose && mode == MODE_LIST && !json;
    if (plan.json || plan.verbose) plan.totals = &totals;
    if (mode == MODE_EXTRACT) {
        // Given or not, one limit on its length.
        if (!CopyPath(outdir, outputDirectory ? outputDirectory : DefaultOutputDirectory(resourceFile).c_str())) {
            const char* named = outputDirectory ? outputDirectory : resourceFile;
            std::fputs(CannotLine(Failure::Write, named).c_str(), out);
            std::fputs(ReasonLine(RUN_PROGRAM, named, ErrorText(PathTooLongError())).c_str(), err);
            return Finish(out, err, 1);
        }
        std::size_t outdirLength = std::strlen(outdir);
        while (outdirLength > 0 && IsSeparator(outdir[outdirLength - 1])) outdir[--outdirLength] = '\0';
        // An empty directory would put every path at the file system's root.
        if (outdirLength == 0) return PrintSyntax(out, err, program);
        // When it cannot be opened, each output file fails to begin, with
        // the reason: the making's, unless the name was there already.
        const int made = MakeDirectory(outdir);
        const int makeError = made ? 0 : LastError();
        tree.Open(outdir, makeError == AlreadyExistsError() ? 0 : makeError);
        plan.tree = &tree;
        plan.outdir = outdir;
        plan.noClobber = options.noClobber;
        plan.outdirLength = outdirLength;
    }
    if (mode == MODE_STDOUT) {
        SetBinaryMode(out);
        plan.data = out;
    }

    std::uint64_t listedBytes = 0;
    std::vector<char> found;
    const int count = SelectSlots(set, options, slots.data(), &listedBytes, found);
    Progress progress;
    const bool showProgress = options.progress && mode != MODE_LIST && IsTerminal(err);
    ProgressStart(progress, showProgress ? err : nullptr, listedBytes, static_cast<unsigned>(count));
    plan.progress = &progress;

    if (plan.json) std::fputs(JsonStart(resourceFile).c_str(), out);
    if (plan.verbose) std::fputs(VerboseHeading().c_str(), out);
    unsigned failed = 0;
    const int parallel = MayRunInParallel(options, count);
    if (parallel && !RunInParallel(options, plan, slots.data(), count, data, out, err, progress, &failed)) {
        ProgressEnd(progress);
        ReportNotFound(options, found, err);
        return Finish(out, err, 1);
    }
    for (int i = parallel ? count : 0; i < count; ++i) {
        ResourceReport report;
        const ResourceOutcome outcome = ProcessResource(plan, slots[i], data, report);
        PrintResource(plan, slots[i], outcome, report, out, err, progress);
        if (outcome == ResourceOutcome::EndRun) {
            ProgressEnd(progress);
            ReportNotFound(options, found, err);
            return Finish(out, err, 1);
        }
        if (outcome == ResourceOutcome::Failed) ++failed;
        ProgressResourceDone(progress);
    }
    ProgressEnd(progress);

    if (plan.json) {
        std::fputs(JsonEnd(totals, mode == MODE_TEST).c_str(), out);
    } else if (plan.verbose) {
        std::fputs(VerboseTotals(totals).c_str(), out);
    } else if (mode == MODE_TEST) {
        std::fprintf(out, "%u resources read, %u failed\n", static_cast<unsigned>(count) - failed, failed);
    }
    CacheFree();
    // Flushed first: the names come after the run's lines, as tar's do.
    FlushStream(out);
    const int missing = ReportNotFound(options, found, err);
    return Finish(out, err, failed || missing ? 1 : 0);
}

}  // namespace rux
