// rux-pack: packs every regular file below a directory into a resource
// file, one resource each, named by its path relative to the directory.
//
//   rux-pack [OPTIONS] OUT.rux DIR
//   rux-pack --patch-from BASE.rux [OPTIONS] PATCH.rux DIR   (or DIR PATCH.rux)
//
// Prints one line per resource as rux-extract does (kind, name, size). The
// packing itself is pack/pack.h's: the file is written beside OUT as a
// temporary that gets its name only when complete, and so is each loose
// copy. Exit status 0 only when everything was written.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "diff/patch.h"
#include "pack/pack.h"
#include "pack/tree.h"
#include "platform/console.h"
#include "platform/output_dir.h"
#include "programs/cli.h"
#include "programs/pack_options.h"
#include "programs/signals.h"
#include "resource/format.h"
#include "resource/set.h"
#include "common/print.h"
#include "programs/progress.h"

namespace rux {
namespace {

// Messages name paths from the tree, so control bytes in them are escaped.
int Fail(const std::string& message) { return Complain("rux-pack", message, 1); }

// Packs entries, printing a line for each resource (unless quiet) and
// keeping a progress line on standard error when asked for.
int Pack(const PackOptions& options, const std::vector<PackEntry>& entries, bool quiet, bool progressLine) {
    Progress progress;
    std::uint64_t total = 0;
    for (const PackEntry& entry : entries) total += entry.size;
    ProgressStart(progress, progressLine && IsTerminal(stderr) ? stderr : nullptr, total,
                  static_cast<unsigned>(entries.size()));
    PackCallbacks callbacks;
    callbacks.progress = [&progress](std::uint64_t bytes) { ProgressAdd(progress, bytes); };
    callbacks.packed = [&](const PackEntry& entry, const DirectoryRecord& record) {
        if (entry.size != record.size) ProgressResize(progress, entry.size, record.size);
        if (!quiet) {
            ProgressClear(progress);
            std::printf("%u ", static_cast<unsigned>(record.kind));
            PrintName(stdout, entry.name.c_str());
            std::printf(" %u\n", static_cast<unsigned>(record.size));
            if (progress.stream) FlushStream(stdout);
        }
        ProgressResourceDone(progress);
    };
    PackStats stats;
    std::string error;
    const int packed = PackEntries(options, entries, callbacks, &stats, &error);
    ProgressEnd(progress);
    if (!stats.notReused.empty() && !quiet) {
        FlushStream(stdout);
        std::fprintf(stderr, "rux-pack: %s\n", EscapedName(stats.notReused.c_str()).c_str());
    }
    return packed ? 0 : Fail(error);
}

// What a patch leaves as it was: the bases' resources that DIR lacks, and
// a mount of the patch over its bases that would overfill one index.
void TellPatch(const PackCommandLine& line, const PatchChoice& choice) {
    std::string bases;
    for (const std::string& base : line.patchFrom) bases += (bases.empty() ? "" : "+") + base;
    FlushStream(stdout);
    if (!choice.absent.empty()) {
        const std::string absent = AbsentText(line.patchFrom, line.options.dir, choice.absent.size());
        std::fprintf(stderr, "rux-pack: %s\n", EscapedName(absent.c_str()).c_str());
        if (!line.quiet) {
            for (const std::string& name : choice.absent) {
                std::fprintf(stderr, "rux-pack:   %s\n", EscapedName(name.c_str()).c_str());
            }
        }
    }
    if (choice.listed + choice.entries.size() > std::uint64_t(INDEX_SLOTS)) {
        std::fprintf(stderr, "rux-pack: warning: the patch and %s list %llu resources, more than one mount's index holds (%d)\n",
                     EscapedName(bases.c_str()).c_str(),
                     static_cast<unsigned long long>(choice.listed + choice.entries.size()), INDEX_SLOTS);
    }
}

int Run(int argc, char** argv) {
    PackCommandLine line;
    const int parsed = ParsePackCommandLine(argc, argv, &line);
    const PackOptions& options = line.options;
    if (parsed >= 0) return parsed;

    std::string error;
    if (!CheckPackPaths(options, &error)) return Fail(error);
    std::vector<PackEntry> entries;
    std::vector<PackWarning> warnings;
    if (!WalkPackTree(options, &entries, &warnings, &error)) return Fail(error);
    for (const PackWarning& warning : warnings) {
        std::fprintf(stderr, "rux-pack: warning: %s: %s\n",
                     EscapedName(warning.path.c_str()).c_str(), warning.what.c_str());
    }
    std::size_t names = 0;
    const std::vector<std::string> refusals = PackRefusals(options, entries, &names);
    for (const std::string& refusal : refusals) Fail(refusal);
    // However many names were refused, the way on closes the list.
    if (names > 0) {
        std::fprintf(stderr, "rux-pack: %zu name%s refused, nothing written; leave %s out with -x GLOB\n", names,
                     names == 1 ? "" : "s", names == 1 ? "it" : "them");
    }
    if (!refusals.empty()) return 1;

    if (!line.patchFrom.empty()) {
        // The patch would replace the file it is compared with.
        std::error_code ec;
        for (const std::string& base : line.patchFrom) {
            if (std::filesystem::equivalent(NativePath(base), NativePath(options.out), ec)) {
                return Fail(options.out + " is a base of the patch; the patch needs a name of its own");
            }
        }
        PatchChoice choice;
        if (!ChoosePatchEntries(line.patchFrom, options, entries, &choice, &error)) return Fail(error);
        TellPatch(line, choice);
        entries = std::move(choice.entries);
    }
    RemoveTemporariesOnFatalSignals();
    return Pack(options, entries, line.quiet, line.progress);
}

}  // namespace
}  // namespace rux

int main(int argc, char** argv) { return rux::RunProgram("rux-pack", rux::Run, argc, argv, 1); }
