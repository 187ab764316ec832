// The listings of rux-extract -l for people (-v: aligned columns and a
// totals line) and for programs (--json: one JSON document).
#ifndef RUX_ENGINE_LISTING_H
#define RUX_ENGINE_LISTING_H

#include <cstdint>
#include <string>

#include "resource/set.h"

namespace rux {

// What the listed resources add up to.
struct ListingTotals {
    unsigned resources = 0;
    unsigned failed = 0;
    std::uint64_t size = 0;
    std::uint64_t packed = 0;
    std::uint64_t packedOf = 0;  // the size of the resources that hold packed bytes (not loose)
    std::uint64_t blocks = 0;
};

// "loose", "stored", "deflated", or "unknown" for any other kind.
const char* KindWord(std::uint32_t kind);

// The blocks of a deflated resource of that listed size; 0 for the others.
std::uint32_t ListedBlocks(const ResourceEntry& entry);

// Adds one listed resource, of size bytes as listed, to totals.
void AddToTotals(ListingTotals* totals, const ResourceEntry& entry, std::uint32_t size, bool failed);

// -v: the heading (two lines), the line of one resource whose read gives
// size bytes, and the totals (two lines). Names are printed as EscapedName
// gives them.
std::string VerboseHeading();
std::string VerboseLine(const ResourceEntry& entry, std::uint32_t size);
std::string VerboseTotals(const ListingTotals& totals);

// --json: the document's start, naming the resource file; one resource's
// object (first: no comma before it), with "read" when tested is set,
// "reason" when reason is not empty and "refused" (why extraction would
// refuse the name) when refused is not; and the end, with the totals
// ("read" among them when tested).
std::string JsonStart(const char* resourceFile);
std::string JsonResource(int slot, const ResourceEntry& entry, std::uint32_t size, bool first,
                         bool tested, const std::string& reason, const std::string& refused = "");
std::string JsonEnd(const ListingTotals& totals, bool tested);

}  // namespace rux

#endif
