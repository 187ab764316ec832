// The inside of a comparison: each side's names, matched by identity, and
// what reading their bytes needs. Not for programs.
#ifndef RUX_DIFF_SIDE_H
#define RUX_DIFF_SIDE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diff/diff.h"
#include "platform/disk_file.h"
#include "resource/set.h"

namespace rux {

// One name of a side.
struct Member {
    // The identity the other side is matched by: the name with ASCII letters
    // folded and '\' as '/'. Several spellings of one identity on one side
    // (a directory on a case-sensitive file system) are matched by their
    // exact names first.
    std::string key;
    DiffListed listed;
    int slot = -1;     // a resource's index slot
    std::string path;  // a directory's file, to open
};

// What reading a mounted file's packed bytes needs: its block offset
// table, and a handle for positioned reads. Empty when the tables could
// not be read again (the blocks are then compared inflated).
struct RawFile {
    DiskFile file;
    std::vector<std::uint32_t> offsets;
    std::int64_t size = 0;
};

struct LoadedSide {
    ResourceSet set;
    RawFile raw[MOUNT_SLOTS];
    std::vector<Member> members;  // sorted by key, then by name
    bool resources = false;       // files, not a directory
    // Index slots the files take: every resource each file lists, a name
    // that several files list once for each.
    std::uint64_t records = 0;

    ~LoadedSide();
};

// Mounts or walks the side. 1, or 0 with *error.
int LoadSide(const DiffSide& side, LoadedSide* loaded, std::vector<PackWarning>* warnings,
             std::string* error);

// Reads up to count bytes of m at offset into buffer: the bytes read (fewer
// only at the end), or -1 with *reason.
std::int64_t ReadMember(const LoadedSide& side, const Member& m, DiskFile* file, std::uint64_t offset,
                        void* buffer, std::uint32_t count, std::string* reason);

}  // namespace rux

#endif
