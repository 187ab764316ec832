#include "diff/compare.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "resource/blocks.h"
#include "resource/format.h"

namespace rux {
namespace {

// A thread's piece of work: this much of one pair. Whole ranges of blocks
// where both sides' block lengths divide it, so no block is inflated twice.
constexpr std::uint64_t RANGE_BYTES = 4u << 20;
// What one read asks for, on each side.
constexpr std::uint32_t CHUNK_BYTES = 1u << 20;

struct Item {
    std::size_t pair = 0;
    std::uint64_t at = 0, length = 0;
};

struct Scratch {
    std::unique_ptr<char[]> a{new char[CHUNK_BYTES]}, b{new char[CHUNK_BYTES]};
    std::string packedA, packedB;
};

bool ReadRaw(RawFile& raw, std::uint64_t from, std::uint64_t count, std::string* out) {
    out->resize(static_cast<std::size_t>(count));
    for (std::uint64_t done = 0; done < count;) {
        const std::uint32_t got = raw.file.ReadAt(&(*out)[done], static_cast<std::uint32_t>(count - done),
                                                  static_cast<std::int64_t>(from + done));
        if (got == 0) return false;
        done += got;
    }
    return true;
}

class Comparer {
public:
    Comparer(const LoadedSide& old, const LoadedSide& now, const std::vector<Pair>& pairs, bool firstOnly)
        : old_(old), now_(now), pairs_(pairs), firstOnly_(firstOnly), differs_(new std::atomic<int>[pairs.size()]) {
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            differs_[p] = 0;
            const std::uint64_t size = pairs[p].size;
            const std::uint32_t lo = pairs[p].old->listed.blockLength, ln = pairs[p].now->listed.blockLength;
            const bool split = (lo == 0 || RANGE_BYTES % lo == 0) && (ln == 0 || RANGE_BYTES % ln == 0);
            const std::uint64_t range = split ? RANGE_BYTES : size;
            for (std::uint64_t at = 0; at < size; at += range) {
                items_.push_back({p, at, std::min(range, size - at)});
            }
        }
        outcomes_.assign(items_.size(), Outcome::SKIPPED);
        reasons_.resize(items_.size());
    }

    std::vector<PairOutcome> Run(int jobs) {
        const int workers = static_cast<int>(std::min<std::size_t>(std::max(jobs, 1), items_.size() + 1)) - 1;
        std::vector<std::thread> threads;
        for (int i = 0; i < workers; ++i) {
            threads.emplace_back([this] {
                Serve();
                CacheFree();
            });
        }
        Serve();
        for (std::thread& t : threads) t.join();
        std::vector<PairOutcome> result(pairs_.size());
        std::vector<bool> seen(pairs_.size(), false);
        for (std::size_t i = 0; i < items_.size(); ++i) {
            PairOutcome& r = result[items_[i].pair];
            if (differs_[items_[i].pair]) {
                r.outcome = Outcome::DIFFERENT;
            } else if (outcomes_[i] == Outcome::TROUBLE && r.outcome != Outcome::TROUBLE) {
                r.outcome = Outcome::TROUBLE;
                r.reason = reasons_[i];
            } else if (outcomes_[i] == Outcome::SKIPPED && r.outcome == Outcome::EQUAL) {
                r.outcome = Outcome::SKIPPED;
            }
        }
        return result;
    }

private:
    void Serve() {
        Scratch scratch;
        for (;;) {
            const std::size_t i = next_.fetch_add(1);
            if (i >= items_.size()) return;
            const Item& item = items_[i];
            if (stop_ || differs_[item.pair]) continue;
            outcomes_[i] = CompareItem(item, &scratch, &reasons_[i]);
            if (outcomes_[i] == Outcome::DIFFERENT) {
                differs_[item.pair] = 1;
                if (firstOnly_) stop_ = true;
            }
        }
    }

    // The bytes of both sides, read (and inflated) a chunk at a time.
    Outcome CompareRead(const Pair& pair, std::uint64_t at, std::uint64_t length, Scratch* s,
                        std::string* reason) {
        DiskFile files[2];
        const Member* m[2] = {pair.old, pair.now};
        for (int k = 0; k < 2; ++k) {
            if (!m[k]->listed.resource && !files[k].Open(m[k]->path.c_str(), 0)) {
                *reason = "cannot open " + m[k]->path + ": " + ErrorText(LastError());
                return Outcome::TROUBLE;
            }
        }
        Outcome outcome = Outcome::EQUAL;
        for (std::uint64_t done = 0; done < length && outcome == Outcome::EQUAL;) {
            const std::uint32_t ask = static_cast<std::uint32_t>(std::min<std::uint64_t>(CHUNK_BYTES, length - done));
            const std::int64_t a = ReadMember(old_, *pair.old, &files[0], at + done, s->a.get(), ask, reason);
            const std::int64_t b = a < 0 ? -1 : ReadMember(now_, *pair.now, &files[1], at + done, s->b.get(), ask, reason);
            if (a < 0 || b < 0) {
                outcome = Outcome::TROUBLE;
            } else if (a != ask || b != ask || std::memcmp(s->a.get(), s->b.get(), ask) != 0) {
                outcome = Outcome::DIFFERENT;  // a file of the tree that shrank differs too
            }
            done += ask;
        }
        for (DiskFile& f : files) f.Close();
        return outcome;
    }

    // Where both sides hold the range as blocks of one length, the packed
    // bytes of each block: equal ones are equal without inflating. The
    // range's blocks lie back to back on each side; 0 when they do not, or
    // cannot be read (the caller then reads the range inflated).
    bool Packed(const LoadedSide& side, const Member& m, std::uint32_t first, std::uint32_t last,
                std::string* bytes, const std::uint32_t** ends) {
        const ResourceEntry& e = side.set.Slots()[m.slot];
        RawFile& raw = const_cast<RawFile&>(side.raw[e.fileSlot]);
        const std::uint64_t from = std::uint64_t(e.placement) + first, to = std::uint64_t(e.placement) + last + 1;
        if (to >= raw.offsets.size()) return false;
        for (std::uint64_t k = from; k < to; ++k) {
            if (raw.offsets[k] > raw.offsets[k + 1]) return false;
        }
        const std::uint64_t span = raw.offsets[to] - raw.offsets[from];
        const std::uint64_t blocks = last - first + 1;
        if (raw.offsets[to] > std::uint64_t(raw.size) || span > blocks * (std::uint64_t(e.blockLength) * 2 + 1024)) {
            return false;
        }
        *ends = &raw.offsets[from];
        return ReadRaw(raw, raw.offsets[from], span, bytes);
    }

    Outcome CompareItem(const Item& item, Scratch* s, std::string* reason) {
        const Pair& pair = pairs_[item.pair];
        const DiffListed& o = pair.old->listed;
        const DiffListed& n = pair.now->listed;
        const std::uint32_t length = o.blockLength;
        const std::uint32_t* endsA = nullptr;
        const std::uint32_t* endsB = nullptr;
        if (!(o.resource && n.resource && o.kind == KIND_DEFLATED && n.kind == KIND_DEFLATED && length > 0 &&
              n.blockLength == length)) {
            return CompareRead(pair, item.at, item.length, s, reason);
        }
        const std::uint32_t first = static_cast<std::uint32_t>(item.at / length);
        const std::uint32_t last = static_cast<std::uint32_t>((item.at + item.length - 1) / length);
        if (!Packed(old_, *pair.old, first, last, &s->packedA, &endsA) ||
            !Packed(now_, *pair.now, first, last, &s->packedB, &endsB)) {
            return CompareRead(pair, item.at, item.length, s, reason);
        }
        for (std::uint32_t k = 0; k <= last - first; ++k) {
            const std::uint32_t a0 = endsA[k] - endsA[0], a1 = endsA[k + 1] - endsA[0];
            const std::uint32_t b0 = endsB[k] - endsB[0], b1 = endsB[k + 1] - endsB[0];
            if (a1 - a0 == b1 - b0 && std::memcmp(s->packedA.data() + a0, s->packedB.data() + b0, a1 - a0) == 0) {
                continue;
            }
            const std::uint64_t at = std::uint64_t(first + k) * length;
            const Outcome outcome = CompareRead(pair, at, std::min<std::uint64_t>(length, pair.size - at), s, reason);
            if (outcome != Outcome::EQUAL) return outcome;
        }
        return Outcome::EQUAL;
    }

    const LoadedSide& old_;
    const LoadedSide& now_;
    const std::vector<Pair>& pairs_;
    const bool firstOnly_;
    std::vector<Item> items_;
    std::vector<Outcome> outcomes_;
    std::vector<std::string> reasons_;
    std::unique_ptr<std::atomic<int>[]> differs_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace

std::vector<PairOutcome> ComparePairs(const LoadedSide& old, const LoadedSide& now,
                                      const std::vector<Pair>& pairs, int jobs, bool firstOnly) {
    Comparer comparer(old, now, pairs, firstOnly);
    return comparer.Run(jobs);
}

}  // namespace rux
