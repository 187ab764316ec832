// One resource from start to end, in every mode: its line, the refusal
// of an unsafe name, and the listing, test, copy or extraction of its data.
// The sequential run calls it for each resource in turn; the parallel run
// on its workers, for the resources it reads whole.
#include <cstdarg>
#include <cstring>
#include <string>

#include "common/names.h"
#include "common/print.h"
#include "common/reason.h"
#include "engine/run.h"
#include "platform/console.h"
#include "platform/disk_file.h"
#include "resource/ascii.h"
#include "resource/blocks.h"
#include "resource/index.h"

namespace rux {

// Appends printf-style text to text.
void Appendf(std::string& text, const char* format, ...) {
    char line[256];
    std::va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) < sizeof line) {
        text.append(line, static_cast<std::size_t>(length));
        return;
    }
    const std::size_t at = text.size();
    text.resize(at + static_cast<std::size_t>(length) + 1);
    va_start(args, format);
    std::vsnprintf(&text[at], static_cast<std::size_t>(length) + 1, format, args);
    va_end(args);
    text.resize(at + static_cast<std::size_t>(length));
}

int ResourceInput::Open(const ResourceSet& from, const char* name) {
    set = &from;
    slot = from.Lookup(name);
    position = 0;
    size = from.DataSize(slot, &status);
    return size >= 0;
}

std::uint32_t ResourceInput::Read(void* buffer, std::uint32_t count) {
    if (size < 0) return 0;
    std::int64_t got = set->ReadAt(slot, position, buffer, count, &status);
    if (got < 0) got = set->Slots()[slot].kind == KIND_DEFLATED ? 0 : status.delivered;
    position += static_cast<std::uint64_t>(got);
    return static_cast<std::uint32_t>(got);
}

// Bytes per read for a stream. Reads of 4096 bytes define what standard
// output receives when a block fails (a file is then not made at all):
// everything before the first 4096-byte piece that touches it. A deflated
// resource whose block length is a multiple of 4096 is read a block at a
// time (or, for blocks larger than the copy buffer, in the largest such
// piece that divides the block), which writes the very same bytes,
// inflates and copies every block once, and needs one write per block. Other block lengths keep reads of 4096 bytes; stored and
// loose resources deliver what they have whatever the piece, so they use
// the whole buffer.
std::uint32_t CopyPiece(const ResourceInput& stream) {
    if (stream.Slot() < 0) return COPY_BYTES;
    const ResourceEntry& entry = stream.set->Slots()[stream.Slot()];
    if (entry.kind != KIND_DEFLATED) return COPY_BYTES;
    const std::uint32_t block = entry.blockLength;
    if (block == 0 || block % FAILURE_PIECE != 0) return FAILURE_PIECE;
    std::uint32_t piece = block < COPY_BYTES ? block : COPY_BYTES;
    while (block % piece != 0) piece -= FAILURE_PIECE;
    return piece;
}

// Why the resource in slot was not read in full, from the status of the
// read that failed; control bytes of paths in it are escaped, as in names.
std::string ReadFailureReason(const ResourceSet& set, int slot, const ReadStatus& status) {
    const std::uint32_t kind = slot < 0 ? 0 : set.Slots()[slot].kind;
    if (slot >= 0 && kind != KIND_LOOSE && kind != KIND_STORED && kind != KIND_DEFLATED) {
        return "unknown storage kind " + std::to_string(kind);
    }
    return EscapedName(ReadErrorText(set, slot, status).c_str());
}

// "Cannot read WHAT\n" or "Cannot write WHAT\n", WHAT escaped.
std::string CannotLine(Failure failure, const std::string& what) {
    return std::string(failure == Failure::Read ? "Cannot read " : "Cannot write ") + EscapedName(what.c_str()) + '\n';
}

// A failure as every mode tells it: its line among messages, and the
// reason on the error stream.
void TellCannot(std::string& messages, std::string& err, Failure failure, const std::string& what,
                const std::string& reason) {
    messages += CannotLine(failure, what);
    err += ReasonLine(RUN_PROGRAM, what, reason);
}

// What an output file's result prints, and what the run does after it:
// the one mapping for every file of every path. error is the reason of a
// failure.
ResourceOutcome TellOutput(const RunPlan& plan, OutputResult result, const char* path, int error,
                           ResourceReport& report) {
    switch (result) {
        case OutputResult::Done: return ResourceOutcome::Done;
        case OutputResult::Link:
            Appendf(report.out, "Refused link %s\n", EscapedName(path).c_str());
            return ResourceOutcome::Failed;
        case OutputResult::Exists:
            if (!plan.quiet) Appendf(report.out, "Kept existing %s\n", EscapedName(path).c_str());
            return ResourceOutcome::Done;
        case OutputResult::Failed: break;
    }
    TellCannot(report.out, report.err, Failure::Write, path, SystemReason(error));
    return ResourceOutcome::EndRun;
}

namespace {

// Rewrites the separators of the name part of path (from start on) to the
// platform's.
void RewriteSeparators(char* path, std::size_t start) {
    for (char* p = path + start; *p != '\0'; ++p) {
        if (IsSeparator(*p)) *p = SEPARATOR;
    }
}

}  // namespace

// Begins the output file of the resource name at path (PATH_BYTES of
// room): 1, or 0 with the resource's outcome in *outcome and its message
// in report.
int BeginFile(const RunPlan& plan, const char* name, char* path, OutputFile& output,
              ResourceReport& report, ResourceOutcome* outcome) {
    const char* outdir = plan.outdir;
    const int length = std::snprintf(path, PATH_BYTES, "%s%c%s", outdir, SEPARATOR, name);
    if (length < 0 || static_cast<std::size_t>(length) >= PATH_BYTES) {
        // The path as it would have been made, in native form.
        std::string made = std::string(outdir) + SEPARATOR;
        for (const char* p = name; *p != '\0'; ++p) made += IsSeparator(*p) ? SEPARATOR : *p;
        TellCannot(report.out, report.err, Failure::Write, made, ErrorText(PathTooLongError()));
        *outcome = ResourceOutcome::EndRun;
        return 0;
    }
    // Written under a temporary name and renamed into place when complete:
    // a failure leaves no file, and an existing file of that name stays.
    RewriteSeparators(path, plan.outdirLength);
    const OutputResult begun = plan.tree->Begin(&output, path, plan.outdirLength + 1, plan.noClobber);
    if (begun == OutputResult::Done) return 1;
    *outcome = TellOutput(plan, begun, path, LastError(), report);
    return 0;
}

// Ends the output file that BeginFile began: into place when the resource
// was delivered in full, else removed (unread says why).
ResourceOutcome EndFile(const RunPlan& plan, const char* name, const char* path, OutputFile& output,
                        int delivered, const std::string& unread, ResourceReport& report) {
    if (!delivered) {
        AbortOutput(&output);
        TellCannot(report.out, report.err, Failure::Read, name, unread);
        return ResourceOutcome::Failed;
    }
    // A write error can surface only when the file is closed, which the
    // rename does first.
    const OutputResult finished = FinishOutput(&output, path, plan.noClobber);
    return TellOutput(plan, finished, path, LastError(), report);
}

namespace {

// What CopyStream met.
enum class CopyResult {
    Delivered,  // every byte read and handed on
    Short,      // the stream could not deliver them all
    Unwritten,  // a write failed
};

// Why CopyStream could not write: LastError() of the failed write. (A
// read's reason is the stream's status.)
struct CopyFailure {
    int error = 0;
};

// Reads the open stream, size bytes of it, and closes it, handing the
// bytes to file, or else to plan.data in MODE_STDOUT, or else dropping
// them.
CopyResult CopyStream(const RunPlan& plan, ResourceInput& stream, int opened, std::uint32_t size,
                      unsigned char* data, DiskFile* file, CopyFailure* failure) {
    CopyResult result = opened ? CopyResult::Delivered : CopyResult::Short;
    const std::uint32_t piece = CopyPiece(stream);
    std::uint32_t done = 0;
    KeepError(0);
    while (opened && done < size) {
        const std::uint32_t want = size - done < piece ? size - done : piece;
        const std::uint32_t got = stream.Read(data, want);
        if (got == 0) {
            result = CopyResult::Short;
            break;
        }
        const bool written = file                         ? file->Write(data, got) == got
                             : plan.mode == MODE_STDOUT ? WriteStream(plan.data, data, got) != 0
                                                        : true;
        if (!written) {
            result = CopyResult::Unwritten;
            failure->error = LastError();
            break;
        }
        ProgressAdd(*plan.progress, got);
        done += got;
    }
    stream.Close();
    return result;
}

// Copies the open stream, size bytes of it, into the output file below the
// output directory, and closes both.
ResourceOutcome WriteToFile(const RunPlan& plan, const char* name, ResourceInput& stream, int opened,
                            std::uint32_t size, unsigned char* data, ResourceReport& report) {
    char path[PATH_BYTES];
    OutputFile output;
    ResourceOutcome outcome = ResourceOutcome::Done;
    if (!BeginFile(plan, name, path, output, report, &outcome)) {
        stream.Close();
        return outcome;
    }
    CopyFailure failure;
    const CopyResult copied = CopyStream(plan, stream, opened, size, data, &output.file, &failure);
    if (copied == CopyResult::Unwritten) {
        AbortOutput(&output);
        return TellOutput(plan, OutputResult::Failed, path, failure.error, report);
    }
    const std::string unread = copied == CopyResult::Delivered ? "" : ReadFailureReason(*plan.set, stream.Slot(), stream.status);
    return EndFile(plan, name, path, output, copied == CopyResult::Delivered, unread, report);
}

// Reads the open stream, size bytes of it, to its end, handing the bytes to
// plan.data in MODE_STDOUT and dropping them otherwise, and closes it.
ResourceOutcome ReadThrough(const RunPlan& plan, const char* name, ResourceInput& stream, int opened,
                            std::uint32_t size, unsigned char* data, ResourceReport& report) {
    std::string& messages = plan.mode == MODE_STDOUT ? report.err : report.out;
    CopyFailure failure;
    const CopyResult copied = CopyStream(plan, stream, opened, size, data, nullptr, &failure);
    if (copied == CopyResult::Unwritten) {
        // The reason follows when standard output is closed.
        messages += "Cannot write standard output\n";
        return ResourceOutcome::EndRun;
    }
    if (copied == CopyResult::Short) {
        report.reason = ReadFailureReason(*plan.set, stream.Slot(), stream.status);
        TellCannot(messages, report.err, Failure::Read, name, report.reason);
        return ResourceOutcome::Failed;
    }
    return ResourceOutcome::Done;
}

}  // namespace

// What every mode does first for the resource in slot: its line, the
// refusal of an unsafe name, and the open of its stream. 1 when the stream
// is to be used (*opened and *size set), else 0 with the outcome in
// *outcome.
int StartResource(const RunPlan& plan, int slot, ResourceInput& stream, int* opened, std::uint32_t* size,
                  ResourceReport& report, ResourceOutcome* outcome) {
    const ResourceEntry& entry = plan.set->Slots()[slot];
    const char* name = entry.name;
    const std::string printed = EscapedName(name);
    std::string& messages = plan.mode == MODE_STDOUT ? report.err : report.out;
    const bool line = !plan.quiet && plan.mode != MODE_STDOUT;
    const bool plainLine = line && !plan.verbose;
    if (plainLine) Appendf(report.out, "%u %s ", static_cast<unsigned>(entry.kind), printed.c_str());

    // An unsafe name is refused before anything is opened for it: a
    // loose file's path is built from the name too.
    if (IsUnsafeName(name, WINDOWS_RULES)) {
        if (plainLine) report.out += "0\n";
        if (line && plan.verbose) report.out += VerboseLine(entry, 0);
        Appendf(messages, "Refused unsafe name %s\n", printed.c_str());
        report.reason = "unsafe name";
        ProgressResize(*plan.progress, entry.size, 0);
        *outcome = ResourceOutcome::Failed;
        return 0;
    }

    *opened = stream.Open(*plan.set, name);
    *size = stream.Size();
    report.size = *size;
    if (plainLine) Appendf(report.out, "%u\n", static_cast<unsigned>(*size));
    if (line && plan.verbose) report.out += VerboseLine(entry, *size);
    ProgressResize(*plan.progress, entry.size, *size);
    return 1;
}

// All the work of the resource in slot: its line, the refusal of an unsafe
// name, and the listing, test, copy or extraction that the mode asks for.
// Appends what it prints to report; data is a COPY_BYTES buffer of its own.
ResourceOutcome ProcessResource(const RunPlan& plan, int slot, unsigned char* data, ResourceReport& report) {
    const char* name = plan.set->Slots()[slot].name;
    ResourceInput stream;
    int opened = 0;
    std::uint32_t size = 0;
    ResourceOutcome outcome = ResourceOutcome::Done;
    if (!StartResource(plan, slot, stream, &opened, &size, report, &outcome)) return outcome;

    switch (plan.mode) {
        case MODE_EXTRACT: return WriteToFile(plan, name, stream, opened, size, data, report);
        case MODE_LIST:
            stream.Close();
            if (opened) return ResourceOutcome::Done;
            report.reason = ReadFailureReason(*plan.set, stream.Slot(), stream.status);
            TellCannot(report.out, report.err, Failure::Read, name, report.reason);
            return ResourceOutcome::Failed;
        default: return ReadThrough(plan, name, stream, opened, size, data, report);
    }
}

// Prints a resource's report on out and err, keeping the progress line
// below it.
void PrintReport(const ResourceReport& report, std::FILE* out, std::FILE* err, Progress& progress) {
    if (report.out.empty() && report.err.empty()) return;
    const ProgressHold hold(progress);
    ProgressClear(progress);
    // A failure shows when standard output is closed.
    WriteStream(out, report.out.data(), report.out.size());
    std::fwrite(report.err.data(), 1, report.err.size(), err);
    if (!progress.stream) return;
    FlushStream(out);
    ProgressDraw(progress);
}

void PrintResource(const RunPlan& plan, int slot, ResourceOutcome outcome, ResourceReport& report, std::FILE* out,
                   std::FILE* err, Progress& progress) {
    const ResourceEntry& entry = plan.set->Slots()[slot];
    const bool failed = outcome != ResourceOutcome::Done;
    if (plan.json) {
        report.out = JsonResource(slot, entry, report.size, plan.totals->resources == 0, plan.mode == MODE_TEST,
                                  failed ? report.reason : "");
    }
    if (plan.totals) AddToTotals(plan.totals, entry, report.size, failed);
    PrintReport(report, out, err, progress);
}

}  // namespace rux
