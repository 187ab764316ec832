// rux-extract: writes every resource of a resource file below an output
// directory, printing one line per resource (kind, name, size); or lists,
// tests, or copies them to standard output, as the options say.
#include <cstdio>

#include "programs/cli.h"
#include "programs/extract_options.h"
#include "programs/extract_print.h"
#include "programs/signals.h"

int main(int argc, char** argv) {
    rux::CommandLine line;
    const int status = rux::ParseCommandLine(argc, argv, &line, stdout, stderr);
    if (status >= 0) return rux::CloseStandardOutput("rux-extract", status);
    // Only an extraction writes temporaries.
    if (line.options.mode == rux::MODE_EXTRACT) rux::RemoveTemporariesOnFatalSignals();
    const int extracted =
        rux::ExtractAndPrint(line.program, line.options, line.resourceFile, line.outputDirectory, stdout, stderr);
    // Every write to standard output is checked here, at its close.
    return rux::CloseStandardOutput("rux-extract", extracted);
}
