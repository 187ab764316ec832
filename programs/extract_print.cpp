#include "programs/extract_print.h"

#include "common/print.h"
#include "common/reason.h"
#include "platform/console.h"
#include "platform/disk_file.h"
#include "programs/cli.h"

namespace rux {

namespace {

// How the reason lines on the error stream name the tool.
constexpr const char* PROGRAM = "rux-extract";

// Every way out flushes the messages.
int Finish(std::FILE* out, std::FILE* err, int status) {
    std::fflush(err);
    FlushStream(out);
    return status;
}

// Why the resource file could not be mounted: the system's words alone
// where the system failed it, as other tools say them after the path;
// else the library's reason.
std::string MountFailureReason(const MountResult& mounted) {
    if (mounted.error == MountError::CANNOT_OPEN && mounted.systemError != 0) return ErrorText(mounted.systemError);
    if (mounted.error == MountError::PATH_TOO_LONG) return ErrorText(PathTooLongError());
    return MountErrorText(mounted);
}

// "Cannot read WHAT\n" or "Cannot write WHAT\n", WHAT escaped.
std::string CannotLine(const char* verb, const std::string& what) {
    return std::string("Cannot ") + verb + " " + EscapedName(what.c_str()) + '\n';
}

}  // namespace

int PrintSyntax(std::FILE* out, std::FILE* err, const char* program) {
    std::fprintf(out, "Syntax: %s file.rux [outdir]\n", program);
    FlushStream(out);
    PrintTryHelp(err, "rux-extract");
    return Finish(out, err, 1);
}

ExtractPrinter::ExtractPrinter(const ExtractOptions& options, const char* resourceFile, std::FILE* out,
                               std::FILE* err)
    : options_(options), resourceFile_(resourceFile), out_(out), err_(err) {
    const int mode = options.mode;
    json_ = options.json && (mode == MODE_LIST || mode == MODE_TEST);
    verbose_ = options.verbose && mode == MODE_LIST && !json_;
    messages_ = mode == MODE_STDOUT || json_ ? err : out;
    showProgress_ = options.progress && mode != MODE_LIST && IsTerminal(err);
}

void ExtractPrinter::RunBegins(unsigned selected, std::uint64_t listedBytes) {
    ProgressStart(progress_, showProgress_ ? err_ : nullptr, listedBytes, selected);
    progress_.shared = &drawing_;
    if (json_) std::fputs(JsonStart(resourceFile_).c_str(), out_);
    if (verbose_) std::fputs(VerboseHeading().c_str(), out_);
}

void ExtractPrinter::Progress(const ExtractProgress& p) {
    ProgressSet(progress_, p.doneBytes, p.totalBytes, p.doneResources, p.totalResources);
}

void ExtractPrinter::ResourceEnds(const ResourceEnd& end) {
    const ResourceEntry& entry = *end.entry;
    const int mode = options_.mode;
    std::string out, err;
    std::string& messages = mode == MODE_STDOUT ? err : out;
    if (!options_.quiet && mode != MODE_STDOUT) {
        out += verbose_ ? VerboseLine(entry, end.size)
                        : std::to_string(entry.kind) + " " + EscapedName(entry.name) + " " + std::to_string(end.size) + "\n";
        // What extraction would do with the name, on the same line.
        if (!end.refused.empty()) out.insert(out.size() - 1, " (would be refused: " + end.refused + ")");
    }
    switch (end.result) {
        case ResourceResult::Done: break;
        case ResourceResult::Kept:
            if (!options_.quiet) out += "Kept existing " + EscapedName(end.path.c_str()) + "\n";
            break;
        case ResourceResult::RefusedName: messages += "Refused unsafe name " + EscapedName(entry.name) + "\n"; break;
        case ResourceResult::RefusedLink: out += "Refused link " + EscapedName(end.path.c_str()) + "\n"; break;
        case ResourceResult::ReadFailed:
            messages += CannotLine("read", entry.name);
            err += ReasonLine(PROGRAM, entry.name, end.reason);
            break;
        case ResourceResult::WriteFailed:
            out += CannotLine("write", end.path);
            err += ReasonLine(PROGRAM, end.path, SystemReason(end.error));
            break;
        case ResourceResult::OutputFailed:
            // The reason follows when standard output is closed.
            messages += "Cannot write standard output\n";
            break;
    }
    const bool failed = end.Failed();
    if (json_) {
        out = JsonResource(end.slot, entry, end.size, totals_.resources == 0, mode == MODE_TEST,
                           failed ? end.reason : "", end.refused);
    }
    if (json_ || verbose_) AddToTotals(&totals_, entry, end.size, failed);
    if (out.empty() && err.empty()) return;
    const ProgressHold hold(progress_);
    ProgressClear(progress_);
    // A failure shows when standard output is closed.
    WriteStream(out_, out.data(), out.size());
    std::fwrite(err.data(), 1, err.size(), err_);
    if (!progress_.stream) return;
    FlushStream(out_);
    ProgressDraw(progress_);
}

int ExtractPrinter::Finish(const ExtractSummary& summary, const char* program) {
    switch (summary.failure) {
        case RunFailure::None: break;
        case RunFailure::CannotMount:
            std::fprintf(messages_, "Could not open resource file: %s\n", EscapedName(summary.path.c_str()).c_str());
            std::fputs(ReasonLine(PROGRAM, summary.path, MountFailureReason(summary.mount)).c_str(), err_);
            return rux::Finish(out_, err_, 1);
        case RunFailure::OutputPathTooLong:
            std::fputs(CannotLine("write", summary.path).c_str(), out_);
            std::fputs(ReasonLine(PROGRAM, summary.path, ErrorText(PathTooLongError())).c_str(), err_);
            return rux::Finish(out_, err_, 1);
        case RunFailure::NoOutputDirectory: return PrintSyntax(out_, err_, program);
        case RunFailure::CannotMakeOutputDirectory:
            std::fputs(ReasonLine(PROGRAM, summary.path,
                                  "cannot make the output directory: " + ErrorText(summary.systemError))
                           .c_str(),
                       err_);
            return rux::Finish(out_, err_, 1);
    }
    ProgressEnd(progress_);
    progress_.shared = nullptr;
    const bool through = !summary.ended && !summary.stopped;
    if (through && json_) {
        std::fputs(JsonEnd(totals_, options_.mode == MODE_TEST).c_str(), out_);
    } else if (through && verbose_) {
        std::fputs(VerboseTotals(totals_).c_str(), out_);
    } else if (through && options_.mode == MODE_TEST) {
        std::fprintf(out_, "%u resources read, %u failed\n", summary.selected - summary.failed, summary.failed);
    }
    // Flushed first: the names come after the run's lines, as tar's do.
    if (through) FlushStream(out_);
    for (int i : summary.notFound) {
        std::fprintf(err_, "rux-extract: %s: Not found in resource file\n", EscapedName(options_.includes[i]).c_str());
    }
    return rux::Finish(out_, err_, summary.status);
}

int ExtractAndPrint(const char* program, const ExtractOptions& options, const char* resourceFile,
                    const char* outputDirectory, std::FILE* out, std::FILE* err) {
    ExtractPrinter printer(options, resourceFile, out, err);
    ExtractOptions run = options;
    run.progress = printer.ShowsProgress();
    if (run.mode == MODE_STDOUT) run.data = out;
    const ExtractSummary summary = ExtractAll(run, resourceFile, outputDirectory, printer);
    return printer.Finish(summary, program);
}

}  // namespace rux
