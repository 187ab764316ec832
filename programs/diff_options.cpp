#include "programs/diff_options.h"

#include <getopt.h>

#include <cstdio>

#include "common/print.h"
#include "platform/console.h"
#include "programs/cli.h"

namespace rux {

const char* const DIFF_USAGE =
    "Usage: rux-diff [OPTIONS] OLD NEW\n"
    "       rux-diff --help | --version\n"
    "\n"
    "Shows what changed between two versions of a set of resources. OLD and\n"
    "NEW are each a resource file, a directory, or resource files joined by\n"
    "'+' after '.rux' (patch.rux+base.rux): their union as rux-mount shows\n"
    "it, the first file given winning a name. One line per name that differs,\n"
    "in name order, and a summary on standard error:\n"
    "  A NAME   added: in NEW only\n"
    "  D NAME   deleted: in OLD only\n"
    "  M NAME   changed: its bytes differ\n"
    "  K NAME   the same bytes listed otherwise: another storage kind, block\n"
    "           length or spelling of the name (with -v only)\n"
    "\n"
    "  -v, --verbose       also print the K lines\n"
    "  -q, --quiet         print nothing but trouble; stop at the first change\n"
    "      --json          one JSON document on standard output instead of the\n"
    "                      lines (K entries included)\n"
    "  -i, --include=GLOB  only names that match (repeatable)\n"
    "  -x, --exclude=GLOB  leave out names that match (repeatable; wins over -i)\n"
    "  -j, --jobs=N        threads, 1 to 256 (default: one per core)\n"
    "  -h, --help          print this and exit\n"
    "  -V, --version       print the version and exit\n"
    "\n"
    "Names match as rux-extract -i matches them: ASCII letters in either case,\n"
    "'/' and '\\' alike. Bytes are compared in full; deflated blocks whose\n"
    "packed bytes are equal on both sides are equal without inflating. An\n"
    "argument that names an existing file or directory is taken whole.\n"
    "Exit status: 0 when nothing differs, 1 when something does, 2 on trouble.\n";

namespace {

constexpr int LONG_JSON = 1000;

const char SHORT_OPTIONS[] = ":vqi:x:j:hV";

const struct option LONG_OPTIONS[] = {
    {"verbose", no_argument, nullptr, LONG_OPTION + 'v'},
    {"quiet", no_argument, nullptr, LONG_OPTION + 'q'},
    {"json", no_argument, nullptr, LONG_JSON},
    {"include", required_argument, nullptr, LONG_OPTION + 'i'},
    {"exclude", required_argument, nullptr, LONG_OPTION + 'x'},
    {"jobs", required_argument, nullptr, LONG_OPTION + 'j'},
    {"help", no_argument, nullptr, LONG_OPTION + 'h'},
    {"version", no_argument, nullptr, LONG_OPTION + 'V'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int ParseDiffCommandLine(int argc, char** argv, DiffCommandLine* line) {
    line->options.jobs = DefaultWorkers();
    OptionScan scan(argc, argv, SHORT_OPTIONS, LONG_OPTIONS);
    for (int option; (option = scan.Next()) != -1;) {
        switch (option) {
            case 'v': line->verbose = true; break;
            case 'q': line->quiet = line->options.firstOnly = true; break;
            case LONG_JSON: line->json = true; break;
            case 'i': line->options.include.push_back(optarg); break;
            case 'x': line->options.exclude.push_back(optarg); break;
            case 'j': line->options.jobs = scan.Jobs(); break;
            default: scan.Problem("Unknown option " + scan.Name()); break;
        }
    }
    const int operands = argc - optind;
    if (line->quiet && (line->json || line->verbose)) {
        scan.Problem(std::string("Option -q cannot be given with ") + (line->json ? "--json" : "-v"));
    }
    if (scan.problem().empty() && scan.answer() == 0) {
        if (operands < 2) {
            scan.Problem("needs OLD and NEW");
        } else if (operands > 2) {
            scan.Problem(std::string("too many arguments: ") + argv[optind + 2]);
        } else if (argv[optind][0] == '\0' || argv[optind + 1][0] == '\0') {
            scan.Problem("empty path");
        }
    }
    if (!scan.problem().empty()) {
        FlushStream(stdout);
        std::fprintf(stderr, "rux-diff: %s\n", EscapedName(scan.problem().c_str()).c_str());
        PrintTryHelp(stderr, "rux-diff");
        return 2;
    }
    if (scan.Answer(stdout, DIFF_USAGE, "rux-diff")) return 0;
    line->old = argv[optind];
    line->now = argv[optind + 1];
    return -1;
}

}  // namespace rux
