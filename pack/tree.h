// What rux-pack packs: the walk of the directory tree, the choice of each
// file's storage kind, and every reason to refuse a tree before a byte of
// the output is written. Nothing here prints or writes a file.
#ifndef RUX_PACK_TREE_H
#define RUX_PACK_TREE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/stop.h"

namespace rux {

// What a pack is asked for.
struct PackOptions {
    std::string out;  // OUT.rux
    std::string dir;  // DIR
    std::uint32_t blockSize = 65536;
    int level = 6;
    std::vector<std::string> store;    // --store GLOBs
    std::vector<std::string> loose;    // --loose GLOBs
    std::vector<std::string> exclude;  // -x GLOBs, ASCII case ignored
    bool backslash = false;            // '\' between directories in names
    int jobs = 0;                      // worker threads, 1 to MAX_WORKERS; 0: one per core
    bool update = false;               // reuse what out already holds (-u)
    const StopRequest* stop = nullptr;  // null: never stopped
};

// One file to pack.
struct PackEntry {
    std::string relative;  // '/' separators; the sort key and what GLOBs see
    std::string name;      // as written into the resource file
    std::string path;      // to open
    std::uint64_t size;    // when the tree was walked
};

// A file not packed as it is: its path and what became of it.
struct PackWarning {
    std::string path;
    std::string what;
    bool operator<(const PackWarning& other) const { return path < other.path; }
};

// Walks options.dir: every regular file below it, and every symbolic link
// to one (a link to a file outside DIR gets a warning: it is packed as a
// copy); directories are entered, except through links. Excluded files and
// directories are passed over without a word; links to directories,
// dangling links and special files get a warning, and so does the output
// file (options.out) when it lies in the tree: it is left out, since the
// pack replaces it. Entries come sorted by
// relative name, names with '\' separators under options.backslash, and
// warnings sorted by path. 1, or 0 with *error when a directory or an
// entry's type cannot be read.
int WalkPackTree(const PackOptions& options, std::vector<PackEntry>* entries,
                 std::vector<PackWarning>* warnings, std::string* error);

// KIND_LOOSE, KIND_STORED or KIND_DEFLATED, as --loose and --store select.
std::uint32_t PackKind(const PackOptions& options, const PackEntry& entry);

// Every reason not to pack these entries, one line each; empty if none:
// more files than the index holds, a table that would inflate past what
// rux-extract reads, a name rux-extract would refuse on any platform,
// names equal but for ASCII case, and an output (OUT.rux or a loose copy)
// that would replace one of the files being packed. With names, *names is
// set to how many files are refused for their names (-x leaves them out).
std::vector<std::string> PackRefusals(const PackOptions& options,
                                      const std::vector<PackEntry>& entries,
                                      std::size_t* names = nullptr);

// The path DiskFile would open: on POSIX it reads every '\' as '/', and
// the directory walk and renames must agree with it.
std::string NativePath(std::string path);

}  // namespace rux

#endif
