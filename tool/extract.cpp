// The extraction loop of rux-extract, callable in-process (the fuzz target
// runs it once per input).
#include "tool/extract.h"

#include <cstdarg>
#include <cstring>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/disk_file.h"
#include "platform/output_dir.h"
#include "resource/blocks.h"
#include "resource/index.h"
#include "resource/set.h"
#include "tool/glob.h"
#include "tool/jobs.h"
#include "tool/names.h"
#include "tool/output.h"
#include "tool/parallel.h"
#include "tool/print.h"
#include "tool/progress.h"
#include "tool/reason.h"

#include "resource/ascii.h"

using namespace rux;

namespace {

constexpr std::size_t PATH_BYTES = 4096;
// The copy buffer. Large reads keep the system calls per byte few; see
// CopyPiece for the size of each read.
constexpr std::uint32_t COPY_BYTES = 1u << 20;
constexpr std::uint32_t FAILURE_PIECE = 4096;

// How the reason lines on the error stream name the tool.
const char* const PROGRAM = "rux-extract";

#ifdef _WIN32
constexpr char SEPARATOR = '\\';
constexpr int WINDOWS_RULES = 1;
#else
constexpr char SEPARATOR = '/';
constexpr int WINDOWS_RULES = 0;
#endif

// Every way out flushes the messages and closes the output tree.
int Finish(std::FILE* out, int status) {
    CloseOutputTree();
    FlushStream(out);
    return status;
}

int Finish(std::FILE* out, std::FILE* err, int status) {
    std::fflush(err);
    return Finish(out, status);
}

// Appends printf-style text to text.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
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


// Copies text into buffer; 0 if it does not fit.
int CopyPath(char (&buffer)[PATH_BYTES], const char* text) {
    const std::size_t length = std::strlen(text);
    if (length >= PATH_BYTES) return 0;
    std::memcpy(buffer, text, length + 1);
    return 1;
}

// The default output directory: "__" and the resource file's name without
// anything up to its last '\', then its last '/'.
int DefaultOutputDirectory(char (&outdir)[PATH_BYTES], const char* resourceFile) {
    const char* base = resourceFile;
    if (const char* cut = std::strrchr(base, '\\')) base = cut + 1;
    if (const char* cut = std::strrchr(base, '/')) base = cut + 1;
    const int length = std::snprintf(outdir, PATH_BYTES, "__%s", base);
    return length >= 0 && static_cast<std::size_t>(length) < PATH_BYTES;
}

// Rewrites the separators of the name part of path (from start on) to the
// platform's.
void RewriteSeparators(char* path, std::size_t start) {
    for (char* p = path + start; *p != '\0'; ++p) {
        if (IsSeparator(*p)) *p = SEPARATOR;
    }
}

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
    int Open(const ResourceSet& from, const char* name) {
        set = &from;
        slot = from.Lookup(name);
        position = 0;
        size = from.DataSize(slot, &status);
        return size >= 0;
    }
    int Slot() const { return slot; }
    std::uint32_t Size() const { return size < 0 ? 0 : static_cast<std::uint32_t>(size); }
    std::uint32_t Read(void* buffer, std::uint32_t count) {
        if (size < 0) return 0;
        std::int64_t got = set->ReadAt(slot, position, buffer, count, &status);
        if (got < 0) got = set->Slots()[slot].kind == KIND_DEFLATED ? 0 : status.delivered;
        position += static_cast<std::uint64_t>(got);
        return static_cast<std::uint32_t>(got);
    }
    void Close() { size = -1; }
};

// Bytes per read for a stream. Reads of 4096 bytes define what standard
// output receives when a block fails (a file is then not made at all):
// everything before the first 4096-byte piece that touches it. A deflated resource whose block length is a multiple of 4096
// is read a block at a time (or, for blocks larger than the copy buffer,
// in the largest such piece that divides the block), which writes the very
// same bytes, inflates and copies every block once, and needs one write
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

// Why the resource file could not be mounted: the system's words alone
// where the system failed it, as other tools say them after the path;
// else the library's reason.
std::string MountFailureReason(const MountResult& mounted) {
    if (mounted.error == MountError::CANNOT_OPEN && mounted.systemError != 0) return ErrorText(mounted.systemError);
    if (mounted.error == MountError::PATH_TOO_LONG) return ErrorText(PathTooLongError());
    return MountErrorText(mounted);
}

// What the run does after one resource.
enum ResourceOutcome {
    RESOURCE_DONE = 0,  // done in full; the run goes on
    RESOURCE_FAILED,    // not read in full, or refused; the run goes on and ends with status 1
    RESOURCE_END_RUN,   // the run ends now, with status 1 ("Cannot write")
};

// The text that one resource prints, held until it is that resource's turn
// to print: the resources' texts appear in slot order whoever does the work.
struct ResourceReport {
    std::string out;  // for the output stream: lines and messages
    std::string err;  // for the error stream: messages when the data go to out
};

// What every resource of one run shares.
struct RunPlan {
    int mode = MODE_EXTRACT;
    const ResourceSet* set = nullptr;
    int quiet = 0;  // no resource lines, no "Kept existing"
    int noClobber = 0;  // never replace an existing file (extraction only)
    const char* outdir = nullptr;  // without trailing separators (extraction only)
    std::size_t outdirLength = 0;
    std::FILE* data = nullptr;  // where MODE_STDOUT writes the data
    Progress* progress = nullptr;
};

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

// The slots the run takes, in slot order, into slots; returns their number
// and adds their listed sizes to *listedBytes. found[i] tells whether
// include i matched any name.
int SelectSlots(const ResourceSet& set, const ExtractOptions& options, int* slots, std::uint64_t* listedBytes,
                std::vector<char>& found) {
    const ResourceEntry* entries = set.Slots();
    found.assign(static_cast<std::size_t>(options.includeCount), 0);
    int count = 0;
    for (int slot = 0; slot < INDEX_SLOTS; ++slot) {
        const ResourceEntry& entry = entries[slot];
        if (entry.kind == 0 || !IsSelected(options, entry.name, found)) continue;
        slots[count++] = slot;
        *listedBytes += entry.size;
    }
    return count;
}

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
        Appendf(report.out, "Cannot write %s\n", EscapedName(made.c_str()).c_str());
        report.err += ReasonLine(PROGRAM, made, ErrorText(PathTooLongError()));
        *outcome = RESOURCE_END_RUN;
        return 0;
    }
    // Written under a temporary name and renamed into place when complete:
    // a failure leaves no file, and an existing file of that name stays.
    RewriteSeparators(path, plan.outdirLength);
    const int begun = BeginOutput(&output, path, plan.outdirLength + 1, plan.noClobber);
    if (begun == OUTPUT_DONE) return 1;
    if (begun == OUTPUT_LINK) {
        Appendf(report.out, "Refused link %s\n", EscapedName(path).c_str());
        *outcome = RESOURCE_FAILED;
    } else if (begun == OUTPUT_EXISTS) {
        if (!plan.quiet) Appendf(report.out, "Kept existing %s\n", EscapedName(path).c_str());
        *outcome = RESOURCE_DONE;
    } else {
        Appendf(report.out, "Cannot write %s\n", EscapedName(path).c_str());
        report.err += ReasonLine(PROGRAM, path, SystemReason(LastError()));
        *outcome = RESOURCE_END_RUN;
    }
    return 0;
}

// Ends the output file that BeginFile began: into place when the resource
// was delivered in full, else removed (unread says why).
ResourceOutcome EndFile(const RunPlan& plan, const char* name, const char* path, OutputFile& output,
                        int delivered, const std::string& unread, ResourceReport& report) {
    if (!delivered) {
        AbortOutput(&output);
        Appendf(report.out, "Cannot read %s\n", EscapedName(name).c_str());
        report.err += ReasonLine(PROGRAM, name, unread);
        return RESOURCE_FAILED;
    }
    // A write error can surface only when the file is closed, which the
    // rename does first.
    const int finished = FinishOutput(&output, path, plan.noClobber);
    if (finished == OUTPUT_EXISTS) {
        if (!plan.quiet) Appendf(report.out, "Kept existing %s\n", EscapedName(path).c_str());
        return RESOURCE_DONE;
    }
    if (finished != OUTPUT_DONE) {
        Appendf(report.out, "Cannot write %s\n", EscapedName(path).c_str());
        report.err += ReasonLine(PROGRAM, path, SystemReason(LastError()));
        return RESOURCE_END_RUN;
    }
    return RESOURCE_DONE;
}

// What CopyStream met.
enum CopyResult {
    COPY_DELIVERED = 0,  // every byte read and handed on
    COPY_SHORT,          // the stream could not deliver them all
    COPY_UNWRITTEN,      // a write failed
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
    CopyResult result = opened ? COPY_DELIVERED : COPY_SHORT;
    const std::uint32_t piece = CopyPiece(stream);
    std::uint32_t done = 0;
    KeepError(0);
    while (opened && done < size) {
        const std::uint32_t want = size - done < piece ? size - done : piece;
        const std::uint32_t got = stream.Read(data, want);
        if (got == 0) {
            result = COPY_SHORT;
            break;
        }
        const bool written = file                         ? file->Write(data, got) == got
                             : plan.mode == MODE_STDOUT ? WriteStream(plan.data, data, got) != 0
                                                        : true;
        if (!written) {
            result = COPY_UNWRITTEN;
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
    ResourceOutcome outcome = RESOURCE_DONE;
    if (!BeginFile(plan, name, path, output, report, &outcome)) {
        stream.Close();
        return outcome;
    }
    CopyFailure failure;
    const CopyResult copied = CopyStream(plan, stream, opened, size, data, &output.file, &failure);
    if (copied == COPY_UNWRITTEN) {
        AbortOutput(&output);
        Appendf(report.out, "Cannot write %s\n", EscapedName(path).c_str());
        report.err += ReasonLine(PROGRAM, path, SystemReason(failure.error));
        return RESOURCE_END_RUN;
    }
    const std::string unread = copied == COPY_DELIVERED ? "" : ReadFailureReason(*plan.set, stream.Slot(), stream.status);
    return EndFile(plan, name, path, output, copied == COPY_DELIVERED, unread, report);
}

// Reads the open stream, size bytes of it, to its end, handing the bytes to
// plan.data in MODE_STDOUT and dropping them otherwise, and closes it.
ResourceOutcome ReadThrough(const RunPlan& plan, const char* name, ResourceInput& stream, int opened,
                            std::uint32_t size, unsigned char* data, ResourceReport& report) {
    std::string& messages = plan.mode == MODE_STDOUT ? report.err : report.out;
    CopyFailure failure;
    const CopyResult copied = CopyStream(plan, stream, opened, size, data, nullptr, &failure);
    if (copied == COPY_UNWRITTEN) {
        // The reason follows when standard output is closed.
        messages += "Cannot write standard output\n";
        return RESOURCE_END_RUN;
    }
    if (copied == COPY_SHORT) {
        Appendf(messages, "Cannot read %s\n", EscapedName(name).c_str());
        report.err += ReasonLine(PROGRAM, name, ReadFailureReason(*plan.set, stream.Slot(), stream.status));
        return RESOURCE_FAILED;
    }
    return RESOURCE_DONE;
}

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
    if (line) Appendf(report.out, "%u %s ", static_cast<unsigned>(entry.kind), printed.c_str());

    // An unsafe name is refused before anything is opened for it: a
    // loose file's path is built from the name too.
    if (IsUnsafeName(name, WINDOWS_RULES)) {
        if (line) report.out += "0\n";
        Appendf(messages, "Refused unsafe name %s\n", printed.c_str());
        ProgressResize(*plan.progress, entry.size, 0);
        *outcome = RESOURCE_FAILED;
        return 0;
    }

    *opened = stream.Open(*plan.set, name);
    *size = stream.Size();
    if (line) Appendf(report.out, "%u\n", static_cast<unsigned>(*size));
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
    ResourceOutcome outcome = RESOURCE_DONE;
    if (!StartResource(plan, slot, stream, &opened, &size, report, &outcome)) return outcome;

    switch (plan.mode) {
        case MODE_EXTRACT: return WriteToFile(plan, name, stream, opened, size, data, report);
        case MODE_LIST:
            stream.Close();
            if (opened) return RESOURCE_DONE;
            Appendf(report.out, "Cannot read %s\n", EscapedName(name).c_str());
            report.err += ReasonLine(PROGRAM, name, ReadFailureReason(*plan.set, stream.Slot(), stream.status));
            return RESOURCE_FAILED;
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

// A resource cut into ranges that different workers read at once: of
// blocks for a deflated one, of bytes for a stored one. Extracting, each
// range is written at its offset in the one output file; to standard
// output, the calling thread writes the ranges in order. The first range
// to run starts the resource; the worker of the last ends it.
struct RangedResource {
    std::mutex lock;
    int started = 0;
    int used = 0;  // its stream opened and, extracting, its file begun
    ResourceOutcome outcome = RESOURCE_DONE;  // when not used
    int slot = -1;
    int kind = 0;
    std::uint32_t size = 0;
    std::uint32_t rangeBytes = 0;
    std::uint32_t piece = 0;  // the sequential read's piece (CopyPiece)
    std::unique_ptr<char[]> path;  // PATH_BYTES, extracting only: one per resource of a run
    OutputFile output;
    // The first bytes that could not be read, or written: the earlier one
    // is what a sequential run meets.
    std::atomic<std::uint64_t> firstUnread{~0ull};
    std::atomic<std::uint64_t> firstUnwritten{~0ull};
    // The write's reason (LastError() of the failed call; 0 if none), and
    // the read's of the failure at firstUnread (set under lock).
    std::atomic<int> writeError{0};
    ReadStatus readFailure;
    int cut = 0;  // to standard output: a range came short, so no later byte goes
};

// Ranges (of the copy buffer's worth of bytes each) that make a resource
// worth cutting when it goes to a file or nowhere.
constexpr std::uint32_t MIN_RANGES = 4;

// Ranges started and not yet taken, at most.
constexpr std::uint32_t MAX_WINDOW = 256;
static_assert(MAX_WINDOW <= MAX_JOB_WINDOW, "a window the scheduler takes");
static_assert(MAX_JOB_WORKERS + MAX_WINDOW / MIN_RANGES + 1 <= TEMPORARY_SLOTS, "room for every live temporary");

// The ranges a resource of a run in mode is cut into, each of *rangeBytes
// bytes; 0 when it is read whole. To standard output every resource that
// can be is cut, so that what is held for the calling thread to write
// stays a range per buffer; else only large ones. A deflated resource's
// ranges are of whole blocks; to standard output they must also start on
// a piece of the sequential read (see CopyPiece), so that a failed block
// leaves the very bytes it leaves there.
std::uint32_t RangesOf(const ResourceEntry& entry, int mode, std::uint32_t* rangeBytes) {
    if (IsUnsafeName(entry.name, WINDOWS_RULES)) return 0;
    std::uint32_t bytes = COPY_BYTES;
    if (entry.kind == KIND_DEFLATED) {
        const std::uint32_t block = entry.blockLength;
        if (block == 0 || block > COPY_BYTES) return 0;
        bytes = COPY_BYTES / block * block;
    } else if (entry.kind != KIND_STORED) {
        return 0;
    }
    const std::uint64_t ranges = (static_cast<std::uint64_t>(entry.size) + bytes - 1) / bytes;
    if (mode != MODE_STDOUT && ranges < MIN_RANGES) return 0;
    if (mode == MODE_STDOUT && ranges > 1 && entry.kind == KIND_DEFLATED && entry.blockLength % FAILURE_PIECE != 0) {
        return 0;
    }
    *rangeBytes = bytes;
    return ranges ? static_cast<std::uint32_t>(ranges) : 1;
}

void LowerTo(std::atomic<std::uint64_t>& value, std::uint64_t candidate) {
    std::uint64_t now = value.load();
    while (candidate < now && !value.compare_exchange_weak(now, candidate)) {
    }
}

// Reads want bytes of the ranged resource from position from into data.
// Returns the bytes a sequential read delivers before its first failure in
// the range: want when none.
std::uint32_t ReadRange(const ResourceSet& set, const RangedResource& r, unsigned char* data, std::uint32_t from,
                        std::uint32_t want, ReadStatus* status) {
    if (set.ReadAt(r.slot, from, data, want, status) >= 0) return want;
    if (r.kind == KIND_STORED) return status->delivered;
    // Some block failed: which pieces before it come through.
    std::uint32_t got = 0;
    while (got < want) {
        const std::uint32_t n = want - got < r.piece ? want - got : r.piece;
        if (set.ReadAt(r.slot, from + got, data + got, n, status) != n) break;
        got += n;
    }
    return got;
}

// What a range read for standard output holds until the calling thread
// writes it.
struct RangeBytes {
    std::unique_ptr<unsigned char[]> bytes;  // COPY_BYTES, made when first needed
    std::uint32_t got = 0;
};

// A run of the resources on worker threads: each worker has its own plan
// (with a silent progress of its own unless a line is drawn) and buffer;
// the reports are printed in slot order by the calling thread.
struct ParallelRun {
    const int* slots = nullptr;
    std::vector<std::uint32_t> ranges;                   // per item
    std::vector<std::unique_ptr<RangedResource>> ranged;  // per item; null for a whole one
    // Per item: read by the calling thread when it takes the item, as the
    // sequential run does (to standard output, what cannot be cut).
    std::vector<char> onTake;
    std::vector<std::uint64_t> firstRange;  // per item: the run's number of its range 0
    std::vector<RangeBytes> held;           // to standard output: a ring of window ranges
    RunPlan plans[MAX_JOB_WORKERS];
    Progress silent[MAX_JOB_WORKERS];
    std::vector<std::unique_ptr<unsigned char[]>> buffers;
    std::vector<ResourceReport> reports;
    std::vector<ResourceOutcome> outcomes;
    const RunPlan* plan = nullptr;  // the calling thread's
    unsigned char* data = nullptr;  // ... and its buffer
    std::FILE* out = nullptr;
    std::FILE* err = nullptr;
    Progress* progress = nullptr;
    unsigned failed = 0;
    int ended = 0;          // a resource ended the run
    int stdoutFailed = 0;   // ... by a failed write to standard output
};

RangeBytes& HeldRange(ParallelRun& run, int item, std::uint32_t range) {
    return run.held[(run.firstRange[static_cast<std::size_t>(item)] + range) % run.held.size()];
}

// The bytes of a range of the started resource: 0 past its end.
std::uint32_t RangeLength(const RangedResource& r, std::uint32_t range) {
    const std::uint64_t from = static_cast<std::uint64_t>(range) * r.rangeBytes;
    if (from >= r.size) return 0;
    return static_cast<std::uint32_t>(r.size - from < r.rangeBytes ? r.size - from : r.rangeBytes);
}

// One range of a ranged resource; the first to come starts the resource.
void WorkOnRange(ParallelRun& run, int item, std::uint32_t range, int worker) {
    const std::size_t at = static_cast<std::size_t>(item);
    RangedResource& r = *run.ranged[at];
    const RunPlan& plan = run.plans[worker];
    RangeBytes* held = plan.mode == MODE_STDOUT ? &HeldRange(run, item, range) : nullptr;
    if (held) held->got = 0;
    {
        std::lock_guard<std::mutex> hold(r.lock);
        if (!r.started) {
            r.started = 1;
            ResourceInput stream;
            int opened = 0;
            if (StartResource(plan, run.slots[item], stream, &opened, &r.size, run.reports[at], &r.outcome)) {
                if (!opened) r.readFailure = stream.status;
                r.slot = stream.Slot();
                r.kind = plan.set->Slots()[r.slot].kind;
                r.piece = CopyPiece(stream);
                // The ranges are read below without the stream.
                stream.Close();
                if (!opened) LowerTo(r.firstUnread, 0);
                if (plan.mode == MODE_EXTRACT) r.path.reset(new char[PATH_BYTES]);
                r.used = plan.mode != MODE_EXTRACT ||
                         BeginFile(plan, plan.set->Slots()[run.slots[item]].name, r.path.get(), r.output, run.reports[at], &r.outcome);
            }
        }
    }
    const std::uint32_t want = r.used ? RangeLength(r, range) : 0;
    if (want == 0) return;
    const std::uint32_t from = range * r.rangeBytes;
    // Once the resource has failed, only standard output still takes the
    // bytes before the failure.
    if (held ? r.firstUnread.load() < from : r.firstUnread.load() != ~0ull || r.firstUnwritten.load() != ~0ull) {
        return;
    }
    unsigned char* data;
    if (held) {
        if (!held->bytes) held->bytes.reset(new unsigned char[COPY_BYTES]);
        data = held->bytes.get();
    } else {
        data = run.buffers[static_cast<std::size_t>(worker)].get();
    }
    ReadStatus status;
    const std::uint32_t got = ReadRange(*plan.set, r, data, from, want, &status);
    ProgressAdd(*plan.progress, got);
    if (held) held->got = got;
    // The bytes before a failure are written too, as the sequential run
    // writes them, so that the earlier failure is the one told.
    if (plan.mode == MODE_EXTRACT && got != 0 && r.output.file.WriteAt(data, got, static_cast<std::int64_t>(from)) != got) {
        int none = 0;
        r.writeError.compare_exchange_strong(none, LastError());
        LowerTo(r.firstUnwritten, from);
    }
    if (got != want) {
        std::lock_guard<std::mutex> hold(r.lock);
        if (from + got < r.firstUnread.load()) r.readFailure = status;
        LowerTo(r.firstUnread, from + got);
    }
}

// In the worker of a ranged resource's last range: its file into place, or
// its failure told as the sequential run tells it.
void FinishResource(void* context, int item, int) {
    ParallelRun& run = *static_cast<ParallelRun*>(context);
    const std::size_t at = static_cast<std::size_t>(item);
    if (!run.ranged[at]) return;
    RangedResource& r = *run.ranged[at];
    ResourceReport& report = run.reports[at];
    if (!r.used) {
        run.outcomes[at] = r.outcome;
        return;
    }
    const RunPlan& plan = run.plans[0];
    const char* name = plan.set->Slots()[run.slots[item]].name;
    const int delivered = r.firstUnread.load() == ~0ull;
    const std::string unread =
        delivered ? ""
                  : ReadFailureReason(*plan.set, r.slot, r.readFailure);
    if (plan.mode == MODE_EXTRACT) {
        if (r.firstUnwritten.load() < r.firstUnread.load()) {
            AbortOutput(&r.output);
            Appendf(report.out, "Cannot write %s\n", EscapedName(r.path.get()).c_str());
            report.err += ReasonLine(PROGRAM, r.path.get(), SystemReason(r.writeError.load()));
            run.outcomes[at] = RESOURCE_END_RUN;
        } else {
            run.outcomes[at] = EndFile(plan, name, r.path.get(), r.output, delivered, unread, report);
        }
        r.used = 0;
        return;
    }
    if (delivered) {
        run.outcomes[at] = RESOURCE_DONE;
        return;
    }
    Appendf(plan.mode == MODE_STDOUT ? report.err : report.out, "Cannot read %s\n", EscapedName(name).c_str());
    report.err += ReasonLine(PROGRAM, name, unread);
    run.outcomes[at] = RESOURCE_FAILED;
}

int WorkOnResource(void* context, int item, std::uint32_t range, int worker) {
    ParallelRun& run = *static_cast<ParallelRun*>(context);
    const std::size_t at = static_cast<std::size_t>(item);
    if (run.onTake[at]) return RANGE_DONE;
    if (run.ranged[at]) {
        WorkOnRange(run, item, range, worker);
        return RANGE_DONE;  // a fatal end is told by the take
    }
    run.outcomes[at] = ProcessResource(run.plans[worker], run.slots[item], run.buffers[static_cast<std::size_t>(worker)].get(),
                                       run.reports[at]);
    return run.outcomes[at] == RESOURCE_END_RUN ? RANGE_FATAL : RANGE_DONE;
}

// To standard output, in the calling thread: a range's bytes, in order, up
// to the resource's first failure.
int TakeRange(void* context, int item, std::uint32_t range) {
    ParallelRun& run = *static_cast<ParallelRun*>(context);
    const std::size_t at = static_cast<std::size_t>(item);
    if (!run.ranged[at] || run.plan->mode != MODE_STDOUT) return 1;
    RangedResource& r = *run.ranged[at];
    if (!r.used || r.cut) return 1;
    const RangeBytes& held = HeldRange(run, item, range);
    if (held.got != 0 && !WriteStream(run.out, held.bytes.get(), held.got)) {
        run.stdoutFailed = 1;
        return 0;
    }
    if (held.got < RangeLength(r, range)) r.cut = 1;
    return 1;
}

int TakeResource(void* context, int item) {
    ParallelRun& run = *static_cast<ParallelRun*>(context);
    const std::size_t at = static_cast<std::size_t>(item);
    if (run.onTake[at]) run.outcomes[at] = ProcessResource(*run.plan, run.slots[item], run.data, run.reports[at]);
    PrintReport(run.reports[at], run.out, run.err, *run.progress);
    run.reports[at] = ResourceReport();
    if (run.outcomes[at] == RESOURCE_END_RUN) {
        run.ended = 1;
        return 0;
    }
    if (run.outcomes[at] == RESOURCE_FAILED) ++run.failed;
    ProgressResourceDone(*run.progress);
    return 1;
}

// After a stopped run, for a ranged resource that was begun but not ended:
// its temporary goes.
void DropResource(void* context, int item) {
    ParallelRun& run = *static_cast<ParallelRun*>(context);
    const std::size_t at = static_cast<std::size_t>(item);
    if (!run.ranged[at] || !run.ranged[at]->used || run.plan->mode != MODE_EXTRACT) return;
    AbortOutput(&run.ranged[at]->output);
    run.ranged[at]->used = 0;
}

// The selected resources may go to worker threads: the mode reads data.
int MayRunInParallel(const ExtractOptions& options, int count) {
    if (options.jobs < 2 || count < 1) return 0;
    return options.mode == MODE_EXTRACT || options.mode == MODE_TEST || options.mode == MODE_STDOUT;
}

// Runs the count selected resources in slots on worker threads. Returns
// 1 when the run went through (failed resources counted in *failed), 0
// when a resource ended it (its report printed).
int RunInParallel(const ExtractOptions& options, const RunPlan& plan, const int* slots, int count,
                  unsigned char* data, std::FILE* out, std::FILE* err, Progress& progress, unsigned* failed) {
    const int mode = plan.mode;
    static ParallelRun run;
    run.slots = slots;
    run.reports.assign(static_cast<std::size_t>(count), ResourceReport());
    run.outcomes.assign(static_cast<std::size_t>(count), RESOURCE_DONE);
    run.plan = &plan;
    run.data = data;
    run.out = out;
    run.err = err;
    run.progress = &progress;
    run.failed = 0;
    run.ended = 0;
    run.stdoutFailed = 0;
    // Opened once here, so that the workers only read.
    plan.set->OpenDataFiles();
    // Names that meet in one output file or directory, or in one index
    // slot (which has one stream), go in slot order.
    static const char* names[INDEX_SLOTS];
    static int after[INDEX_SLOTS];
    for (int i = 0; i < count; ++i) names[i] = plan.set->Slots()[slots[i]].name;
    OrderCollisions(names, count, after);
    std::vector<char> waitedOn(static_cast<std::size_t>(count), 0);
    for (int i = 0; i < count; ++i) {
        if (after[i] >= 0) waitedOn[static_cast<std::size_t>(after[i])] = 1;
    }
    // Large resources of safe names that nothing collides with are cut
    // into ranges.
    run.ranges.assign(static_cast<std::size_t>(count), 1);
    run.ranged.clear();
    run.ranged.resize(static_cast<std::size_t>(count));
    run.onTake.assign(static_cast<std::size_t>(count), 0);
    run.firstRange.assign(static_cast<std::size_t>(count), 0);
    std::uint64_t total = 0;
    for (int i = 0; i < count; ++i) {
        const std::size_t at = static_cast<std::size_t>(i);
        run.firstRange[at] = total;
        std::uint32_t rangeBytes = 0;
        const std::uint32_t ranges = after[i] >= 0 || waitedOn[at]
                                         ? 0
                                         : RangesOf(plan.set->Slots()[slots[i]], mode, &rangeBytes);
        if (ranges == 0) {
            run.onTake[at] = mode == MODE_STDOUT;
        } else {
            run.ranged[at].reset(new RangedResource);
            run.ranged[at]->rangeBytes = rangeBytes;
            run.ranges[at] = ranges;
        }
        total += run.ranges[at];
    }
    // A worker per job, but no more than there are ranges. To standard
    // output, two ranges held per worker keep them busy. Else what is held
    // is only reports, and a wide window lets workers go on past a large
    // resource that is not yet taken; its bound keeps the temporaries open
    // at once (one per worker, and one per ranged resource in the window)
    // within TEMPORARY_SLOTS.
    const int workers = total < static_cast<std::uint64_t>(options.jobs) ? static_cast<int>(total) : options.jobs;
    std::uint32_t window = static_cast<std::uint32_t>(workers) * (mode == MODE_STDOUT ? 2 : 64);
    if (window > MAX_WINDOW) window = MAX_WINDOW;
    run.held.clear();
    run.held.resize(mode == MODE_STDOUT ? window : 0);
    run.buffers.clear();
    for (int w = 0; w < workers; ++w) {
        ProgressStart(run.silent[w], nullptr, 0, 0);
        run.plans[w] = plan;
        // A line that is drawn counts the bytes of every worker.
        if (!progress.stream) run.plans[w].progress = &run.silent[w];
        if (mode != MODE_STDOUT) run.buffers.emplace_back(new unsigned char[COPY_BYTES]);
    }
    JobSet set;
    set.jobCount = count;
    set.rangeCounts = run.ranges.data();
    set.workers = workers;
    set.window = window;
    set.context = &run;
    set.runRange = WorkOnResource;
    set.finishJob = FinishResource;
    set.takeRange = mode == MODE_STDOUT ? TakeRange : nullptr;
    set.takeJob = TakeResource;
    set.dropJob = DropResource;
    static std::recursive_mutex drawing;
    progress.shared = &drawing;
    RunInOrder(set, after);
    progress.shared = nullptr;
    run.ranged.clear();
    run.buffers.clear();
    run.held.clear();
    run.reports.clear();
    if (run.stdoutFailed) {
        std::fputs("Cannot write standard output\n", err);
        return 0;
    }
    *failed = run.failed;
    return !run.ended;
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
    static char outdir[PATH_BYTES];
    static unsigned char data[COPY_BYTES];
    static int slots[INDEX_SLOTS];
    const int mode = options.mode;
    // With the data on out, every message goes to err.
    std::FILE* messages = mode == MODE_STDOUT ? err : out;

    // A set of the run's own: whatever the process mounted elsewhere is
    // neither seen nor touched.
    ResourceSet set;
    const MountResult mounted = set.Mount(resourceFile);
    if (!mounted.ok()) {
        std::fprintf(messages, "Could not open resource file: %s\n", EscapedName(resourceFile).c_str());
        std::fputs(ReasonLine(PROGRAM, resourceFile, MountFailureReason(mounted)).c_str(), err);
        return Finish(out, err, 1);
    }

    RunPlan plan;
    plan.mode = mode;
    plan.set = &set;
    plan.quiet = options.quiet;
    if (mode == MODE_EXTRACT) {
        if (outputDirectory ? !CopyPath(outdir, outputDirectory)
                            : !DefaultOutputDirectory(outdir, resourceFile)) {
            const char* named = outputDirectory ? outputDirectory : resourceFile;
            std::fprintf(out, "Cannot write %s\n", EscapedName(named).c_str());
            std::fputs(ReasonLine(PROGRAM, named, ErrorText(PathTooLongError())).c_str(), err);
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
        OpenOutputTree(outdir, makeError == AlreadyExistsError() ? 0 : makeError);
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
    const int count = SelectSlots(set, options, slots, &listedBytes, found);
    Progress progress;
    const bool showProgress = options.progress && mode != MODE_LIST && IsTerminal(err);
    ProgressStart(progress, showProgress ? err : nullptr, listedBytes, static_cast<unsigned>(count));
    plan.progress = &progress;

    unsigned failed = 0;
    const int parallel = MayRunInParallel(options, count);
    if (parallel && !RunInParallel(options, plan, slots, count, data, out, err, progress, &failed)) {
        ProgressEnd(progress);
        ReportNotFound(options, found, err);
        return Finish(out, err, 1);
    }
    for (int i = parallel ? count : 0; i < count; ++i) {
        ResourceReport report;
        const ResourceOutcome outcome = ProcessResource(plan, slots[i], data, report);
        PrintReport(report, out, err, progress);
        if (outcome == RESOURCE_END_RUN) {
            ProgressEnd(progress);
            ReportNotFound(options, found, err);
            return Finish(out, err, 1);
        }
        if (outcome == RESOURCE_FAILED) ++failed;
        ProgressResourceDone(progress);
    }
    ProgressEnd(progress);

    if (mode == MODE_TEST) {
        std::fprintf(out, "%u resources read, %u failed\n", static_cast<unsigned>(count) - failed, failed);
    }
    CacheFree();
    // Flushed first: the names come after the run's lines, as tar's do.
    FlushStream(out);
    const int missing = ReportNotFound(options, found, err);
    return Finish(out, err, failed || missing ? 1 : 0);
}
