// rux-pack: packs every regular file below a directory into a resource
// file, one resource each, named by its path relative to the directory.
//
//   rux-pack [OPTIONS] OUT.rux DIR
//
// Prints one line per resource as rux-extract does (kind, name, size). The
// file is written beside OUT under a temporary name and renamed into place
// only when complete. Exit status 0 only when everything was written.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "pack/writer.h"
#include "resource/index.h"
#include "tool/glob.h"
#include "tool/info.h"
#include "tool/names.h"

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
    "  --block-size N  inflated length of deflated blocks, N >= 1 (65536)\n"
    "  --level L       zlib level 0-9 for the blocks and tables (6)\n"
    "  --store GLOB    keep matching files uncompressed (repeatable)\n"
    "  --loose GLOB    list matching files as loose resources and copy each\n"
    "                  to OUT.rux immediately followed by its name (repeatable)\n"
    "  --backslash     separate directories in names with '\\' instead of '/'\n"
    "\n"
    "GLOBs match the whole relative name with '/' separators; '*' matches\n"
    "across directories. A file whose blocks would not be smaller than the\n"
    "file itself is stored. Prints one line per resource: kind, name, size.\n";

constexpr std::size_t TEMP_PATH_BYTES = 8192;

// Temporary files that exist right now, removed if a signal ends the run.
char gTemporary[2][TEMP_PATH_BYTES];

extern "C" void RemoveTemporariesAndDie(int signal) {
    for (char* path : gTemporary) {
        if (path[0] != '\0') std::remove(path);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void NoteTemporary(int which, const std::string& path) {
    if (path.size() >= TEMP_PATH_BYTES) return;
    std::memcpy(gTemporary[which], path.c_str(), path.size() + 1);
}

void ForgetTemporary(int which) { gTemporary[which][0] = '\0'; }

struct Options {
    std::string out;
    std::string dir;
    std::uint32_t blockSize = 65536;
    int level = 6;
    std::vector<std::string> store;
    std::vector<std::string> loose;
    bool backslash = false;
};

struct Entry {
    std::string relative;  // '/' separators; the sort key and what GLOBs see
    std::string name;      // as written into the resource file
    std::string path;      // to open
};

int Fail(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "rux-pack: %s\n", message.c_str());
    return 1;
}

int BadUsage(const std::string& message) {
    Fail(message);
    std::fprintf(stderr, "Try 'rux-pack --help'.\n");
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
        const std::size_t equals = arg.find('=');
        const std::string key = arg.substr(0, equals);
        const bool inlineValue = equals != std::string::npos;
        if (key == "--help" || key == "--version" || key == "--backslash") {
            if (inlineValue) return BadUsage("option " + key + " takes no value");
            if (key == "--backslash") {
                options->backslash = true;
                continue;
            }
            AnswerInfoOption(key.c_str(), USAGE, 0);
            return 0;
        }
        if (key != "--block-size" && key != "--level" && key != "--store" && key != "--loose") {
            return BadUsage("unknown option " + arg);
        }
        std::string value;
        if (inlineValue) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return BadUsage("option " + key + " needs a value");
        }
        std::uint64_t number = 0;
        if (key == "--block-size") {
            if (!ParseNumber(value, UINT32_MAX, &number) || number == 0) {
                return BadUsage("--block-size needs a whole number from 1 to 4294967295, not '" +
                                value + "'");
            }
            options->blockSize = static_cast<std::uint32_t>(number);
        } else if (key == "--level") {
            if (!ParseNumber(value, 9, &number)) {
                return BadUsage("--level needs a number from 0 to 9, not '" + value + "'");
            }
            options->level = static_cast<int>(number);
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

// Collects the regular files below dir (and symbolic links to them);
// directories are entered, except through symbolic links.
bool Walk(const fs::path& dir, const std::string& prefix, std::vector<Entry>* entries,
          std::string* error) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string relative = prefix + path.filename().string();
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        if (fs::is_directory(status)) {
            if (!Walk(path, relative + "/", entries, error)) return false;
        } else if (fs::is_regular_file(status) ||
                   (fs::is_symlink(status) && fs::is_regular_file(fs::status(path, statusError)))) {
            entries->push_back({relative, relative, path.string()});
        }
    }
    if (ec) {
        *error = "cannot read directory " + dir.string() + ": " + ec.message();
        return false;
    }
    return true;
}

bool MatchesAny(const std::vector<std::string>& globs, const std::string& name) {
    for (const std::string& glob : globs) {
        if (MatchesGlob(glob.c_str(), name.c_str())) return true;
    }
    return false;
}

std::string FoldCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string Normalized(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(fs::path(path), ec);
    return (ec ? fs::path(path) : absolute).lexically_normal().string();
}

// Every reason not to pack these entries, one line each; empty if none.
std::vector<std::string> Refusals(const Options& options, const std::vector<Entry>& entries) {
    std::vector<std::string> refusals;
    if (entries.size() > static_cast<std::size_t>(INDEX_SLOTS)) {
        refusals.push_back(options.dir + " holds " + std::to_string(entries.size()) +
                           " files; a resource file holds at most " +
                           std::to_string(INDEX_SLOTS));
        return refusals;
    }
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
    for (const Entry& entry : entries) folded.push_back({FoldCase(entry.name), entry.name});
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

// A name beside path that nothing has yet.
std::string TemporaryBeside(const std::string& path) {
    for (int n = 0;; ++n) {
        std::string candidate = path + ".part" + (n ? std::to_string(n) : "");
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
    }
}

bool Commit(const std::string& temporary, const std::string& path, std::string* error) {
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        *error = "cannot rename " + temporary + " to " + path + ": " + ec.message();
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// Copies a loose resource to its place, by way of a temporary file.
bool WriteLoose(const std::string& out, const std::string& name, const PackSource& source,
                std::string* error) {
    const std::string path = NativePath(out + name);
    MakeParentDirectories(path, NativePath(out).size());
    const std::string temporary = TemporaryBeside(path);
    NoteTemporary(1, temporary);
    DiskFile file;
    bool ok = file.Open(temporary.c_str(), OPEN_WRITE | OPEN_CREATE) && CopySource(file, source);
    ok = file.Close() && ok;
    if (!ok) {
        std::remove(temporary.c_str());
        *error = "cannot write loose file " + path;
    } else {
        ok = Commit(temporary, path, error);
    }
    ForgetTemporary(1);
    return ok;
}

int Pack(const Options& options, const std::vector<Entry>& entries) {
    const std::string out = NativePath(options.out);
    std::string error;
    PackWriter writer;
    writer.storeUnshrunk = 1;
    const std::string temporary = TemporaryBeside(out);
    NoteTemporary(0, temporary);
    if (!BeginPackFile(&writer, temporary, &error)) {
        ForgetTemporary(0);
        return Fail(error);
    }
    for (const Entry& entry : entries) {
        const bool loose = MatchesAny(options.loose, entry.relative);
        const std::uint32_t kind =
            loose ? KIND_LOOSE : MatchesAny(options.store, entry.relative) ? KIND_STORED
                                                                           : KIND_DEFLATED;
        DiskFile file;
        bool ok = file.Open(entry.path.c_str(), 0) != 0;
        if (!ok) error = "cannot open " + entry.path;
        const PackSource source = FileSource(&file);
        ok = ok && AddResource(&writer, entry.name, kind, options.blockSize, options.level, source,
                               &error);
        ok = ok && (!loose || WriteLoose(options.out, entry.name, source, &error));
        file.Close();
        if (!ok) {
            CancelPackFile(&writer);
            ForgetTemporary(0);
            return Fail(error);
        }
        const DirectoryRecord& record = writer.image.records.back();
        std::printf("%u %s %u\n", static_cast<unsigned>(record.kind), entry.name.c_str(),
                    static_cast<unsigned>(record.size));
    }
    bool ok = FinishPackFile(&writer, options.level, &error) != 0;
    if (!ok) {
        std::remove(temporary.c_str());
    } else {
        ok = Commit(temporary, out, &error);
    }
    ForgetTemporary(0);
    std::fflush(stdout);
    return ok ? 0 : Fail(error);
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
    if (!Walk(dir, "", &entries, &error)) return Fail(error);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.relative < b.relative; });
    if (options.backslash) {
        for (Entry& entry : entries) std::replace(entry.name.begin(), entry.name.end(), '/', '\\');
    }
    const std::vector<std::string> refusals = Refusals(options, entries);
    for (const std::string& refusal : refusals) Fail(refusal);
    if (!refusals.empty()) return 1;

    std::signal(SIGINT, RemoveTemporariesAndDie);
    std::signal(SIGTERM, RemoveTemporariesAndDie);
#ifdef SIGHUP
    std::signal(SIGHUP, RemoveTemporariesAndDie);
#endif
    return Pack(options, entries);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
}
