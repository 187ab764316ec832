// Deflated resources and the block cache. Installed as <rux/blocks.h>.
// ResourceStream reads deflated resources through these calls; a program
// needs them directly only to read a range without a stream, or to free a
// worker thread's cache (CacheFree).
//
// A KIND_DEFLATED resource is cut into blocks of blockLength bytes (the last
// one shorter), each deflated on its own, so any byte range is read by
// inflating only the blocks that cover it. The most recent CACHE_SLOTS
// inflated blocks are kept (within CACHE_BYTES), replaced strictly
// round-robin, so a reader going front to back in pieces smaller than a
// block inflates every block once.
//
// These calls read the default set (<rux/set.h>); ResourceSet::ReadAt
// reads any set through the same cache, which keys every block to its set
// and the set's state, so no block is ever served after a remount.
//
// Threads: the cache, the space for packed bytes and the inflater belong
// to the calling thread; each thread keeps its own blocks, and a thread
// that read blocks calls CacheFree before it ends.
#ifndef RUX_RESOURCE_BLOCKS_H
#define RUX_RESOURCE_BLOCKS_H

#include <cstdint>

namespace rux {

constexpr int CACHE_SLOTS = 8;

// The bytes the cache keeps for its blocks: older blocks are let go before
// a new one would take it past this, but the block just inflated is always
// kept. So a thread's cache holds at most CACHE_BYTES or one block,
// whichever is larger, and a reader going front to back still inflates
// every block once.
constexpr std::uint32_t CACHE_BYTES = 2u << 20;

// The longest inflated block that is read; a longer one fails to fetch.
constexpr std::uint32_t MAX_BLOCK_BYTES = 16u << 20;

// Frees every buffer of the calling thread's cache (and its scratch space
// for packed bytes and its inflater). May run concurrently with any call;
// each worker thread calls it before it ends.
void CacheFree();

// Inflated length of the block starting at offset within the resource:
// its block length, or size - offset for the last block. May run
// concurrently with any call but mounting.
std::uint32_t BlockLength(int indexSlot, std::uint32_t offset);

// The inflated block, from the cache or read and inflated into a new cache
// slot; valid until the calling thread's next insertion. Null, with no cache slot
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
