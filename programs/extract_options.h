// The command line of rux-extract:
//
//   rux-extract [OPTIONS] FILE.rux [OUTDIR]
//
// Options come only before FILE.rux: the first argument that is not an
// option ends them, and so does "--". From FILE.rux on, every argument
// means what it always has: the output directory, then nothing (each such
// argument is named on standard error, "rux-extract: ignoring 'ARG'").
#ifndef RUX_PROGRAMS_EXTRACT_OPTIONS_H
#define RUX_PROGRAMS_EXTRACT_OPTIONS_H

#include <cstdio>
#include <vector>

#include "engine/extract.h"

namespace rux {

// What one run is asked to do. The patterns and paths point into argv.
struct CommandLine {
    const char* program = "rux-extract";
    ExtractOptions options;
    std::vector<const char*> includes;  // -i, in the order given
    std::vector<const char*> excludes;  // -x
    const char* resourceFile = nullptr;
    const char* outputDirectory = nullptr;  // null: the default
};

// The usage text that --help prints.
extern const char* const EXTRACT_USAGE;

// Reads argv into *line, with options.includes and options.excludes
// pointing at line's own lists (so line must stay where it is). Returns -1
// when the run goes ahead. Otherwise it has printed its answer on out and
// returns the exit status: 0 after --help or --version; 1 after the syntax
// line, which follows one line that says what is wrong with a bad option
// or with an OUTDIR given to -O (both on err instead when -O was among the
// options, keeping standard output for data), and is followed on err by
// the line that points to --help. Arguments after OUTDIR are warned about
// on err, and the run goes ahead.
int ParseCommandLine(int argc, char** argv, CommandLine* line, std::FILE* out, std::FILE* err);

}  // namespace rux

#endif
