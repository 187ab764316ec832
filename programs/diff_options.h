// The command line of rux-diff:
//
//   rux-diff [OPTIONS] OLD NEW
//
// Parsed with getopt_long as rux-pack's is: options may also follow the
// operands, and "--" ends them.
#ifndef RUX_PROGRAMS_DIFF_OPTIONS_H
#define RUX_PROGRAMS_DIFF_OPTIONS_H

#include <string>

#include "diff/diff.h"

namespace rux {

extern const char* const DIFF_USAGE;

struct DiffCommandLine {
    DiffOptions options;
    std::string old, now;  // OLD and NEW as given
    bool verbose = false;  // -v: the K lines too
    bool quiet = false;    // -q: the status only
    bool json = false;     // --json
};

// Reads argv into *line. -1 when the run goes ahead; otherwise it has
// printed its answer and returns the exit status: 0 after --help or
// --version, 2 after what is wrong and the line that points to --help.
int ParseDiffCommandLine(int argc, char** argv, DiffCommandLine* line);

}  // namespace rux

#endif
