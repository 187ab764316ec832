// The command line of rux-pack:
//
//   rux-pack [OPTIONS] OUT.rux DIR
//
// Parsed with getopt_long as rux-extract's is, except that options may
// also follow the paths; "--" ends them.
#ifndef RUX_PROGRAMS_PACK_OPTIONS_H
#define RUX_PROGRAMS_PACK_OPTIONS_H

#include "pack/tree.h"

namespace rux {

// The usage text that --help prints.
extern const char* const PACK_USAGE;

// Reads argv into *options. Returns -1 when the run goes ahead. Otherwise
// it has printed its answer and returns the exit status: 0 after --help or
// --version on standard output; 1 after "rux-pack: " and what is wrong,
// then the line that points to --help, on standard error.
int ParsePackCommandLine(int argc, char** argv, PackOptions* options);

}  // namespace rux

#endif
