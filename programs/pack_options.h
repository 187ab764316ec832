// The command line of rux-pack:
//
//   rux-pack [OPTIONS] OUT.rux DIR
//
// Parsed with getopt_long as rux-extract's is, except that options may
// also follow the paths; "--" ends them.
#ifndef RUX_PROGRAMS_PACK_OPTIONS_H
#define RUX_PROGRAMS_PACK_OPTIONS_H

#include <string>
#include <vector>

#include "pack/tree.h"

namespace rux {

// The usage text that --help prints.
extern const char* const PACK_USAGE;

// What the command line asks for: the pack, and how it is shown.
struct PackCommandLine {
    PackOptions options;
    bool quiet = false;     // -q: no resource lines
    bool progress = false;  // --progress: a progress line, on a terminal
    // --patch-from: the base resource files, in the order given (a value
    // may join several with '+', as rux-diff's operands do).
    std::vector<std::string> patchFrom;
};

// Reads argv into *line. Returns -1 when the run goes ahead. Otherwise
// it has printed its answer and returns the exit status: 0 after --help or
// --version on standard output; 1 after "rux-pack: " and what is wrong,
// then the line that points to --help, on standard error.
int ParsePackCommandLine(int argc, char** argv, PackCommandLine* line);

}  // namespace rux

#endif
