// rux-extract: writes every resource of a resource file below an output
// directory, printing one line per resource (kind, name, size); or lists,
// tests, or copies them to standard output, as the options say.
#include <cstdio>

#include "tool/extract.h"
#include "tool/options.h"

int main(int argc, char** argv) {
    CommandLine line;
    const int status = ParseCommandLine(argc, argv, &line, stdout, stderr);
    if (status >= 0) return status;
    return ExtractAll(line.program, line.options, line.resourceFile, line.outputDirectory, stdout, stderr);
}
