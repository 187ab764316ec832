#include "tool/options.h"

#include <getopt.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/console.h"
#include "tool/print.h"

#ifndef RUX_VERSION
#error "RUX_VERSION must be defined by the build"
#endif

const char* const EXTRACT_USAGE =
    "Usage: rux-extract [OPTIONS] FILE.rux [OUTDIR]\n"
    "\n"
    "Writes every resource of FILE.rux below OUTDIR (default: __NAME in the\n"
    "current directory, NAME being the resource file's own name), printing\n"
    "one line per resource: storage kind, name, size.\n"
    "\n"
    "  -l, --list          print the lines only; write nothing\n"
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

constexpr int MAX_JOBS = 256;

// getopt_long's value for each long option that has no short form, and the
// offset that tells a long option's own value from its short twin's, so an
// error names the option as it was typed.
constexpr int LONG_PROGRESS = 1000;
constexpr int LONG = 2000;

const char SHORT_OPTIONS[] = "+:ltOi:x:nqj:hV";

const struct option LONG_OPTIONS[] = {
    {"list", no_argument, nullptr, LONG + 'l'},
    {"test", no_argument, nullptr, LONG + 't'},
    {"to-stdout", no_argument, nullptr, LONG + 'O'},
    {"include", required_argument, nullptr, LONG + 'i'},
    {"exclude", required_argument, nullptr, LONG + 'x'},
    {"no-clobber", no_argument, nullptr, LONG + 'n'},
    {"quiet", no_argument, nullptr, LONG + 'q'},
    {"progress", no_argument, nullptr, LONG_PROGRESS},
    {"jobs", required_argument, nullptr, LONG + 'j'},
    {"help", no_argument, nullptr, LONG + 'h'},
    {"version", no_argument, nullptr, LONG + 'V'},
    {nullptr, 0, nullptr, 0},
};

// The option's name as typed: "-i" for a short one, "--include" for a long one.
std::string OptionName(int value) {
    if (value == LONG_PROGRESS) return "--progress";
    if (value >= LONG) {
        for (const struct option* o = LONG_OPTIONS; o->name; ++o) {
            if (o->val == value) return std::string("--") + o->name;
        }
    }
    return std::string("-") + static_cast<char>(value);
}

// The short form of a mode's option, for the message about two modes.
const char* ModeOption(int mode) {
    switch (mode) {
        case MODE_LIST: return "-l";
        case MODE_TEST: return "-t";
        default: return "-O";
    }
}

// N for -j: a plain decimal number from 1 to MAX_JOBS, else 0.
int ParseJobs(const char* text) {
    int jobs = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        jobs = jobs * 10 + (*p - '0');
        if (jobs > MAX_JOBS) return 0;
    }
    return jobs;
}

int DefaultJobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0) return 1;
    return cores < static_cast<unsigned>(MAX_JOBS) ? static_cast<int>(cores) : MAX_JOBS;
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CommandLine* line, std::FILE* out, std::FILE* err) {
    if (argc > 0 && argv[0]) line->program = argv[0];
    ExtractOptions& options = line->options;
    options.jobs = DefaultJobs();
    std::string problem;  // the first thing wrong, if any
    const auto Problem = [&problem](const std::string& what) {
        if (problem.empty()) problem = what;
    };
    int answer = 0;  // 'h' or 'V': the first of them asked for
    bool toStdout = false;
    std::string stdoutOption;  // -O or --to-stdout, as typed

    opterr = 0;  // every message is the tool's own
    optind = 1;
    for (;;) {
        const int got = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
        if (got == -1) break;
        if (got == '?') {
            // optopt: 0 for an unknown long option, the value of a known
            // long option given a value, or the unknown short option.
            if (optopt >= LONG) {
                Problem("Option " + OptionName(optopt) + " takes no value");
            } else if (optopt == LONG_PROGRESS) {
                Problem("Option --progress takes no value");
            } else if (optopt != 0) {
                Problem(std::string("Unknown option -") + static_cast<char>(optopt));
            } else {
                const char* word = argv[optind - 1];
                Problem("Unknown option " + std::string(word, std::strcspn(word, "=")));
            }
            continue;
        }
        if (got == ':') {
            // MinGW-w64's getopt_long also answers ':' for a value given to
            // a long option that takes none.
            bool takesValue = optopt < LONG_PROGRESS;
            for (const struct option* o = LONG_OPTIONS; o->name; ++o) {
                if (o->val == optopt) takesValue = o->has_arg != no_argument;
            }
            Problem("Option " + OptionName(optopt) + (takesValue ? " needs a value" : " takes no value"));
            continue;
        }
        if (got == LONG_PROGRESS) {
            options.progress = 1;
            continue;
        }
        const int option = got >= LONG ? got - LONG : got;
        int mode = MODE_EXTRACT;
        switch (option) {
            case 'l': mode = MODE_LIST; break;
            case 't': mode = MODE_TEST; break;
            case 'O':
                mode = MODE_STDOUT;
                toStdout = true;
                stdoutOption = OptionName(got);
                break;
            case 'i': line->includes.push_back(optarg); break;
            case 'x': line->excludes.push_back(optarg); break;
            case 'n': options.noClobber = 1; break;
            case 'q': options.quiet = 1; break;
            case 'j':
                options.jobs = ParseJobs(optarg);
                if (options.jobs == 0) {
                    Problem("Option " + OptionName(got) + " takes a number of jobs from 1 to " +
                            std::to_string(MAX_JOBS) + ", not '" + optarg + "'");
                    options.jobs = 1;
                }
                break;
            case 'h':
            case 'V':
                if (answer == 0) answer = option;
                break;
            default: Problem("Unknown option " + OptionName(got)); break;
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
    if (!problem.empty()) {
        // The words come from the command line, but may hold control bytes all the same.
        std::fprintf(messages, "%s\n", EscapedName(problem.c_str()).c_str());
        return PrintSyntax(messages, err, line->program);
    }
    if (answer == 'h') {
        std::fputs(EXTRACT_USAGE, out);
        rux::FlushStream(out);
        return 0;
    }
    if (answer == 'V') {
        std::fprintf(out, "rux-extract %s\n", RUX_VERSION);
        rux::FlushStream(out);
        return 0;
    }
    if (!line->resourceFile) return PrintSyntax(messages, err, line->program);
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
