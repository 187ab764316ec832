#include "diff/compare.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "resource/blocks.h"
#include "resource/format.h"
#include "resource/inflate.h"

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

// Room that grows to the most asked of it, kept from one use to the next
// and not cleared.
class Room {
public:
    std::uint8_t* Get(std::uint64_t bytes) {
        if (bytes > capacity_) {
            bytes_.reset(new std::uint8_t[bytes]);
            capacity_ = bytes;
        }
        return bytes_.get();
    }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::uint64_t capacity_ = 0;
};

// A thread's buffers: a chunk of each side, read or inflated, and the
// packed bytes of each side's blocks of a range.
struct Scratch {
    Room a, b, packedA, packedB;
};

bool ReadRaw(RawFile& raw, std::uint64_t from, std::uint64_t count, std::uint8_t* out) {
    for (std::uint64_t done = 0; done < count;) {
        const std::uint32_t got = raw.file.ReadAt(out + done, static_cast<std::uint32_t>(count - done),
                                                  static_cast<std::int64_t>(from + done));
        if (got == 0) return false;
        done += got;
    }
    return true;
}

// Inflates one block's packed bytes, held already, to exactly length
// bytes; 0 when they do not (the block is then read through the set, which
// says why).
bool InflateHeld(const std::uint8_t* packed, std::uint32_t packedLength, std::uint32_t length, Room* room) {
    if (length > MAX_BLOCK_BYTES || length > MaxInflatedLength(packedLength)) return false;
    return InflateExact(packed, packedLength, room->Get(length), length) == 1;
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
        std::uint8_t* const bytesA = s->a.Get(CHUNK_BYTES);
        std::uint8_t* const bytesB = s->b.Get(CHUNK_BYTES);
        for (std::uint64_t done = 0; done < length && outcome == Outcome::EQUAL;) {
            const std::uint32_t ask = static_cast<std::uint32_t>(std::min<std::uint64_t>(CHUNK_BYTES, length - done));
            const std::int64_t a = ReadMember(old_, *pair.old, &files[0], at + done, bytesA, ask, reason);
            const std::int64_t b = a < 0 ? -1 : ReadMember(now_, *pair.now, &files[1], at + done, bytesB, ask, reason);
            if (a < 0 || b < 0) {
                outcome = Outcome::TROUBLE;
            } else if (a != ask || b != ask || std::memcmp(bytesA, bytesB, ask) != 0) {
                outcome = Outcome::DIFFERENT;  // a file of the tree that shrank differs too
            }
            done += ask;
        }
        for (DiskFile& f : files) f.Close();
        return outcome;
    }

    // Where both sides hold the range as blocks of one length, the packed
    // bytes of each block: equal ones are equal without inflating, and the
    // others are inflated from them, so no block is read twice. The range's
    // blocks lie back to back on each side; 0 when they do not, or cannot
    // be read (the caller then reads the range inflated).
    bool Packed(const LoadedSide& side, const Member& m, std::uint32_t first, std::uint32_t last,
                Room* room, const std::uint8_t** bytes, const std::uint32_t** ends) {
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
        std::uint8_t* into = room->Get(span);
        *bytes = into;
        return ReadRaw(raw, raw.offsets[from], span, into);
    }

    // The blocks first..last of a pair held as blocks of one length on both
    // sides, a group of at most RANGE_BYTES inflated at a time (so a range
    // that is a whole resource never holds all its packed bytes at once).
    Outcome CompareBlocks(const Pair& pair, std::uint32_t first, std::uint32_t last, Scratch* s,
                          std::string* reason) {
        const std::uint32_t length = pair.old->listed.blockLength;
        const std::uint32_t group = std::max<std::uint32_t>(1, RANGE_BYTES / length);
        for (std::uint32_t from = first; from <= last; from += group) {
            const std::uint32_t to = static_cast<std::uint32_t>(std::min<std::uint64_t>(last, std::uint64_t(from) + group - 1));
            const Outcome outcome = CompareGroup(pair, from, to, s, reason);
            if (outcome != Outcome::EQUAL) return outcome;
            if (to == last) break;
        }
        return Outcome::EQUAL;
    }

    Outcome CompareGroup(const Pair& pair, std::uint32_t first, std::uint32_t last, Scratch* s,
                         std::string* reason) {
        const std::uint32_t length = pair.old->listed.blockLength;
        const std::uint32_t* endsA = nullptr;
        const std::uint32_t* endsB = nullptr;
        const std::uint8_t* packedA = nullptr;
        const std::uint8_t* packedB = nullptr;
        if (!Packed(old_, *pair.old, first, last, &s->packedA, &packedA, &endsA) ||
            !Packed(now_, *pair.now, first, last, &s->packedB, &packedB, &endsB)) {
            const std::uint64_t at = std::uint64_t(first) * length;
            return CompareRead(pair, at, std::min<std::uint64_t>(std::uint64_t(last - first + 1) * length, pair.size - at),
                               s, reason);
        }
        for (std::uint32_t k = 0; k <= last - first; ++k) {
            const std::uint32_t a0 = endsA[k] - endsA[0], a1 = endsA[k + 1] - endsA[0];
            const std::uint32_t b0 = endsB[k] - endsB[0], b1 = endsB[k + 1] - endsB[0];
            if (a1 - a0 == b1 - b0 && std::memcmp(packedA + a0, packedB + b0, a1 - a0) == 0) continue;
            const std::uint64_t at = std::uint64_t(first + k) * length;
            const std::uint32_t bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, pair.size - at));
            if (InflateHeld(packedA + a0, a1 - a0, bytes, &s->a) && InflateHeld(packedB + b0, b1 - b0, bytes, &s->b)) {
                if (std::memcmp(s->a.Get(bytes), s->b.Get(bytes), bytes) != 0) return Outcome::DIFFERENT;
                continue;
            }
            const Outcome outcome = CompareRead(pair, at, bytes, s, reason);
            if (outcome != Outcome::EQUAL) return outcome;
        }
        return Outcome::EQUAL;
    }

    Outcome CompareItem(const Item& item, Scratch* s, std::string* reason) {
        const Pair& pair = pairs_[item.pair];
        const DiffListed& o = pair.old->listed;
        const DiffListed& n = pair.now->listed;
        const std::uint32_t length = o.blockLength;
        if (!(o.resource && n.resource && o.kind == KIND_DEFLATED && n.kind == KIND_DEFLATED && length > 0 &&
              n.blockLength == length)) {
            return CompareRead(pair, item.at, item.length, s, reason);
        }
        return CompareBlocks(pair, static_cast<std::uint32_t>(item.at / length),
                             static_cast<std::uint32_t>((item.at + item.length - 1) / length), s, reason);
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
