#include "programs/extract_options.h"

#include <getopt.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "programs/cli.h"
#include "programs/extract_print.h"
#include "common/print.h"

namespace rux {

const char* const EXTRACT_USAGE =
    "Usage: rux-extract [OPTIONS] FILE.rux [OUTDIR]\n"
    "\n"
    "Writes every resource of FILE.rux below OUTDIR (default: __NAME in the\n"
    "current directory, NAME being the resource file's own name), printing\n"
    "one line per resource: storage kind, name, size.\n"
    "\n"
    "  -l, --list          print the lines only; write nothing\n"
    "  -v, --verbose       with -l: columns of kind, size, packed size, ratio\n"
    "                      and blocks, and a totals line\n"
    "      --json          with -l or -t: one JSON document on standard\n"
    "                      output instead of the lines\n"
    "  -t, --test          read every resource in full, write nothing, and\n"
    "                      end with a count of those read and those failed\n"
    "  -O, --to-stdout     write the data to standard output, one resource\n"
    "                      after another; messages go to standard error\n"
    "  -i, --include=GLOB  only resources whose name matches (repeatable)\n"
    "  -x, --exclude=GLOB  leave out resources whose name matches\n"
    "                      (repeatable; wins over -i)\n"
    "  -n, --no-clobber    never replace an existing file (\"Kept existing\")\n"
    "  -q, --quiet         no resource lines; failures still print\n"
    "      --progress      keep a progress line on standard error (when it\n"
    "                      is a terminal)\n"
    "  -j, --jobs=N        worker threads, 1 to 256 (default: one per core)\n"
    "  -h, --help          print this and exit\n"
    "  -V, --version       print the version and exit\n"
    "\n"
    "Options go before FILE.rux; \"--\" ends them. A GLOB matches the whole\n"
    "name: * any run of bytes, / included; ? one byte; [set] one of a set;\n"
    "letters match either case; / and \\ each match either separator;\n"
    "[*] and [?] match * and ?. An -i GLOB that matches no name is an error.\n"
    "\n"
    "Stored and loose resources carry no checksum, so -t can only prove\n"
    "that their bytes are present; deflated data is checked against its own.\n"
    "The exit status is 0 only when everything asked for was done.\n";

namespace {

// getopt_long's value for --progress, which has no short form (see
// programs/cli.h for the convention).
constexpr int LONG_PROGRESS = 1000;
constexpr int LONG_JSON = 1001;
constexpr int LONG = LONG_OPTION;

const char SHORT_OPTIONS[] = "+:ltOi:x:nqvj:hV";

const struct option LONG_OPTIONS[] = {
    {"list", no_argument, nullptr, LONG + 'l'},
    {"test", no_argument, nullptr, LONG + 't'},
    {"to-stdout", no_argument, nullptr, LONG + 'O'},
    {"include", required_argument, nullptr, LONG + 'i'},
    {"exclude", required_argument, nullptr, LONG + 'x'},
    {"no-clobber", no_argument, nullptr, LONG + 'n'},
    {"quiet", no_argument, nullptr, LONG + 'q'},
    {"progress", no_argument, nullptr, LONG_PROGRESS},
    {"json", no_argument, nullptr, LONG_JSON},
    {"verbose", no_argument, nullptr, LONG + 'v'},
    {"jobs", required_argument, nullptr, LONG + 'j'},
    {"help", no_argument, nullptr, LONG + 'h'},
    {"version", no_argument, nullptr, LONG + 'V'},
    {nullptr, 0, nullptr, 0},
};

// The short form of a mode's option, for the message about two modes.
const char* ModeOption(int mode) {
    switch (mode) {
        case MODE_LIST: return "-l";
        case MODE_TEST: return "-t";
        default: return "-O";
    }
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CommandLine* line, std::FILE* out, std::FILE* err) {
    if (argc > 0 && argv[0]) line->program = argv[0];
    ExtractOptions& options = line->options;
    options.jobs = DefaultWorkers();
    OptionScan scan(argc, argv, SHORT_OPTIONS, LONG_OPTIONS);
    const auto Problem = [&scan](const std::string& what) { scan.Problem(what); };
    bool toStdout = false;
    std::string stdoutOption;  // -O or --to-stdout, as typed

    for (int option; (option = scan.Next()) != -1;) {
        if (option == LONG_PROGRESS) {
            options.progress = 1;
            continue;
        }
        if (option == LONG_JSON) {
            options.json = 1;
            continue;
        }
        int mode = MODE_EXTRACT;
        switch (option) {
            case 'l': mode = MODE_LIST; break;
            case 't': mode = MODE_TEST; break;
            case 'O':
                mode = MODE_STDOUT;
                toStdout = true;
                stdoutOption = scan.Name();
                break;
            case 'i': line->includes.push_back(optarg); break;
            case 'x': line->excludes.push_back(optarg); break;
            case 'n': options.noClobber = 1; break;
            case 'q': options.quiet = 1; break;
            case 'v': options.verbose = 1; break;
            case 'j': options.jobs = scan.Jobs(); break;
            default: Problem("Unknown option " + scan.Name()); break;
        }
        if (mode != MODE_EXTRACT) {
            if (options.mode != MODE_EXTRACT && options.mode != mode) {
                Problem(std::string("Options ") + ModeOption(options.mode) + " and " + ModeOption(mode) +
                        " cannot be given together");
            } else {
                options.mode = mode;
            }
        }
    }
    // The listing's forms need a listing.
    if (options.json && options.mode != MODE_LIST && options.mode != MODE_TEST) {
        Problem("Option --json goes with -l or -t");
    }
    if (options.verbose && options.mode != MODE_LIST) Problem("Option -v goes with -l");
    if (options.verbose && options.json) Problem("Options -v and --json cannot be given together");
    options.includes = line->includes.data();
    options.includeCount = static_cast<int>(line->includes.size());
    options.excludes = line->excludes.data();
    options.excludeCount = static_cast<int>(line->excludes.size());

    if (optind < argc) line->resourceFile = argv[optind];
    if (optind + 1 < argc) line->outputDirectory = argv[optind + 1];
    // The data go to standard output: an output directory is a mistake.
    if (toStdout && line->outputDirectory) {
        Problem("Option " + stdoutOption + " writes to standard output: it takes no OUTDIR ('" +
                line->outputDirectory + "')");
    }

    std::FILE* messages = toStdout ? err : out;
    if (!scan.problem().empty()) {
        // The words come from the command line, but may hold control bytes all the same.
        std::fprintf(messages, "%s\n", EscapedName(scan.problem().c_str()).c_str());
        return PrintSyntax(messages, err, line->program);
    }
    if (scan.Answer(out, EXTRACT_USAGE, "rux-extract")) return 0;
    if (!line->resourceFile) return PrintSyntax(messages, err, line->program);
    // An option given after FILE.rux would name the output directory: it is
    // refused rather than taken for one.
    // After "--" it is what the user meant.
    const bool optionsEnded = optind > 1 && std::strcmp(argv[optind - 1], "--") == 0;
    if (line->outputDirectory && line->outputDirectory[0] == '-' && !optionsEnded) {
        const std::string word = EscapedName(line->outputDirectory);
        std::fprintf(err, "rux-extract: '%s' after FILE.rux: options go before FILE.rux (write ./%s for a directory of that name)\n",
                     word.c_str(), word.c_str());
        std::fflush(err);
        return 1;
    }
    // Arguments after OUTDIR mean nothing, as they always have; each is
    // named, so that an option given too late is not taken for done.
    for (int i = optind + 2; i < argc; ++i) {
        const std::string word = EscapedName(argv[i]);
        const bool option = argv[i][0] == '-' && argv[i][1] != '\0';
        std::fprintf(err, "rux-extract: ignoring '%s'%s\n", word.c_str(),
                     option ? ": options go before FILE.rux" : "");
    }
    std::fflush(err);
    return -1;
}

}  // namespace rux
