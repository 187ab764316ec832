// What rux-extract prints, made from the events of the extraction engine
// (engine/events.h): one line per resource (kind, name, size), or the
// columns of -l -v, or the JSON document of --json; the messages of each
// failure and refusal, and their reasons on the error stream; the
// progress line; and what the run's summary adds at the end.
#ifndef RUX_PROGRAMS_EXTRACT_PRINT_H
#define RUX_PROGRAMS_EXTRACT_PRINT_H

#include <cstdio>
#include <string>

#include "engine/events.h"
#include "engine/extract.h"
#include "engine/listing.h"
#include "programs/progress.h"

namespace rux {

// Prints the syntax line naming program on out, then on err the line that
// points to --help; flushes both and returns 1, the exit status that goes
// with them.
int PrintSyntax(std::FILE* out, std::FILE* err, const char* program);

// Prints a run's events as they come: the lines and messages on out, or
// with the data (MODE_STDOUT) or a JSON document on out, every message on
// err. Reasons ("rux-extract: WHAT: REASON") go to err, and the progress
// line too when the options ask for it and err is a terminal.
class ExtractPrinter : public ExtractObserver {
public:
    ExtractPrinter(const ExtractOptions& options, const char* resourceFile, std::FILE* out, std::FILE* err);

    // Whether the progress line is drawn: the run is to tell progress.
    bool ShowsProgress() const { return showProgress_; }

    void RunBegins(unsigned selected, std::uint64_t listedBytes) override;
    void ResourceEnds(const ResourceEnd& end) override;
    void Progress(const ExtractProgress& progress) override;

    // Prints what the summary adds (a failure before the first resource,
    // the totals, the includes not found), flushes both streams, and
    // returns the exit status; program names the tool in the syntax line.
    int Finish(const ExtractSummary& summary, const char* program);

private:
    const ExtractOptions& options_;
    const char* resourceFile_;
    std::FILE* out_;
    std::FILE* err_;
    std::FILE* messages_;
    bool json_;
    bool verbose_;
    bool showProgress_;
    ListingTotals totals_;
    rux::Progress progress_;
    std::recursive_mutex drawing_;  // progress may come from a worker
};

// rux-extract's whole run: ExtractAll printed by an ExtractPrinter on out
// and err (the data of MODE_STDOUT on out), both flushed. The exit status.
int ExtractAndPrint(const char* program, const ExtractOptions& options, const char* resourceFile,
                    const char* outputDirectory, std::FILE* out, std::FILE* err);

}  // namespace rux

#endif
