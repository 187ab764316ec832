// Comparing two versions of a set of resources: two resource files, a
// resource file and a directory tree, or unions of resource files shown as
// one (the first file given wins a name, as rux-mount shows them). The
// whole of rux-diff's work but its command line and its printing.
//
// Names are matched as rux-extract's -i matches them: ASCII letters fold,
// and '\' and '/' are one separator. Bytes are compared in full; a size
// that differs is a change without a read. Deflated blocks whose packed
// bytes are equal on both sides (same block length, same block number) are
// equal without being inflated, so two files packed alike compare at the
// speed of reading them. Such blocks are not checked for damage either.
//
// Nothing here prints. Work is spread over options.jobs threads, each
// taking a range of up to 4 MiB of one resource at a time; the result does
// not depend on the number of threads.
#ifndef RUX_DIFF_DIFF_H
#define RUX_DIFF_DIFF_H

#include <cstdint>
#include <string>
#include <vector>

#include "pack/tree.h"

namespace rux {

// One side of a comparison: one or more resource files, or a directory.
struct DiffSide {
    std::vector<std::string> files;  // resource files, the first given wins a name
    std::string dir;                 // a directory, when files is empty
    // The directory's files as WalkPackTree gave them, when the caller
    // walked it already (their names are matched); else it is walked here.
    const std::vector<PackEntry>* entries = nullptr;
};

// The paths one command-line argument stands for. An argument that names
// an existing file or directory is that path alone. Otherwise it is cut
// after each ".rux+" (ASCII case ignored): "patch.rux+base.rux" is the two
// files patch.rux and base.rux, while "c++.rux" stays one name.
std::vector<std::string> SplitUnion(const std::string& argument);

// The side an argument stands for: a directory, or the resource files of
// SplitUnion. 1, or 0 with *error when a union names a directory.
int SideOf(const std::string& argument, DiffSide* side, std::string* error);

struct DiffOptions {
    std::vector<std::string> include;  // -i GLOBs: only names matching one
    std::vector<std::string> exclude;  // -x GLOBs: never names matching one
    int jobs = 1;                      // threads, 1 or more
    bool firstOnly = false;            // stop at the first change found (-q)
};

// One side's view of a name.
struct DiffListed {
    bool present = false;
    bool resource = false;  // a resource of a file; else a file of the directory
    std::string name;       // as listed, or the path relative to the directory
    std::uint32_t kind = 0;  // resources: KIND_*
    std::uint64_t size = 0;
    std::uint64_t packedSize = 0;
    std::uint32_t blockLength = 0;
    std::uint32_t blocks = 0;
    int file = -1;  // resources: which of the side's files lists it, from 0
};

// 'A' added, 'D' deleted, 'M' content changed, 'K' the same bytes listed
// otherwise: another storage kind, block length or spelling of the name.
struct DiffItem {
    char change = 0;
    DiffListed old, now;
    // The name to show: the new side's, or the old one's for 'D'.
    const std::string& name() const { return now.present ? now.name : old.name; }
};

// A name whose bytes could not be compared, and why.
struct DiffTrouble {
    std::string name;
    std::string reason;
};

struct DiffResult {
    std::vector<DiffItem> items;  // in name order (folded as matched, then bytes)
    std::vector<DiffTrouble> troubles;  // in name order
    std::vector<PackWarning> warnings;  // files a directory walk left out
    std::vector<std::string> unmatched;  // -i GLOBs that matched no name on either side
    std::uint64_t compared = 0;  // names on both sides
    // Index slots the old side's files take, one per resource each lists
    // (a union's shadowed resources too); 0 for a directory.
    std::uint64_t oldRecords = 0;
    std::uint64_t added = 0, deleted = 0, changed = 0, kinds = 0;
    bool stopped = false;  // firstOnly: the run ended at the first change

    // Whether anything differs in content or presence (not 'K').
    bool differs() const { return added + deleted + changed > 0; }
};

// Compares old with now into *result. 1 when the comparison ran (the
// result holds what differs and what could not be read); 0 with *error
// when a side cannot be had at all: a file that does not mount, a
// directory that cannot be read, more than one resource file's index.
int Diff(const DiffSide& old, const DiffSide& now, const DiffOptions& options, DiffResult* result,
         std::string* error);

}  // namespace rux

#endif
