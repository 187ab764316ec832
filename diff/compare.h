// Comparing the bytes of matched names, on worker threads. Not for programs.
#ifndef RUX_DIFF_COMPARE_H
#define RUX_DIFF_COMPARE_H

#include <cstdint>
#include <string>
#include <vector>

#include "diff/side.h"

namespace rux {

// Two members of equal size whose bytes are to be compared.
struct Pair {
    const Member* old = nullptr;
    const Member* now = nullptr;
    std::uint64_t size = 0;
};

enum class Outcome { EQUAL, DIFFERENT, TROUBLE, SKIPPED };

struct PairOutcome {
    Outcome outcome = Outcome::EQUAL;
    std::string reason;  // TROUBLE: the first range's reason
};

// Compares every pair on jobs threads (the caller's among them), in
// ranges of up to 4 MiB. A pair differs when any range does; it is in
// trouble when none does and a range could not be read. With firstOnly,
// work ends at the first difference, and pairs not reached are SKIPPED.
std::vector<PairOutcome> ComparePairs(const LoadedSide& old, const LoadedSide& now,
                                      const std::vector<Pair>& pairs, int jobs, bool firstOnly);

}  // namespace rux

#endif
