// The pieces of one extraction run that its paths share: the plan every
// resource of the run follows, the text each resource prints, and the work
// on one resource (engine/sequential.cpp) that the parallel path
// (engine/parallel.cpp) runs on its workers. Inside the engine only.
#ifndef RUX_ENGINE_RUN_H
#define RUX_ENGINE_RUN_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/extract.h"
#include "engine/listing.h"
#include "engine/output.h"
#include "engine/progress.h"
#include "resource/set.h"

namespace rux {

constexpr std::size_t PATH_BYTES = 4096;
// The copy buffer. Large reads keep the system calls per byte few; see
// CopyPiece for the size of each read.
constexpr std::uint32_t COPY_BYTES = 1u << 20;
constexpr std::uint32_t FAILURE_PIECE = 4096;

// How the reason lines on the error stream name the tool.
constexpr const char* RUN_PROGRAM = "rux-extract";

#ifdef _WIN32
constexpr char SEPARATOR = '\\';
constexpr int WINDOWS_RULES = 1;
#else
constexpr char SEPARATOR = '/';
constexpr int WINDOWS_RULES = 0;
#endif

// Appends printf-style text to text.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Appendf(std::string& text, const char* format, ...);

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
    Done,    // done in full; the run goes on
    Failed,  // not read in full, or refused; the run goes on and ends with status 1
    EndRun,  // the run ends now, with status 1 ("Cannot write")
};

// The text that one resource prints, held until it is that resource's turn
// to print: the resources' texts appear in slot order whoever does the work.
struct ResourceReport {
    std::string out;  // for the output stream: lines and messages
    std::string err;  // for the error stream: messages when the data go to out
    std::uint32_t size = 0;  // the size its line gives
    std::string reason;      // why it failed, for the JSON listing
};

// What could not be done to a resource or a path.
enum class Failure { Read, Write };

// "Cannot read WHAT\n" or "Cannot write WHAT\n", WHAT escaped.
std::string CannotLine(Failure failure, const std::string& what);

// A failure as every mode tells it: its line among messages, and the
// reason on the error stream.
void TellCannot(std::string& messages, std::string& err, Failure failure, const std::string& what,
                const std::string& reason);

// What every resource of one run shares.
struct RunPlan {
    int mode = MODE_EXTRACT;
    const ResourceSet* set = nullptr;
    int quiet = 0;                 // no resource lines, no "Kept existing"
    int noClobber = 0;             // never replace an existing file (extraction only)
    OutputTree* tree = nullptr;    // below outdir (extraction only)
    const char* outdir = nullptr;  // without trailing separators (extraction only)
    std::size_t outdirLength = 0;
    std::FILE* data = nullptr;  // where MODE_STDOUT writes the data
    Progress* progress = nullptr;
    int json = 0;     // MODE_LIST, MODE_TEST: a JSON document instead of the lines
    int verbose = 0;  // MODE_LIST: the lines in columns (VerboseLine)
    ListingTotals* totals = nullptr;  // of the resources printed so far
};

// What an output file's result prints, and what the run does after it:
// the one mapping for every file of every path. error is the reason of a
// failure.
ResourceOutcome TellOutput(const RunPlan& plan, OutputResult result, const char* path, int error,
                           ResourceReport& report);

// Begins the output file of the resource name at path (PATH_BYTES of
// room): 1, or 0 with the resource's outcome in *outcome and its message
// in report.
int BeginFile(const RunPlan& plan, const char* name, char* path, OutputFile& output, ResourceReport& report,
              ResourceOutcome* outcome);

// Ends the output file that BeginFile began: into place when the resource
// was delivered in full, else removed (unread says why).
ResourceOutcome EndFile(const RunPlan& plan, const char* name, const char* path, OutputFile& output, int delivered,
                        const std::string& unread, ResourceReport& report);

// What every mode does first for the resource in slot: its line, the
// refusal of an unsafe name, and the open of its stream. 1 when the stream
// is to be used (*opened and *size set), else 0 with the outcome in
// *outcome.
int StartResource(const RunPlan& plan, int slot, ResourceInput& stream, int* opened, std::uint32_t* size,
                  ResourceReport& report, ResourceOutcome* outcome);

// All the work of the resource in slot: its line, the refusal of an unsafe
// name, and the listing, test, copy or extraction that the mode asks for.
// Appends what it prints to report; data is a COPY_BYTES buffer of its own.
ResourceOutcome ProcessResource(const RunPlan& plan, int slot, unsigned char* data, ResourceReport& report);

// Prints a resource's report on out and err, keeping the progress line
// below it.
void PrintReport(const ResourceReport& report, std::FILE* out, std::FILE* err, Progress& progress);

// Prints the report of the resource in slot, in its turn, with its
// outcome: in a JSON listing its object stands for its lines on out.
void PrintResource(const RunPlan& plan, int slot, ResourceOutcome outcome, ResourceReport& report, std::FILE* out,
                   std::FILE* err, Progress& progress);

// The selected resources may go to worker threads: the mode reads data.
int MayRunInParallel(const ExtractOptions& options, int count);

// Runs the count selected resources in slots on worker threads, printing
// their reports in slot order as the sequential run does. Returns 1 when
// the run went through (failed resources counted in *failed), 0 when a
// resource ended it (its report printed).
int RunInParallel(const ExtractOptions& options, const RunPlan& plan, const int* slots, int count,
                  unsigned char* data, std::FILE* out, std::FILE* err, Progress& progress, unsigned* failed);

}  // namespace rux

#endif
