#include "programs/pack_options.h"

#include <getopt.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "diff/diff.h"
#include "platform/console.h"
#include "pack/writer.h"
#include "programs/cli.h"
#include "resource/blocks.h"
#include "common/print.h"

namespace rux {

const char* const PACK_USAGE =
    "Usage: rux-pack [OPTIONS] OUT.rux DIR\n"
    "       rux-pack --help | --version\n"
    "\n"
    "Packs every regular file below DIR, in sorted order, into the resource\n"
    "file OUT.rux. A resource's name is the file's path relative to DIR.\n"
    "\n"
    "  --block-size N  inflated length of deflated blocks, 1 to 16777216 (65536)\n"
    "  --level L       deflate level for the blocks and tables (6): 0 to 12\n"
    "                  where libdeflate deflates, 0 to 9 where zlib does\n"
    "  --store GLOB    keep matching files uncompressed (repeatable)\n"
    "  --loose GLOB    list matching files as loose resources and copy each\n"
    "                  to OUT.rux immediately followed by its name (repeatable)\n"
    "  --backslash     separate directories in names with '\\' instead of '/'\n"
    "  -x, --exclude GLOB  leave out matching files, and directories with all\n"
    "                  they hold; ASCII case is ignored (repeatable)\n"
    "  -u, --update    make OUT.rux hold exactly DIR's tree, as a fresh pack\n"
    "                  would, copying the blocks of unchanged files from it\n"
    "  --patch-from BASE  pack only the files that BASE.rux lacks or holds\n"
    "                  with other bytes: a patch, to mount over BASE.rux;\n"
    "                  repeatable, or BASE.rux+OLDER.rux (the first wins a name)\n"
    "  -j, --jobs N    deflating threads, 1 to 256 (default: one per core);\n"
    "                  the output is the same for every N\n"
    "  -q, --quiet     no resource lines; failures still print\n"
    "      --progress  keep a progress line on standard error (when it is a\n"
    "                  terminal)\n"
    "  -h, --help      print this and exit\n"
    "  -V, --version   print the version and exit\n"
    "\n"
    "GLOBs match the whole relative name with '/' separators ('\\' in a GLOB\n"
    "matches '/' too; [*] and [?] match '*' and '?'); '*' matches across\n"
    "directories. A file whose blocks would not be smaller than the\n"
    "file itself is stored. Prints one line per resource: kind, name, size.\n"
    "Links to directories, dangling links and special files are left out\n"
    "with a warning; a link to a file outside DIR is packed as a copy, with\n"
    "a warning. Options may come before or after the paths; \"--\" ends them.\n";

namespace {

// getopt_long's values for the options with no short form (see
// programs/cli.h for the convention).
enum : int { BLOCK_SIZE = 1000, LEVEL, STORE, LOOSE, BACKSLASH, PROGRESS, PATCH_FROM };

// No '+': options may follow the paths, as they always could.
const char SHORT_OPTIONS[] = ":x:j:uqhV";

const struct option LONG_OPTIONS[] = {
    {"block-size", required_argument, nullptr, BLOCK_SIZE},
    {"level", required_argument, nullptr, LEVEL},
    {"store", required_argument, nullptr, STORE},
    {"loose", required_argument, nullptr, LOOSE},
    {"backslash", no_argument, nullptr, BACKSLASH},
    {"exclude", required_argument, nullptr, LONG_OPTION + 'x'},
    {"jobs", required_argument, nullptr, LONG_OPTION + 'j'},
    {"update", no_argument, nullptr, LONG_OPTION + 'u'},
    {"quiet", no_argument, nullptr, LONG_OPTION + 'q'},
    {"progress", no_argument, nullptr, PROGRESS},
    {"patch-from", required_argument, nullptr, PATCH_FROM},
    {"help", no_argument, nullptr, LONG_OPTION + 'h'},
    {"version", no_argument, nullptr, LONG_OPTION + 'V'},
    {nullptr, 0, nullptr, 0},
};

int BadUsage(const std::string& problem) {
    FlushStream(stdout);
    // The words come from the command line, but may hold control bytes all the same.
    std::fprintf(stderr, "rux-pack: %s\n", EscapedName(problem.c_str()).c_str());
    PrintTryHelp(stderr, "rux-pack");
    return 1;
}

}  // namespace

int ParsePackCommandLine(int argc, char** argv, PackCommandLine* line) {
    PackOptions* options = &line->options;
    options->jobs = DefaultWorkers();
    OptionScan scan(argc, argv, SHORT_OPTIONS, LONG_OPTIONS);
    const auto Problem = [&scan](const std::string& what) { scan.Problem(what); };
    for (int option; (option = scan.Next()) != -1;) {
        const std::string name = scan.Name();
        std::uint64_t number = 0;
        switch (option) {
            case BLOCK_SIZE:
                // rux-extract reads no longer block.
                if (!ParseNumber(optarg, MAX_BLOCK_BYTES, &number) || number == 0) {
                    Problem("Option " + name + " takes a whole number from 1 to " +
                            std::to_string(MAX_BLOCK_BYTES) +
                            " (the longest block rux-extract reads), not '" + optarg + "'");
                }
                options->blockSize = static_cast<std::uint32_t>(number);
                break;
            case LEVEL:
                if (ParseNumber(optarg, 12, &number) && number > std::uint64_t(MaxPackLevel())) {
                    // Levels 10 to 12 exist, but not in this build.
                    Problem("Option " + name + " takes a level from 0 to " +
                            std::to_string(MaxPackLevel()) + " in this build, which deflates with " +
                            DeflateBackEnd() + " (levels 10 to 12 need libdeflate), not '" + optarg + "'");
                } else if (!ParseNumber(optarg, std::uint64_t(MaxPackLevel()), &number)) {
                    Problem("Option " + name + " takes a level from 0 to " +
                            std::to_string(MaxPackLevel()) + ", not '" + optarg + "'");
                }
                options->level = static_cast<int>(number);
                break;
            case STORE: options->store.push_back(optarg); break;
            case LOOSE: options->loose.push_back(optarg); break;
            case BACKSLASH: options->backslash = true; break;
            case 'x': options->exclude.push_back(optarg); break;
            case 'j': options->jobs = scan.Jobs(); break;
            case 'u': options->update = true; break;
            case 'q': line->quiet = true; break;
            case PROGRESS: line->progress = true; break;
            case PATCH_FROM:
                for (const std::string& base : SplitUnion(optarg)) line->patchFrom.push_back(base);
                break;
            default: Problem("Unknown option " + name); break;
        }
    }
    const int positional = argc - optind;
    if (scan.problem().empty() && scan.answer() == 0) {
        if (positional < 2) {
            Problem("needs OUT.rux and DIR");
        } else if (positional > 2) {
            Problem(std::string("too many arguments: ") + argv[optind + 2]);
        } else if (argv[optind][0] == '\0' || argv[optind + 1][0] == '\0') {
            Problem("empty path");
        }
    }
    if (options->update && !line->patchFrom.empty()) Problem("Options -u and --patch-from cannot be given together");
    if (!scan.problem().empty()) return BadUsage(scan.problem());
    if (scan.Answer(stdout, PACK_USAGE, "rux-pack")) return 0;
    options->out = argv[optind];
    options->dir = argv[optind + 1];
    // A patch is also written DIR PATCH.rux, in the order the option reads.
    std::error_code ec;
    if (!line->patchFrom.empty() && std::filesystem::is_directory(NativePath(options->out), ec) &&
        !std::filesystem::is_directory(NativePath(options->dir), ec)) {
        std::swap(options->out, options->dir);
    }
    return -1;
}

}  // namespace rux
