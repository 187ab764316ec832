// Deflated resources and the block cache. Installed as <rux/blocks.h>.
// ResourceStream reads deflated resources through these calls; a program
// needs them directly only to read a range without a stream, or to free a
// worker thread's cache (CacheFree).
//
// A KIND_DEFLATED resource is cut into blocks of blockLength bytes (the last
// one shorter), each deflated on its own, so any byte range is read by
// inflating only the blocks that cover it. The most recent CACHE_SLOTS
// inflated blocks are kept, replaced strictly round-robin, so a reader going
// front to back in pieces smaller than a block inflates every block once.
//
// Threads: the cache, the space for packed bytes and the inflater belong
// to the calling thread; each thread keeps its own CACHE_SLOTS blocks, and
// a thread that read blocks calls CacheFree before it ends.
#ifndef RUX_RESOURCE_BLOCKS_H
#define RUX_RESOURCE_BLOCKS_H

#include <cstdint>

namespace rux {

constexpr int CACHE_SLOTS = 8;

// The longest inflated block that is read; a longer one fails to fetch.
// The cache holds at most CACHE_SLOTS blocks, so this bounds its memory
// (128 MiB; with blocks of at most 4 MiB, 32 MiB).
constexpr std::uint32_t MAX_BLOCK_BYTES = 16u << 20;

struct CacheSlot {
    std::int32_t indexSlot = 0;  // resource whose block this is
    std::uint32_t block = 0;     // block number within that resource
    std::uint32_t length = 0;    // inflated length of the block
    std::uint8_t* buffer = nullptr;  // owned; a slot without one never matches
    std::uint32_t capacity = 0;      // bytes allocated for buffer, at least length
};

struct BlockCache {
    CacheSlot slots[CACHE_SLOTS];
    std::uint32_t cursor = 0;      // slot taken by the next insertion
    std::uint64_t inflations = 0;  // blocks inflated successfully, for tests and benchmarks
};

// The calling thread's cache. May run concurrently with any call.
BlockCache& TheBlockCache();

// Empties the calling thread's cache without freeing: cursor 0, every
// buffer none. May run concurrently with any call.
void CacheReset();

// Frees every buffer of the calling thread's cache (and its scratch space
// for packed bytes and its inflater), then CacheReset(). May run
// concurrently with any call; each worker thread calls it before it ends.
void CacheFree();

// Frees the blocks the calling thread cached for one index slot (its
// resource was replaced). Runs while the tables are filled, so never
// concurrently with reads.
void CacheDrop(int indexSlot);

// The buffer of the first slot, scanning 0 to CACHE_SLOTS - 1, holding
// (indexSlot, block); null if none. The calling thread's cache: may run
// concurrently with any call.
std::uint8_t* CacheLookup(int indexSlot, std::uint32_t block);

// Takes the slot at the cursor, keys it to (indexSlot, block), gives it a
// buffer of at least length bytes and advances the cursor. The slot's old
// buffer is kept when it is big enough, else freed for a new one. Returns
// the buffer, or null if the allocation failed (the slot is then empty).
// The calling thread's cache: may run concurrently with any call.
std::uint8_t* CacheInsert(int indexSlot, std::uint32_t block, std::uint32_t length);

// Inflated length of the block starting at offset within the resource:
// its block length, or size - offset for the last block. May run
// concurrently with any call but mounting.
std::uint32_t BlockLength(int indexSlot, std::uint32_t offset);

// The inflated block, from the cache or read and inflated into a new cache
// slot; valid until CACHE_SLOTS further insertions. Null, with no cache slot
// kept for it, when the block lies outside the block offset table, its end
// offset is before its start or past the end of the resource file, its
// inflated length exceeds MAX_BLOCK_BYTES or what its packed bytes could
// inflate to, the resource file cannot be opened or read, an
// allocation fails, or the data does not inflate to exactly the block's
// length with a valid checksum. May run concurrently with reads of other
// resources in other threads, once OpenDataFiles has run.
const std::uint8_t* FetchBlock(int indexSlot, std::uint32_t block);

// Copies up to count bytes of the resource from position into buffer.
// Returns the bytes copied: count clamped to the resource's end, 0 at or
// past the end (without touching the cache), 0 when the block length is 0,
// and 0 if any block needed fails to fetch. May run concurrently like
// FetchBlock; two threads may even read one resource at once, as this
// touches no stream state.
std::uint32_t ReadDeflated(void* buffer, int indexSlot, std::uint32_t position,
                           std::uint32_t count);

}  // namespace rux

#endif
