// rux-pack: packs every regular file below a directory into a resource
// file, one resource each, named by its path relative to the directory.
//
//   rux-pack [OPTIONS] OUT.rux DIR
//
// Prints one line per resource as rux-extract does (kind, name, size). The
// file is written beside OUT as a temporary that gets its name only when
// complete (platform/output_dir.h), and so is each loose copy. Exit status
// 0 only when everything was written.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "pack/writer.h"
#include "platform/console.h"
#include "platform/output_dir.h"
#include "resource/ascii.h"
#include "resource/blocks.h"
#include "resource/index.h"
#include "tool/glob.h"
#include "tool/info.h"
#include "tool/names.h"
#include "tool/print.h"
#include "tool/reason.h"

using namespace rux;

namespace fs = std::filesystem;

namespace {

const char* const USAGE =
    "Usage: rux-pack [OPTIONS] OUT.rux DIR\n"
    "       rux-pack --help | --version\n"
    "\n"
    "Packs every regular file below DIR, in sorted order, into the resource\n"
    "file OUT.rux. A resource's name is the file's path relative to DIR.\n"
    "\n"
    "  --block-size N  inflated length of deflated blocks, 1 to 16777216 (65536)\n"
    "  --level L       zlib level 0-9 for the blocks and tables (6)\n"
    "  --store GLOB    keep matching files uncompressed (repeatable)\n"
    "  --loose GLOB    list matching files as loose resources and copy each\n"
    "                  to OUT.rux immediately followed by its name (repeatable)\n"
    "  --backslash     separate directories in names with '\\' instead of '/'\n"
    "  -x, --exclude GLOB  leave out matching files, and directories with all\n"
    "                  they hold; ASCII case is ignored (repeatable)\n"
    "\n"
    "GLOBs match the whole relative name with '/' separators ('\\' in a GLOB\n"
    "matches '/' too; [*] and [?] match '*' and '?'); '*' matches across\n"
    "directories. A file whose blocks would not be smaller than the\n"
    "file itself is stored. Prints one line per resource: kind, name, size.\n"
    "Links to directories, dangling links and special files are left out\n"
    "with a warning; a link to a file outside DIR is packed as a copy, with\n"
    "a warning.\n";

struct Options {
    std::string out;
    std::string dir;
    std::uint32_t blockSize = 65536;
    int level = 6;
    std::vector<std::string> store;
    std::vector<std::string> loose;
    std::vector<std::string> exclude;
    bool backslash = false;
};

struct Entry {
    std::string relative;  // '/' separators; the sort key and what GLOBs see
    std::string name;      // as written into the resource file
    std::string path;      // to open
    std::uint64_t size;    // when the tree was walked
};

// Messages name paths from the tree, so control bytes in them are escaped.
int Fail(const std::string& message) {
    FlushStream(stdout);
    std::fprintf(stderr, "rux-pack: %s\n", EscapedName(message.c_str()).c_str());
    return 1;
}

// A file not packed as it is: its path and what became of it.
struct Warning {
    std::string path;
    std::string what;
    bool operator<(const Warning& other) const { return path < other.path; }
};

void PrintWarnings(std::vector<Warning> warnings) {
    std::sort(warnings.begin(), warnings.end());
    for (const Warning& warning : warnings) {
        std::fprintf(stderr, "rux-pack: warning: %s: %s\n",
                     EscapedName(warning.path.c_str()).c_str(), warning.what.c_str());
    }
}

int BadUsage(const std::string& message) {
    Fail(message);
    std::fprintf(stderr, "Try 'rux-pack --help' for more information.\n");
    return 1;
}

// The path DiskFile would open: on POSIX it reads every '\' as '/', and
// the directory walk and renames must agree with it.
std::string NativePath(std::string path) {
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
}

// Decimal digits only, at most max.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

// -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // -xGLOB is -x GLOB.
        const bool shortExclude = arg.compare(0, 2, "-x") == 0;
        const std::size_t equals = shortExclude ? std::string::npos : arg.find('=');
        const std::string key = shortExclude ? "--exclude" : arg.substr(0, equals);
        const bool inlineValue = shortExclude ? arg.size() > 2 : equals != std::string::npos;
        if (key == "--help" || key == "--version" || key == "--backslash") {
            if (inlineValue) return BadUsage("option " + key + " takes no value");
            if (key == "--backslash") {
                options->backslash = true;
                continue;
            }
            AnswerInfoOption(key.c_str(), USAGE, 0);
            return 0;
        }
        if (key != "--block-size" && key != "--level" && key != "--store" && key != "--loose" &&
            key != "--exclude") {
            return BadUsage("unknown option " + arg);
        }
        std::string value;
        if (inlineValue) {
            value = arg.substr(shortExclude ? 2 : equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return BadUsage("option " + key + " needs a value");
        }
        std::uint64_t number = 0;
        if (key == "--block-size") {
            // rux-extract reads no longer block.
            if (!ParseNumber(value, MAX_BLOCK_BYTES, &number) || number == 0) {
                return BadUsage("--block-size needs a whole number from 1 to " +
                                std::to_string(MAX_BLOCK_BYTES) +
                                " (the longest block rux-extract reads), not '" + value + "'");
            }
            options->blockSize = static_cast<std::uint32_t>(number);
        } else if (key == "--level") {
            if (!ParseNumber(value, 9, &number)) {
                return BadUsage("--level needs a number from 0 to 9, not '" + value + "'");
            }
            options->level = static_cast<int>(number);
        } else if (key == "--exclude") {
            options->exclude.push_back(value);
        } else {
            (key == "--store" ? options->store : options->loose).push_back(value);
        }
    }
    if (positional.size() != 2) {
        return BadUsage(positional.size() < 2 ? "needs OUT.rux and DIR"
                                              : "too many arguments: " + positional[2]);
    }
    options->out = positional[0];
    options->dir = positional[1];
    if (options->out.empty() || options->dir.empty()) return BadUsage("empty path");
    return -1;
}

bool MatchesAny(const std::vector<std::string>& globs, const std::string& name) {
    for (const std::string& glob : globs) {
        if (MatchesGlob(glob.c_str(), name.c_str())) return true;
    }
    return false;
}

bool Excluded(const Options& options, const std::string& relative) {
    for (const std::string& glob : options.exclude) {
        if (MatchesNameGlob(glob.c_str(), relative.c_str())) return true;
    }
    return false;
}

// Whether path lies below root; both canonical.
bool IsBelow(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (r->empty()) continue;  // the trailing "" of a root ending in a separator
        if (p == path.end() || *p != *r) return false;
    }
    return p != path.end();
}

struct WalkState {
    const Options* options;
    fs::path root;  // DIR, canonical
    std::vector<Entry>* entries;
    std::vector<Warning>* warnings;
    std::string* error;
};

// Collects the regular files below dir, and symbolic links to them;
// directories are entered, except through symbolic links. Excluded files
// and directories are passed over without a word; whatever else is not
// packed gets a warning.
bool Walk(const WalkState& state, const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string relative = prefix + path.filename().string();
        if (Excluded(*state.options, relative)) continue;
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        if (statusError) {
            *state.error = "cannot read " + path.string() + ": " + statusError.message();
            return false;
        }
        if (fs::is_directory(status)) {
            if (!Walk(state, path, relative + "/")) return false;
            continue;
        }
        fs::file_status target = status;
        if (fs::is_symlink(status)) {
            target = fs::status(path, statusError);
            if (statusError || !fs::exists(target)) {
                state.warnings->push_back({path.string(), "dangling link, left out"});
                continue;
            }
            if (fs::is_directory(target)) {
                state.warnings->push_back({path.string(), "link to a directory, left out"});
                continue;
            }
            if (!fs::is_regular_file(target)) {
                state.warnings->push_back({path.string(), "link to a special file, left out"});
                continue;
            }
            const fs::path real = fs::canonical(path, statusError);
            if (statusError || !IsBelow(real, state.root)) {
                state.warnings->push_back(
                    {path.string(), "link to a file outside " + state.options->dir + ", packed as a copy"});
            }
        }
        if (fs::is_regular_file(target)) {
            const std::uintmax_t size = fs::file_size(path, statusError);
            state.entries->push_back({relative, relative, path.string(), statusError ? 0 : size});
        } else if (fs::is_fifo(target)) {
            state.warnings->push_back({path.string(), "FIFO, left out"});
        } else if (fs::is_block_file(target) || fs::is_character_file(target)) {
            state.warnings->push_back({path.string(), "device, left out"});
        } else if (fs::is_socket(target)) {
            state.warnings->push_back({path.string(), "socket, left out"});
        } else {
            state.warnings->push_back({path.string(), "not a regular file, left out"});
        }
    }
    if (ec) {
        *state.error = "cannot read directory " + dir.string() + ": " + ec.message();
        return false;
    }
    return true;
}


std::string Normalized(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(fs::path(path), ec);
    return (ec ? fs::path(path) : absolute).lexically_normal().string();
}

std::uint32_t KindOf(const Options& options, const Entry& entry) {
    if (MatchesAny(options.loose, entry.relative)) return KIND_LOOSE;
    return MatchesAny(options.store, entry.relative) ? KIND_STORED : KIND_DEFLATED;
}

// Every reason not to pack these entries, one line each; empty if none.
std::vector<std::string> Refusals(const Options& options, const std::vector<Entry>& entries) {
    std::vector<std::string> refusals;
    if (entries.size() > static_cast<std::size_t>(INDEX_SLOTS)) {
        refusals.push_back(options.dir + " holds " + std::to_string(entries.size()) +
                           " files; a resource file holds at most " +
                           std::to_string(INDEX_SLOTS) + " (-x leaves files out)");
        return refusals;
    }
    // Each table must inflate to no more than rux-extract reads.
    TableSizes tables;
    for (const Entry& entry : entries) {
        CountResource(&tables, entry.name.size(), KindOf(options, entry), entry.size,
                      options.blockSize);
    }
    const auto tooLarge = [&](const char* table, std::uint64_t bytes, const char* remedy) {
        if (bytes <= MAX_TABLE_BYTES) return;
        refusals.push_back(std::string("the ") + table + " table would inflate to " +
                           std::to_string(bytes) + " bytes, more than the " +
                           std::to_string(MAX_TABLE_BYTES) + " that rux-extract reads; " +
                           remedy);
    };
    tooLarge("directory", tables.directory, "pack fewer files (-x leaves files out)");
    tooLarge("names", tables.names,
             "pack fewer files or shorter paths (-x leaves files out)");
    tooLarge("block offset", tables.blockOffsets,
             "use a larger --block-size, or pack fewer or smaller files");
    for (const Entry& entry : entries) {
        if (entry.relative.find('\\') != std::string::npos) {
            refusals.push_back("refused name " + entry.relative +
                               ": rux-extract reads '\\' as a directory separator");
        } else if (IsUnsafeName(entry.name.c_str(), 0) || IsUnsafeName(entry.name.c_str(), 1)) {
            refusals.push_back("refused unsafe name " + entry.name +
                               ": rux-extract would not write it on every platform");
        }
    }
    // Names are looked up without regard to ASCII case.
    std::vector<std::pair<std::string, std::string>> folded;
    for (const Entry& entry : entries) folded.push_back({rux::FoldedAscii(entry.name), entry.name});
    std::sort(folded.begin(), folded.end());
    for (std::size_t i = 1; i < folded.size(); ++i) {
        if (folded[i].first == folded[i - 1].first) {
            refusals.push_back("refused names " + folded[i - 1].second + " and " +
                               folded[i].second + ": they differ only in case");
        }
    }
    // Writing OUT or a loose copy must not replace a file being packed.
    std::set<std::string> sources;
    for (const Entry& entry : entries) sources.insert(Normalized(entry.path));
    std::vector<std::string> targets = {options.out};
    for (const Entry& entry : entries) {
        if (MatchesAny(options.loose, entry.relative)) targets.push_back(options.out + entry.name);
    }
    for (const std::string& target : targets) {
        if (sources.count(Normalized(NativePath(target)))) {
            refusals.push_back("refused to overwrite " + target + ", one of the files being packed");
        }
    }
    return refusals;
}

// ": " and the reason that the last failed call kept, or "".
std::string Because() {
    const int code = LastError();
    return code ? ": " + ErrorText(code) : "";
}

// A file being written as a temporary in the directory of its path, which
// gets that name only when complete.
struct Temporary {
    FileHandle dir = INVALID_FILE_HANDLE;
    int slot = -1;
    DiskFile file;
    std::size_t start = 0;  // where the file's own name begins in path
};

// Begins the temporary for path: 1, or 0 with a message.
bool BeginTemporary(const std::string& path, Temporary* t, std::string* error) {
    const std::size_t cut = path.find_last_of(
#ifdef _WIN32
        "/\\"
#else
        "/"
#endif
    );
    t->start = cut == std::string::npos ? 0 : cut + 1;
    const std::string directory = t->start == 0 ? "." : path.substr(0, t->start);
    if (!OpenDirectory(directory.c_str(), &t->dir)) {
        *error = "cannot write " + path + Because();
        return false;
    }
    t->slot = CreateTemporary(t->dir, path.c_str(), t->start, &t->file);
    if (t->slot < 0) {
        *error = "cannot create a temporary file beside " + path + Because();
        CloseDirectory(t->dir);
        return false;
    }
    return true;
}

// Drops the temporary: nothing of it is left.
void AbortTemporaryFile(Temporary* t) {
    t->file.Close();
    AbortTemporary(t->slot);
    CloseDirectory(t->dir);
}

// Gives the complete (and flushed) temporary its name, replacing a file of
// that name, then makes the new name itself durable.
bool CommitTemporaryFile(Temporary* t, const std::string& path, std::string* error) {
    const int committed = CommitTemporary(t->slot, &t->file, path.c_str(), t->start, 1);
    const int reason = LastError();
    CloseDirectory(t->dir);
    if (committed != COMMIT_DONE) {
        KeepError(reason);
        *error = "cannot write " + path + Because();
        return false;
    }
    const std::string directory = t->start == 0 ? "." : path.substr(0, t->start);
    if (!SyncDirectory(directory.c_str())) {
        *error = "cannot flush directory " + directory + " to the disk" + Because();
        return false;
    }
    return true;
}

// Copies a loose resource to its place, by way of a temporary file.
bool WriteLoose(const std::string& out, const std::string& name, const PackSource& source,
                std::string* error) {
    const std::string path = NativePath(out + name);
    MakeParentDirectories(path, NativePath(out).size());
    Temporary t;
    if (!BeginTemporary(path, &t, error)) return false;
    KeepError(0);
    if (!CopySource(t.file, source) || !t.file.Flush()) {
        *error = "cannot write loose file " + path + Because();
        AbortTemporaryFile(&t);
        return false;
    }
    return CommitTemporaryFile(&t, path, error);
}

// What a file looked like when its reading began: any change by its end
// means the bytes packed may be of no one moment.
struct FileState {
    std::int64_t size = -1;
    fs::file_time_type modified{};
    bool known = false;
};

FileState StateOf(DiskFile& file, const std::string& path) {
    FileState state;
    std::error_code ec;
    state.size = file.Size();
    state.modified = fs::last_write_time(path, ec);
    state.known = !ec && state.size >= 0;
    return state;
}

bool Changed(const FileState& before, DiskFile& file, const std::string& path) {
    if (!before.known) return false;
    const FileState after = StateOf(file, path);
    return !after.known || after.size != before.size || after.modified != before.modified;
}

int Pack(const Options& options, const std::vector<Entry>& entries) {
    const std::string out = NativePath(options.out);
    std::string error;
    PackWriter writer;
    writer.storeUnshrunk = 1;
    writer.flush = 1;
    writer.keepOpen = 1;
    Temporary temporary;
    if (!BeginTemporary(out, &temporary, &error)) return Fail(error);
    if (!BeginPackFileOn(&writer, temporary.file, out, &error)) {
        temporary.file = writer.file;
        AbortTemporaryFile(&temporary);
        return Fail(error);
    }
    for (const Entry& entry : entries) {
        const std::uint32_t kind = KindOf(options, entry);
        const bool loose = kind == KIND_LOOSE;
        DiskFile file;
        bool ok = file.Open(entry.path.c_str(), 0) != 0;
        if (!ok) error = "cannot open " + entry.path + Because();
        const FileState before = ok ? StateOf(file, entry.path) : FileState();
        const PackSource source = FileSource(&file);
        ok = ok && AddResource(&writer, entry.name, kind, options.blockSize, options.level, source,
                               &error);
        ok = ok && (!loose || WriteLoose(options.out, entry.name, source, &error));
        // A file that grew, shrank or was written to while it was read.
        if (file.IsValid() && Changed(before, file, entry.path)) {
            error = entry.path + " changed as it was read";
            ok = false;
        }
        file.Close();
        if (!ok) {
            temporary.file = writer.file;
            AbortTemporaryFile(&temporary);
            return Fail(error);
        }
        const DirectoryRecord& record = writer.image.records.back();
        std::printf("%u ", static_cast<unsigned>(record.kind));
        PrintName(stdout, entry.name.c_str());
        std::printf(" %u\n", static_cast<unsigned>(record.size));
    }
    const bool finished = FinishPackFile(&writer, options.level, &error) != 0;
    temporary.file = writer.file;
    if (!finished) {
        AbortTemporaryFile(&temporary);
        return Fail(error);
    }
    return CommitTemporaryFile(&temporary, out, &error) ? 0 : Fail(error);
}

int Run(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0) return parsed;

    std::error_code ec;
    const fs::path dir = NativePath(options.dir);
    if (!fs::is_directory(dir, ec)) return Fail(options.dir + " is not a directory");
    if (fs::is_directory(NativePath(options.out), ec)) {
        return Fail(options.out + " is a directory, not a resource file name");
    }
    std::vector<Entry> entries;
    std::string error;
    std::vector<Warning> warnings;
    const WalkState state = {&options, fs::canonical(dir, ec), &entries, &warnings, &error};
    if (!Walk(state, dir, "")) return Fail(error);
    PrintWarnings(warnings);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.relative < b.relative; });
    if (options.backslash) {
        for (Entry& entry : entries) std::replace(entry.name.begin(), entry.name.end(), '/', '\\');
    }
    const std::vector<std::string> refusals = Refusals(options, entries);
    for (const std::string& refusal : refusals) Fail(refusal);
    if (!refusals.empty()) return 1;

    RemoveTemporariesOnSignal();
    return Pack(options, entries);
}

}  // namespace

int main(int argc, char** argv) {
    int status;
    try {
        status = Run(argc, argv);
    } catch (const std::exception& e) {
        status = Fail(e.what());
    }
    // Every write to standard output is checked here, at its close.
    return CloseStandardOutput("rux-pack", status);
}
