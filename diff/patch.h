// What a patch holds: the files of a tree that its base resource files
// lack, hold with other bytes, or spell otherwise. Packed over the bases
// (mounted first), they give the tree, but for the bases' resources that
// the tree lacks, which a patch cannot remove. Nothing here prints.
#ifndef RUX_DIFF_PATCH_H
#define RUX_DIFF_PATCH_H

#include <string>
#include <vector>

#include "pack/tree.h"

namespace rux {

struct PatchChoice {
    std::vector<PackEntry> entries;   // to pack, in the order given
    std::vector<std::string> absent;  // names of the bases that the tree lacks, in name order
    // Index slots the bases take mounted together: every resource each
    // lists, those shadowed by an earlier base too.
    std::uint64_t listed = 0;
};

// Compares entries (options.dir walked with options, refusals passed) with
// the union of bases (the first given wins a name) on options.jobs
// threads. 1, or 0 with *error when a base does not mount or a resource
// cannot be compared.
int ChoosePatchEntries(const std::vector<std::string>& bases, const PackOptions& options,
                       const std::vector<PackEntry>& entries, PatchChoice* choice, std::string* error);

// "N resources of BASES are not in DIR; a patch cannot remove them", the
// bases joined with '+'.
std::string AbsentText(const std::vector<std::string>& bases, const std::string& dir, std::size_t count);

}  // namespace rux

#endif
