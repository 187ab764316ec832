// One resource from start to end, in every mode: its line, the refusal
// of an unsafe name, and the listing, test, copy or extraction of its data.
// The sequential run calls it for each resource in turn; the parallel run
// on its workers, for the resources it reads whole.
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
// inflates every block once, straight into the buffer, and needs one write
// per block. Other block lengths keep reads of 4096 bytes; stored and
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

ResourceOutcome OutcomeOf(const ResourceEnd& end) {
    if (end.EndsRun()) return ResourceOutcome::EndRun;
    return end.Failed() ? ResourceOutcome::Failed : ResourceOutcome::Done;
}

ResourceOutcome TellOutput(OutputResult result, const char* path, int error, ResourceEnd& end) {
    switch (result) {
        case OutputResult::Done: end.result = ResourceResult::Done; break;
        case OutputResult::Link: end.result = ResourceResult::RefusedLink; break;
        case OutputResult::Exists: end.result = ResourceResult::Kept; break;
        case OutputResult::Failed:
            end.result = ResourceResult::WriteFailed;
            end.error = error;
            break;
    }
    if (result != OutputResult::Done) end.path = path;
    return OutcomeOf(end);
}

ResourceOutcome TellUnread(const RunPlan& plan, int slot, const ReadStatus& status, ResourceEnd& end) {
    end.result = ResourceResult::ReadFailed;
    end.status = status;
    end.error = status.systemError;
    end.reason = ReadFailureReason(*plan.set, slot, status);
    return ResourceOutcome::Failed;
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
// room): 1, or 0 with the resource's outcome in *outcome and in end.
int BeginFile(const RunPlan& plan, const char* name, char* path, OutputFile& output, ResourceEnd& end,
              ResourceOutcome* outcome) {
    const char* outdir = plan.outdir;
    const int length = std::snprintf(path, PATH_BYTES, "%s%c%s", outdir, SEPARATOR, name);
    if (length < 0 || static_cast<std::size_t>(length) >= PATH_BYTES) {
        // The path as it would have been made, in native form.
        std::string made = std::string(outdir) + SEPARATOR;
        for (const char* p = name; *p != '\0'; ++p) made += IsSeparator(*p) ? SEPARATOR : *p;
        *outcome = TellOutput(OutputResult::Failed, made.c_str(), PathTooLongError(), end);
        return 0;
    }
    // Written under a temporary name and renamed into place when complete:
    // a failure leaves no file, and an existing file of that name stays.
    RewriteSeparators(path, plan.outdirLength);
    const OutputResult begun = plan.tree->Begin(&output, path, plan.outdirLength + 1, plan.noClobber);
    if (begun == OutputResult::Done) return 1;
    *outcome = TellOutput(begun, path, LastError(), end);
    return 0;
}

ResourceOutcome EndFile(const RunPlan& plan, const char* path, OutputFile& output, int delivered,
                        const ReadStatus& status, int slot, ResourceEnd& end) {
    if (!delivered) {
        AbortOutput(&output);
        return TellUnread(plan, slot, status, end);
    }
    // A write error can surface only when the file is closed, which the
    // rename does first.
    const OutputResult finished = FinishOutput(&output, path, plan.noClobber);
    return TellOutput(finished, path, LastError(), end);
}

namespace {

// What CopyStream met.
enum class CopyResult {
    Delivered,  // every byte read and handed on
    Short,      // the stream could not deliver them all
    Unwritten,  // a write failed
    Stopped,    // the stop request came
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
        if (StopRequested(plan.stop)) {
            result = CopyResult::Stopped;
            break;
        }
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
        plan.progress->Add(got);
        done += got;
    }
    stream.Close();
    return result;
}

// Copies the open stream, size bytes of it, into the output file below the
// output directory, and closes both.
ResourceOutcome WriteToFile(const RunPlan& plan, const char* name, ResourceInput& stream, int opened,
                            std::uint32_t size, unsigned char* data, ResourceEnd& end) {
    char path[PATH_BYTES];
    OutputFile output;
    ResourceOutcome outcome = ResourceOutcome::Done;
    if (!BeginFile(plan, name, path, output, end, &outcome)) {
        stream.Close();
        return outcome;
    }
    CopyFailure failure;
    const CopyResult copied = CopyStream(plan, stream, opened, size, data, &output.file, &failure);
    if (copied == CopyResult::Unwritten || copied == CopyResult::Stopped) {
        AbortOutput(&output);
        if (copied == CopyResult::Stopped) return ResourceOutcome::Stopped;
        return TellOutput(OutputResult::Failed, path, failure.error, end);
    }
    // Stopped once written, it is not put in place either.
    if (StopRequested(plan.stop)) {
        AbortOutput(&output);
        return ResourceOutcome::Stopped;
    }
    return EndFile(plan, path, output, copied == CopyResult::Delivered, stream.status, stream.Slot(), end);
}

// Reads the open stream, size bytes of it, to its end, handing the bytes to
// plan.data in MODE_STDOUT and dropping them otherwise, and closes it.
ResourceOutcome ReadThrough(const RunPlan& plan, ResourceInput& stream, int opened, std::uint32_t size,
                            unsigned char* data, ResourceEnd& end) {
    CopyFailure failure;
    const CopyResult copied = CopyStream(plan, stream, opened, size, data, nullptr, &failure);
    if (copied == CopyResult::Stopped) return ResourceOutcome::Stopped;
    if (copied == CopyResult::Unwritten) {
        end.result = ResourceResult::OutputFailed;
        end.error = failure.error;
        return ResourceOutcome::EndRun;
    }
    if (copied == CopyResult::Short) return TellUnread(plan, stream.Slot(), stream.status, end);
    return ResourceOutcome::Done;
}

}  // namespace

int StartResource(const RunPlan& plan, int slot, ResourceInput& stream, int* opened, std::uint32_t* size,
                  ResourceEnd& end, ResourceOutcome* outcome) {
    const ResourceEntry& entry = plan.set->Slots()[slot];
    const char* name = entry.name;
    // An unsafe name is refused before anything is opened for it: a
    // loose file's path is built from the name too. Listing and testing
    // write nothing, and only note it.
    const bool unsafe = IsUnsafeName(name, WINDOWS_RULES) != 0;
    if (unsafe && (plan.mode == MODE_LIST || plan.mode == MODE_TEST)) {
        end.refused = "unsafe name";
    } else if (unsafe) {
        end.result = ResourceResult::RefusedName;
        end.reason = "unsafe name";
        plan.progress->Resize(entry.size, 0);
        *outcome = ResourceOutcome::Failed;
        return 0;
    }
    *opened = stream.Open(*plan.set, name);
    *size = stream.Size();
    end.size = *size;
    plan.progress->Resize(entry.size, *size);
    return 1;
}

ResourceOutcome ProcessResource(const RunPlan& plan, int slot, unsigned char* data, ResourceEnd& end) {
    const char* name = plan.set->Slots()[slot].name;
    ResourceInput stream;
    int opened = 0;
    std::uint32_t size = 0;
    ResourceOutcome outcome = ResourceOutcome::Done;
    if (!StartResource(plan, slot, stream, &opened, &size, end, &outcome)) return outcome;

    switch (plan.mode) {
        case MODE_EXTRACT: return WriteToFile(plan, name, stream, opened, size, data, end);
        case MODE_LIST:
            stream.Close();
            if (opened) return ResourceOutcome::Done;
            return TellUnread(plan, stream.Slot(), stream.status, end);
        default: return ReadThrough(plan, stream, opened, size, data, end);
    }
}

void ReportResource(const RunPlan& plan, const RunReport& report, int slot, ResourceOutcome outcome,
                    ResourceEnd& end) {
    const ResourceEntry& entry = plan.set->Slots()[slot];
    end.slot = slot;
    end.entry = &entry;
    ExtractSummary& summary = *report.summary;
    if (outcome == ResourceOutcome::Stopped) {
        summary.stopped = true;
        return;
    }
    if (end.Failed()) {
        ++summary.failed;
        if (!summary.anyFailure) summary.firstFailure = end;
        summary.anyFailure = true;
        summary.ended = summary.ended || end.EndsRun();
    } else {
        ++summary.done;
        summary.bytes += end.size;
    }
    report.observer->ResourceEnds(end);
    if (!end.EndsRun()) report.progress->ResourceDone();
}

}  // namespace rux
