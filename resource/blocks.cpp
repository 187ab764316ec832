#include "resource/blocks.h"

#include <cstring>
#include <new>

#include "resource/cache.h"
#include "resource/inflate.h"
#include "resource/set_impl.h"

namespace rux {

namespace {

// Each thread has its own cache and scratch space, so threads reading
// different resources share nothing and take no lock.
thread_local BlockCache gCache;

// The packed bytes of the block being inflated, kept between fetches so that
// reading a resource allocates nothing per block. One larger than
// SCRATCH_KEEP_BYTES (never one of an ordinary file) is freed after use.
constexpr std::uint32_t SCRATCH_KEEP_BYTES = 1u << 20;
thread_local std::uint8_t* gScratch = nullptr;
thread_local std::uint32_t gScratchCapacity = 0;

// Frees what a thread's reads left, at the thread's end, for threads that
// end without CacheFree (a pool's workers, which the program does not
// run). Armed by the thread's first block or scratch space; after a
// CacheFree it finds nothing left to free.
struct ThreadRelease {
    int armed = 0;
    ~ThreadRelease() {
        if (armed) CacheFree();
    }
};
thread_local ThreadRelease gRelease;

void FreeScratch() {
    delete[] gScratch;
    gScratch = nullptr;
    gScratchCapacity = 0;
}

// Room for length packed bytes; null if the allocation fails.
std::uint8_t* Scratch(std::uint32_t length) {
    if (length > gScratchCapacity || !gScratch) {
        gRelease.armed = 1;
        FreeScratch();
        gScratch = new (std::nothrow) std::uint8_t[length ? length : 1];
        if (gScratch) gScratchCapacity = length;
    }
    return gScratch;
}

void FreeSlot(BlockCache& cache, CacheSlot& slot) {
    delete[] slot.buffer;
    cache.bytes -= slot.capacity;
    slot.buffer = nullptr;
    slot.capacity = 0;
}

}  // namespace

BlockCache& TheBlockCache() { return gCache; }

void CacheReset() {
    gCache.cursor = 0;
    gCache.bytes = 0;
    for (CacheSlot& slot : gCache.slots) {
        slot.buffer = nullptr;
        slot.capacity = 0;
    }
}

void CacheFree() {
    for (CacheSlot& slot : gCache.slots) FreeSlot(gCache, slot);
    FreeScratch();
    InflateFree();
    CacheReset();
}

std::uint8_t* CacheLookup(std::uint64_t stamp, int indexSlot, std::uint32_t block) {
    for (CacheSlot& slot : gCache.slots) {
        if (slot.buffer && slot.stamp == stamp && slot.indexSlot == indexSlot && slot.block == block) {
            return slot.buffer;
        }
    }
    return nullptr;
}

std::uint8_t* CacheLookup(int indexSlot, std::uint32_t block) {
    return CacheLookup(ImplOf(DefaultResourceSet()).stamp, indexSlot, block);
}

std::uint8_t* CacheInsert(std::uint64_t stamp, int indexSlot, std::uint32_t block, std::uint32_t length) {
    BlockCache& cache = gCache;
    gRelease.armed = 1;
    const std::uint32_t at = cache.cursor;
    CacheSlot& slot = cache.slots[at];
    cache.cursor = (at + 1) % CACHE_SLOTS;
    slot.length = 0;
    // Older blocks, oldest first, give way while the new one would take the
    // cache past its bytes; one whose buffer is big enough lends it, so
    // large blocks are not allocated again and again.
    for (std::uint32_t k = 1; k < CACHE_SLOTS; ++k) {
        const std::uint64_t needed = slot.capacity >= length ? 0 : length;
        if (cache.bytes + needed <= CACHE_BYTES) break;
        CacheSlot& old = cache.slots[(at + k) % CACHE_SLOTS];
        if (!old.buffer) continue;
        if (needed != 0 && old.capacity >= length) {
            std::uint8_t* buffer = old.buffer;
            const std::uint32_t capacity = old.capacity;
            old.buffer = slot.buffer;
            old.capacity = slot.capacity;
            slot.buffer = buffer;
            slot.capacity = capacity;
        }
        FreeSlot(cache, old);
    }
    // A buffer big enough is kept: blocks of one file mostly share a length.
    if (!slot.buffer || slot.capacity < length) {
        FreeSlot(cache, slot);
        slot.buffer = new (std::nothrow) std::uint8_t[length ? length : 1];
        if (slot.buffer) {
            slot.capacity = length;
            cache.bytes += length;
        }
    }
    slot.stamp = stamp;
    slot.indexSlot = indexSlot;
    slot.block = block;
    slot.length = length;
    return slot.buffer;
}

std::uint32_t BlockCount(const ResourceEntry& entry) {
    if (entry.blockLength == 0) return 0;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(entry.size) + entry.blockLength - 1) /
                                      entry.blockLength);
}

namespace {

// Inflated length of the block from offset: 0 past the end.
std::uint32_t LengthFrom(const ResourceEntry& entry, std::uint32_t offset) {
    if (offset >= entry.size) return 0;
    const std::uint32_t left = entry.size - offset;
    return entry.blockLength < left ? entry.blockLength : left;
}

}  // namespace

std::uint32_t BlockLength(int indexSlot, std::uint32_t offset) {
    return LengthFrom(DefaultResourceSet().Slots()[indexSlot], offset);
}

namespace {

// Reads and inflates one block of the resource: into `into`, which has
// room for the block's inflated length, or when that is null into a slot
// of this thread's cache. Returns where the bytes are, or null with
// *status set.
const std::uint8_t* InflateBlock(const ResourceSet::Impl& set, int indexSlot, std::uint32_t block,
                                 std::uint8_t* into, ReadStatus* status) {
    const ResourceEntry& entry = set.entries[indexSlot];
    // The data handle is opened once, under its own lock.
    ResourceFile& file = const_cast<ResourceFile&>(set.files[entry.fileSlot]);
    auto damaged = [&]() -> const std::uint8_t* {
        status->error = ReadError::DAMAGED_BLOCK;
        status->systemError = 0;
        status->block = block;
        status->blocks = BlockCount(entry);
        return nullptr;
    };
    // The file ends inside the block's packed bytes [start, start + packed):
    // inFile of them are there.
    auto cut = [&](std::uint32_t inFile, std::uint32_t packed) -> const std::uint8_t* {
        damaged();
        status->error = ReadError::CUT_SHORT;
        status->inFile = inFile;
        status->length = packed;
        return nullptr;
    };

    // The block's two offsets must lie inside the block offset table.
    const std::uint64_t i = static_cast<std::uint64_t>(entry.placement) + block;
    if (i + 1 >= file.blockOffsetCount) return damaged();
    const std::uint32_t start = file.blockOffsets[i];
    const std::uint32_t end = file.blockOffsets[i + 1];
    if (end < start) return damaged();
    const std::uint32_t packed = end - start;

    const std::uint64_t blockStart = static_cast<std::uint64_t>(entry.blockLength) * block;
    if (blockStart >= entry.size) return damaged();
    const std::uint32_t length = LengthFrom(entry, static_cast<std::uint32_t>(blockStart));
    if (length > MAX_BLOCK_BYTES || length > MaxInflatedLength(packed)) return damaged();

    if (!OpenData(file, &status->systemError)) {
        status->error = ReadError::CANNOT_OPEN;
        return nullptr;
    }
    // Packed bytes that the file cannot hold (as it was when its data
    // handle was opened) are refused before room is allocated for them.
    if (file.fileSize < 0) return damaged();
    if (end > file.fileSize) {
        if (!CutShort(file, start, file.fileSize)) return damaged();
        return cut(start < file.fileSize ? static_cast<std::uint32_t>(file.fileSize - start) : 0, packed);
    }
    std::uint8_t* input = Scratch(packed);
    if (!input) {
        status->error = ReadError::OUT_OF_MEMORY;
        return nullptr;
    }
    const std::uint8_t* result = nullptr;
    const std::uint32_t got = ReadData(file, start, input, packed, status);
    if (got != packed && status->error == ReadError::READ_FAILED && status->systemError == 0) {
        // The file shrank since its data handle was opened.
        const std::int64_t now = file.file.Size();
        if (CutShort(file, start, now < 0 ? start + got : now)) {
            cut(got, packed);
        } else {
            damaged();
        }
    } else if (got == packed) {
        std::uint8_t* out = into ? into : CacheInsert(set.stamp, indexSlot, block, length);
        if (!out) {
            status->error = ReadError::OUT_OF_MEMORY;
        } else if (!InflateExact(input, packed, out, length)) {
            // Give back the claimed slot, so a failed block is never served.
            BlockCache& cache = gCache;
            if (!into) FreeSlot(cache, cache.slots[(cache.cursor + CACHE_SLOTS - 1) % CACHE_SLOTS]);
            damaged();
        } else {
            ++gCache.inflations;
            result = out;
        }
    }
    if (gScratchCapacity > SCRATCH_KEEP_BYTES) FreeScratch();
    return result;
}

}  // namespace

const std::uint8_t* FetchSetBlock(const ResourceSet::Impl& set, int indexSlot, std::uint32_t block,
                                  ReadStatus* status) {
    if (std::uint8_t* cached = CacheLookup(set.stamp, indexSlot, block)) return cached;
    return InflateBlock(set, indexSlot, block, nullptr, status);
}

std::int64_t ReadDeflatedAt(const ResourceSet::Impl& set, int indexSlot, std::uint32_t position, void* buffer,
                            std::uint32_t count, ReadStatus* status, int direct) {
    const ResourceEntry& entry = set.entries[indexSlot];
    const std::uint32_t blockLength = entry.blockLength;
    if (blockLength == 0) {
        status->error = ReadError::DAMAGED_BLOCK;
        status->block = 0;
        status->blocks = 0;
        status->delivered = 0;
        return -1;
    }
    std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t block = position / blockLength;
    std::uint32_t offset = position % blockLength;
    std::uint32_t done = 0;
    while (done < count) {
        std::uint32_t piece = blockLength - offset;
        if (piece > count - done) piece = count - done;
        // A whole block wanted whole goes straight into the buffer, unless
        // the cache has it: no copy, and no cache slot taken for a block
        // read once, as a front-to-back read reads each.
        const std::uint64_t blockStart = static_cast<std::uint64_t>(blockLength) * block;
        const bool whole = direct && offset == 0 && blockStart < entry.size &&
                           piece == LengthFrom(entry, static_cast<std::uint32_t>(blockStart));
        const std::uint8_t* data = whole ? CacheLookup(set.stamp, indexSlot, block) : nullptr;
        if (whole && !data) {
            if (!InflateBlock(set, indexSlot, block, out + done, status)) {
                status->delivered = done;
                return -1;
            }
            done += piece;
            ++block;
            continue;
        }
        if (!data) data = FetchSetBlock(set, indexSlot, block, status);
        if (!data) {
            status->delivered = done;
            return -1;
        }
        std::memcpy(out + done, data + offset, piece);
        done += piece;
        offset = 0;
        ++block;
    }
    return count;
}

const std::uint8_t* FetchBlock(int indexSlot, std::uint32_t block) {
    ReadStatus status;
    return FetchSetBlock(ImplOf(DefaultResourceSet()), indexSlot, block, &status);
}

std::uint32_t ReadDeflated(void* buffer, int indexSlot, std::uint32_t position, std::uint32_t count) {
    const ResourceSet::Impl& set = ImplOf(DefaultResourceSet());
    const ResourceEntry& entry = set.entries[indexSlot];
    if (position >= entry.size || entry.blockLength == 0) return 0;
    if (count > entry.size - position) count = entry.size - position;
    if (count == 0) return 0;
    ReadStatus status;
    return ReadDeflatedAt(set, indexSlot, position, buffer, count, &status, 0) < 0 ? 0 : count;
}

}  // namespace rux
