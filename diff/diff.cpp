#include "diff/diff.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "diff/compare.h"
#include "diff/side.h"
#include "common/glob.h"
#include "resource/format.h"

namespace rux {
namespace {

// Whether options take the name: it matches an -i GLOB (when there are
// any; each one that matches is marked) and no -x GLOB.
bool Chosen(const DiffOptions& options, const std::string& name, std::vector<bool>* matched) {
    bool included = options.include.empty();
    for (std::size_t g = 0; g < options.include.size(); ++g) {
        if (MatchesNameGlob(options.include[g].c_str(), name.c_str())) {
            (*matched)[g] = true;
            included = true;
        }
    }
    if (!included) return false;
    for (const std::string& glob : options.exclude) {
        if (MatchesNameGlob(glob.c_str(), name.c_str())) return false;
    }
    return true;
}

// The same bytes listed otherwise: another kind, block length or spelling.
bool ListedOtherwise(const DiffListed& o, const DiffListed& n) {
    if (o.name != n.name) return true;
    if (!o.resource || !n.resource) return false;
    return o.kind != n.kind || (o.kind == KIND_DEFLATED && o.blockLength != n.blockLength);
}

// The size a read of the member gives: listed, or a loose file's own;
// -1 with *reason when that cannot be had.
std::int64_t SizeOf(const LoadedSide& side, const Member& m, std::string* reason) {
    if (!m.listed.resource) return static_cast<std::int64_t>(m.listed.size);
    ReadStatus status;
    const std::int64_t size = side.set.DataSize(m.slot, &status);
    if (size < 0) *reason = ReadErrorText(side.set, m.slot, status);
    return size;
}

using Match = std::pair<const Member*, const Member*>;

// Appends the members of one identity, x[i, i1) and y[j, j1) (each in name
// order), paired: each with the same spelling on the other side first, then
// those left in order; what is left then is on one side only. In name
// order, the new side's name where there is one.
void AddMatches(const std::vector<Member>& x, std::size_t i, std::size_t i1, const std::vector<Member>& y,
                std::size_t j, std::size_t j1, std::vector<Match>* matches) {
    if (i1 - i <= 1 && j1 - j <= 1) {
        matches->push_back({i < i1 ? &x[i] : nullptr, j < j1 ? &y[j] : nullptr});
        return;
    }
    const std::size_t first = matches->size();
    std::vector<const Member*> leftX, leftY;
    std::vector<bool> taken(j1 - j, false);
    for (std::size_t a = i; a < i1; ++a) {
        std::size_t b = j;
        while (b < j1 && (taken[b - j] || y[b].listed.name != x[a].listed.name)) ++b;
        if (b < j1) {
            taken[b - j] = true;
            matches->push_back({&x[a], &y[b]});
        } else {
            leftX.push_back(&x[a]);
        }
    }
    for (std::size_t b = j; b < j1; ++b) {
        if (!taken[b - j]) leftY.push_back(&y[b]);
    }
    for (std::size_t k = 0; k < leftX.size() || k < leftY.size(); ++k) {
        matches->push_back({k < leftX.size() ? leftX[k] : nullptr, k < leftY.size() ? leftY[k] : nullptr});
    }
    const auto name = [](const Match& p) -> const std::string& { return (p.second ? p.second : p.first)->listed.name; };
    std::sort(matches->begin() + static_cast<std::ptrdiff_t>(first), matches->end(),
              [&](const Match& p, const Match& q) { return name(p) < name(q); });
}

}  // namespace

int Diff(const DiffSide& old, const DiffSide& now, const DiffOptions& options, DiffResult* result,
         std::string* error) {
    *result = DiffResult();
    auto a = std::make_unique<LoadedSide>();
    auto b = std::make_unique<LoadedSide>();
    if (!LoadSide(old, a.get(), &result->warnings, error) || !LoadSide(now, b.get(), &result->warnings, error)) {
        return 0;
    }
    std::sort(result->warnings.begin(), result->warnings.end());
    result->oldRecords = a->records;
    std::vector<bool> matched(options.include.size(), false);

    // Walk both sorted lists together: a name on one side only is added or
    // deleted at once; names on both wait for their bytes.
    struct Slot {
        DiffItem item;
        std::string trouble;
        std::size_t pair = SIZE_MAX;
    };
    std::vector<Slot> slots;
    std::vector<Pair> pairs;
    const std::vector<Member>& x = a->members;
    const std::vector<Member>& y = b->members;
    // Every pairing of the two sides' members, identity by identity.
    std::vector<Match> matches;
    for (std::size_t i = 0, j = 0; i < x.size() || j < y.size();) {
        const std::string& key = j == y.size() || (i < x.size() && x[i].key < y[j].key) ? x[i].key : y[j].key;
        std::size_t i1 = i, j1 = j;
        while (i1 < x.size() && x[i1].key == key) ++i1;
        while (j1 < y.size() && y[j1].key == key) ++j1;
        AddMatches(x, i, i1, y, j, j1, &matches);
        i = i1;
        j = j1;
    }
    for (const Match& match : matches) {
        const Member* m = match.first;
        const Member* n = match.second;
        bool take = false;
        if (m) take = Chosen(options, m->listed.name, &matched) || take;
        if (n) take = Chosen(options, n->listed.name, &matched) || take;
        if (!take) continue;
        Slot slot;
        if (m) slot.item.old = m->listed;
        if (n) slot.item.now = n->listed;
        if (m && n) {
            ++result->compared;
            std::string why;
            const std::int64_t sizeA = SizeOf(*a, *m, &why);
            const std::int64_t sizeB = sizeA < 0 ? -1 : SizeOf(*b, *n, &why);
            if (sizeA < 0 || sizeB < 0) {
                slot.trouble = why;
            } else if (sizeA != sizeB) {
                slot.item.change = 'M';
            } else {
                slot.pair = pairs.size();
                pairs.push_back({m, n, static_cast<std::uint64_t>(sizeA)});
            }
        } else {
            slot.item.change = m ? 'D' : 'A';
        }
        slots.push_back(std::move(slot));
        if (options.firstOnly && slots.back().item.change != 0) break;
    }
    // Stopped at a name found on one side only: nothing more is read.
    const bool early = options.firstOnly && !slots.empty() && slots.back().item.change != 0;
    for (std::size_t g = 0; g < options.include.size() && !early; ++g) {
        if (!matched[g]) result->unmatched.push_back(options.include[g]);
    }
    std::vector<PairOutcome> outcomes;
    if (!early) outcomes = ComparePairs(*a, *b, pairs, options.jobs, options.firstOnly);
    result->stopped = early;
    for (Slot& slot : slots) {
        if (slot.pair != SIZE_MAX) {
            const PairOutcome outcome = early ? PairOutcome{Outcome::SKIPPED, ""} : outcomes[slot.pair];
            if (outcome.outcome == Outcome::DIFFERENT) slot.item.change = 'M';
            if (outcome.outcome == Outcome::TROUBLE) slot.trouble = outcome.reason;
            if (outcome.outcome == Outcome::SKIPPED) result->stopped = true;
            if (outcome.outcome == Outcome::EQUAL && ListedOtherwise(slot.item.old, slot.item.now)) {
                slot.item.change = 'K';
            }
        }
        if (!slot.trouble.empty()) {
            result->troubles.push_back({slot.item.name(), slot.trouble});
            continue;
        }
        switch (slot.item.change) {
            case 'A': ++result->added; break;
            case 'D': ++result->deleted; break;
            case 'M': ++result->changed; break;
            case 'K': ++result->kinds; break;
            default: continue;
        }
        result->items.push_back(std::move(slot.item));
    }
    return 1;
}

}  // namespace rux
