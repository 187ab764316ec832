#include "resource/blocks.h"

#include <cstring>
#include <new>

#include "resource/index.h"
#include "resource/inflate.h"

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

void FreeScratch() {
    delete[] gScratch;
    gScratch = nullptr;
    gScratchCapacity = 0;
}

// Room for length packed bytes; null if the allocation fails.
std::uint8_t* Scratch(std::uint32_t length) {
    if (length > gScratchCapacity || !gScratch) {
        FreeScratch();
        gScratch = new (std::nothrow) std::uint8_t[length ? length : 1];
        if (gScratch) gScratchCapacity = length;
    }
    return gScratch;
}

void FreeSlot(CacheSlot& slot) {
    delete[] slot.buffer;
    slot.buffer = nullptr;
    slot.capacity = 0;
}

}  // namespace

BlockCache& TheBlockCache() { return gCache; }

void CacheReset() {
    gCache.cursor = 0;
    for (CacheSlot& slot : gCache.slots) {
        slot.buffer = nullptr;
        slot.capacity = 0;
    }
}

void CacheFree() {
    for (CacheSlot& slot : gCache.slots) FreeSlot(slot);
    FreeScratch();
    InflateFree();
    CacheReset();
}

void CacheDrop(int indexSlot) {
    for (CacheSlot& slot : gCache.slots) {
        if (slot.buffer && slot.indexSlot == indexSlot) FreeSlot(slot);
    }
}

std::uint8_t* CacheLookup(int indexSlot, std::uint32_t block) {
    for (CacheSlot& slot : gCache.slots) {
        if (slot.buffer && slot.indexSlot == indexSlot && slot.block == block) return slot.buffer;
    }
    return nullptr;
}

std::uint8_t* CacheInsert(int indexSlot, std::uint32_t block, std::uint32_t length) {
    BlockCache& cache = gCache;
    CacheSlot& slot = cache.slots[cache.cursor];
    cache.cursor = (cache.cursor + 1) % CACHE_SLOTS;
    // A buffer big enough is kept: blocks of one file mostly share a length.
    if (!slot.buffer || slot.capacity < length) {
        FreeSlot(slot);
        slot.buffer = new (std::nothrow) std::uint8_t[length ? length : 1];
        if (slot.buffer) slot.capacity = length;
    }
    slot.indexSlot = indexSlot;
    slot.block = block;
    slot.length = length;
    return slot.buffer;
}

std::uint32_t BlockLength(int indexSlot, std::uint32_t offset) {
    const ResourceEntry& entry = IndexSlots()[indexSlot];
    if (offset >= entry.size) return 0;
    const std::uint32_t left = entry.size - offset;
    return entry.blockLength < left ? entry.blockLength : left;
}

const std::uint8_t* FetchBlock(int indexSlot, std::uint32_t block) {
    if (std::uint8_t* cached = CacheLookup(indexSlot, block)) return cached;

    const ResourceEntry& entry = IndexSlots()[indexSlot];
    ResourceFile& file = MountSlots()[entry.fileSlot];

    // The block's two offsets must lie inside the block offset table.
    const std::uint64_t i = static_cast<std::uint64_t>(entry.placement) + block;
    if (i + 1 >= file.blockOffsetCount) return nullptr;
    const std::uint32_t start = file.blockOffsets[i];
    const std::uint32_t end = file.blockOffsets[i + 1];
    if (end < start) return nullptr;
    const std::uint32_t packed = end - start;

    const std::uint64_t blockStart = static_cast<std::uint64_t>(entry.blockLength) * block;
    if (blockStart >= entry.size) return nullptr;
    const std::uint32_t length = BlockLength(indexSlot, static_cast<std::uint32_t>(blockStart));
    if (length > MAX_BLOCK_BYTES || length > MaxInflatedLength(packed)) return nullptr;

    if (!OpenDataFile(file)) return nullptr;
    // Packed bytes that the file cannot hold (as it was when its data
    // handle was opened) are refused before room is allocated for them.
    if (file.fileSize < 0 || end > file.fileSize) return nullptr;
    std::uint8_t* input = Scratch(packed);
    if (!input) return nullptr;
    int ok = ReadDataFile(file, start, input, packed) == packed;
    std::uint8_t* out = ok ? CacheInsert(indexSlot, block, length) : nullptr;
    ok = out && InflateExact(input, packed, out, length);
    if (gScratchCapacity > SCRATCH_KEEP_BYTES) FreeScratch();
    BlockCache& cache = gCache;
    if (!ok) {
        // Give back the claimed slot, so a failed block is never served.
        if (out) FreeSlot(cache.slots[(cache.cursor + CACHE_SLOTS - 1) % CACHE_SLOTS]);
        return nullptr;
    }
    ++cache.inflations;
    return out;
}

std::uint32_t ReadDeflated(void* buffer, int indexSlot, std::uint32_t position,
                           std::uint32_t count) {
    const ResourceEntry& entry = IndexSlots()[indexSlot];
    const std::uint32_t blockLength = entry.blockLength;
    if (position >= entry.size || blockLength == 0) return 0;
    if (count > entry.size - position) count = entry.size - position;
    if (count == 0) return 0;

    std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t block = position / blockLength;
    std::uint32_t offset = position % blockLength;
    std::uint32_t done = 0;
    while (done < count) {
        std::uint32_t piece = blockLength - offset;
        if (piece > count - done) piece = count - done;
        const std::uint8_t* data = FetchBlock(indexSlot, block);
        if (!data) return 0;
        std::memcpy(out + done, data + offset, piece);
        done += piece;
        offset = 0;
        ++block;
    }
    return count;
}

}  // namespace rux
