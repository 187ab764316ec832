// The file an update starts from: its tables read, and the deflated
// resources whose blocks may be reused. Inside the packer only.
#ifndef RUX_PACK_OLD_FILE_H
#define RUX_PACK_OLD_FILE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pack/tree.h"
#include "platform/disk_file.h"

namespace rux {

// A deflated resource of the old file whose blocks may be reused.
struct OldResource {
    std::uint32_t size = 0;
    std::uint32_t blockLength = 0;
    std::uint32_t first = 0;   // its first entry in offsets
    std::uint32_t blocks = 0;  // how many it has
};

struct OldFile {
    DiskFile file;
    std::vector<std::uint32_t> offsets;  // the block offset table
    std::map<std::string, OldResource> byName;
};

// Reads the tables of the resource file at path; resources whose blocks do
// not lie in order inside the file are not kept (they are packed afresh).
// 1, or 0 with why it is not a readable resource file.
bool LoadOldFile(const std::string& path, OldFile* old, std::string* error);

// Whether the old file's blocks are what this build makes at this level:
// the longest first blocks of the resources that may be reused are
// inflated and deflated again, and must come out the same. An update that
// reused blocks of another level would not give a fresh pack's bytes.
bool SameCompressor(const OldFile& old, const PackOptions& options, const std::vector<PackEntry>& entries);

}  // namespace rux

#endif
