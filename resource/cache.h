// The calling thread's cache of inflated blocks, inside the library. Not
// installed: programs read through <rux/blocks.h> and <rux/set.h>.
#ifndef RUX_RESOURCE_CACHE_H
#define RUX_RESOURCE_CACHE_H

#include <cstdint>

#include "resource/blocks.h"

namespace rux {

struct CacheSlot {
    std::uint64_t stamp = 0;     // the set state the block was read under
    std::int32_t indexSlot = 0;  // resource whose block this is
    std::uint32_t block = 0;     // block number within that resource
    std::uint32_t length = 0;    // inflated length of the block
    std::uint8_t* buffer = nullptr;  // owned; a slot without one never matches
    std::uint32_t capacity = 0;      // bytes allocated for buffer, at least length
};

struct BlockCache {
    CacheSlot slots[CACHE_SLOTS];
    std::uint32_t cursor = 0;      // slot taken by the next insertion
    std::uint64_t bytes = 0;       // capacity of every buffer held
    std::uint64_t inflations = 0;  // blocks inflated successfully, for tests and benchmarks
};

// The calling thread's cache.
BlockCache& TheBlockCache();

// Empties the calling thread's cache without freeing: cursor 0, every
// buffer none.
void CacheReset();

// The buffer of the first slot, scanning 0 to CACHE_SLOTS - 1, holding
// (stamp, indexSlot, block); null if none.
std::uint8_t* CacheLookup(std::uint64_t stamp, int indexSlot, std::uint32_t block);
// The same under the default set's current stamp.
std::uint8_t* CacheLookup(int indexSlot, std::uint32_t block);

// Takes the slot at the cursor, keys it, gives it a buffer of at least
// length bytes and advances the cursor; older slots give up their buffers
// (oldest first, one big enough lent to this slot) while the cache would
// hold more than CACHE_BYTES. Returns the buffer, or null if the
// allocation failed (the slot is then empty).
std::uint8_t* CacheInsert(std::uint64_t stamp, int indexSlot, std::uint32_t block, std::uint32_t length);

}  // namespace rux

#endif
