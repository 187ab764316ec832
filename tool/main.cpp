// rux-extract: writes every resource of a resource file below an output
// directory, printing one line per resource (kind, name, size).
//
//   rux-extract FILE.rux [OUTDIR]
//   rux-extract --help | --version   (only when no such file exists)
//
// OUTDIR defaults to __NAME in the current directory, NAME being the
// resource file's name without its directories. Exit status 0 only when
// every listed resource was written in full.
#include <cstdio>

#include "tool/extract.h"
#include "tool/info.h"

int main(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "rux-extract";
    if (argc < 2) return PrintSyntax(stdout, program);
    if (AnswerInfoOption(argv[1], EXTRACT_USAGE, 1)) return 0;
    const ExtractOptions options;
    return ExtractAll(program, options, argv[1], argc > 2 ? argv[2] : nullptr, stdout, stderr);
}
