#include "pack/tree.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "pack/writer.h"
#include "resource/ascii.h"
#include "resource/index.h"
#include "common/glob.h"
#include "common/names.h"

namespace fs = std::filesystem;

namespace rux {

std::string NativePath(std::string path) {
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
}

namespace {

bool MatchesAny(const std::vector<std::string>& globs, const std::string& name) {
    for (const std::string& glob : globs) {
        if (MatchesGlob(glob.c_str(), name.c_str())) return true;
    }
    return false;
}

bool Excluded(const PackOptions& options, const std::string& relative) {
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
    const PackOptions* options;
    fs::path root;  // DIR, canonical
    fs::path out;             // OUT.rux, when it exists
    std::string outFilename;  // its last component, ASCII case folded
    std::vector<PackEntry>* entries;
    std::vector<PackWarning>* warnings;
    std::string* error;
};

// What a path that is neither a directory nor a regular file is.
const char* OddKind(const fs::file_status& status) {
    if (fs::is_fifo(status)) return "FIFO, left out";
    if (fs::is_block_file(status) || fs::is_character_file(status)) return "device, left out";
    if (fs::is_socket(status)) return "socket, left out";
    return "not a regular file, left out";
}

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
            const char* leftOut = nullptr;
            if (statusError || !fs::exists(target)) {
                leftOut = "dangling link, left out";
            } else if (fs::is_directory(target)) {
                leftOut = "link to a directory, left out";
            } else if (!fs::is_regular_file(target)) {
                leftOut = "link to a special file, left out";
            }
            if (leftOut) {
                state.warnings->push_back({path.string(), leftOut});
                continue;
            }
            const fs::path real = fs::canonical(path, statusError);
            if (statusError || !IsBelow(real, state.root)) {
                state.warnings->push_back(
                    {path.string(), "link to a file outside " + state.options->dir + ", packed as a copy"});
            }
        }
        // The output file, when it lies in the tree, is what the pack
        // replaces: it is left out, as tar and zip leave out their own.
        if (fs::is_regular_file(status) && !state.outFilename.empty() &&
            FoldedAscii(path.filename().string()) == state.outFilename &&
            fs::equivalent(path, state.out, statusError)) {
            state.warnings->push_back({path.string(), "the output file itself, left out"});
            continue;
        }
        if (fs::is_regular_file(target)) {
            const std::uintmax_t size = fs::file_size(path, statusError);
            state.entries->push_back({relative, relative, path.string(), statusError ? 0 : size});
        } else {
            state.warnings->push_back({path.string(), OddKind(target)});
        }
    }
    if (ec) {
        *state.error = "cannot read directory " + dir.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// The absolute, normal form of path, a relative one taken from base (the
// working directory, asked once by the caller).
std::string Normalized(const fs::path& base, const std::string& path) {
    const fs::path p(path);
    return (p.is_absolute() || base.empty() ? p : base / p).lexically_normal().string();
}

}  // namespace

int WalkPackTree(const PackOptions& options, std::vector<PackEntry>* entries,
                 std::vector<PackWarning>* warnings, std::string* error) {
    std::error_code ec;
    const fs::path dir = NativePath(options.dir);
    WalkState state = {&options, fs::canonical(dir, ec), {}, {}, entries, warnings, error};
    if (!options.out.empty() && fs::is_regular_file(NativePath(options.out), ec)) {
        state.out = NativePath(options.out);
        state.outFilename = FoldedAscii(state.out.filename().string());
    }
    if (!Walk(state, dir, "")) return 0;
    std::sort(warnings->begin(), warnings->end());
    std::sort(entries->begin(), entries->end(),
              [](const PackEntry& a, const PackEntry& b) { return a.relative < b.relative; });
    if (options.backslash) {
        for (PackEntry& entry : *entries) {
            std::replace(entry.name.begin(), entry.name.end(), '/', '\\');
        }
    }
    return 1;
}

std::uint32_t PackKind(const PackOptions& options, const PackEntry& entry) {
    if (MatchesAny(options.loose, entry.relative)) return KIND_LOOSE;
    return MatchesAny(options.store, entry.relative) ? KIND_STORED : KIND_DEFLATED;
}

namespace {

// Each table must inflate to no more than rux-extract reads.
void RefuseLargeTables(const PackOptions& options, const std::vector<PackEntry>& entries,
                       std::vector<std::string>* refusals) {
    TableSizes tables;
    for (const PackEntry& entry : entries) {
        CountResource(&tables, entry.name.size(), PackKind(options, entry), entry.size,
                      options.blockSize);
    }
    const auto tooLarge = [&](const char* table, std::uint64_t bytes, const char* remedy) {
        if (bytes <= MAX_TABLE_BYTES) return;
        refusals->push_back(std::string("the ") + table + " table would inflate to " +
                            std::to_string(bytes) + " bytes, more than the " +
                            std::to_string(MAX_TABLE_BYTES) + " that rux-extract reads; " +
                            remedy);
    };
    tooLarge("directory", tables.directory, "pack fewer files (-x leaves files out)");
    tooLarge("names", tables.names, "pack fewer files or shorter paths (-x leaves files out)");
    tooLarge("block offset", tables.blockOffsets,
             "use a larger --block-size, or pack fewer or smaller files");
}

// The refused files' names go to *refused.
void RefuseNames(const std::vector<PackEntry>& entries, std::vector<std::string>* refusals,
                 std::set<std::string>* refused) {
    for (const PackEntry& entry : entries) {
        if (entry.relative.find('\\') != std::string::npos) {
            refusals->push_back("refused name " + entry.relative +
                                ": rux-extract reads '\\' as a directory separator");
            refused->insert(entry.name);
        } else if (IsUnsafeName(entry.name.c_str(), 0) || IsUnsafeName(entry.name.c_str(), 1)) {
            refusals->push_back("refused unsafe name " + entry.name +
                                ": rux-extract would not write it on every platform");
            refused->insert(entry.name);
        }
    }
    // Names are looked up without regard to ASCII case.
    std::vector<std::pair<std::string, std::string>> folded;
    for (const PackEntry& entry : entries) folded.push_back({FoldedAscii(entry.name), entry.name});
    std::sort(folded.begin(), folded.end());
    for (std::size_t i = 1; i < folded.size(); ++i) {
        if (folded[i].first == folded[i - 1].first) {
            refusals->push_back("refused names " + folded[i - 1].second + " and " +
                                folded[i].second + ": they differ only in case");
            refused->insert(folded[i - 1].second);
            refused->insert(folded[i].second);
        }
    }
}

// Writing OUT or a loose copy must not replace a file being packed.
void RefuseOverwrites(const PackOptions& options, const std::vector<PackEntry>& entries,
                      std::vector<std::string>* refusals) {
    std::error_code ec;
    const fs::path base = fs::current_path(ec);
    std::set<std::string> sources;
    for (const PackEntry& entry : entries) sources.insert(Normalized(base, entry.path));
    std::vector<std::string> targets = {options.out};
    for (const PackEntry& entry : entries) {
        if (PackKind(options, entry) == KIND_LOOSE) targets.push_back(options.out + entry.name);
    }
    for (const std::string& target : targets) {
        if (sources.count(Normalized(base, NativePath(target)))) {
            refusals->push_back("refused to overwrite " + target + ", one of the files being packed");
        }
    }
}

}  // namespace

std::vector<std::string> PackRefusals(const PackOptions& options,
                                      const std::vector<PackEntry>& entries,
                                      std::size_t* names) {
    std::vector<std::string> refusals;
    if (names) *names = 0;
    if (entries.size() > static_cast<std::size_t>(INDEX_SLOTS)) {
        refusals.push_back(options.dir + " holds " + std::to_string(entries.size()) +
                           " files; a resource file holds at most " +
                           std::to_string(INDEX_SLOTS) + " (-x leaves files out)");
        return refusals;
    }
    RefuseLargeTables(options, entries, &refusals);
    std::set<std::string> refused;
    RefuseNames(entries, &refusals, &refused);
    if (names) *names = refused.size();
    RefuseOverwrites(options, entries, &refusals);
    return refusals;
}

}  // namespace rux
