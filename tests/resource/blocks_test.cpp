#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "resource/inflate.h"
#include "tests/resource/resource_support.h"

using namespace rux;

namespace {

std::uint64_t Inflations() { return TheBlockCache().inflations; }

// The cache slot holding (indexSlot, block), or null.
const CacheSlot* Cached(int indexSlot, std::uint32_t block) {
    for (const CacheSlot& s : TheBlockCache().slots) {
        if (s.buffer && s.indexSlot == indexSlot && s.block == block) return &s;
    }
    return nullptr;
}

int CachedBuffers() {
    int n = 0;
    for (const CacheSlot& s : TheBlockCache().slots) n += s.buffer != nullptr;
    return n;
}

}  // namespace

class Blocks : public ResourceTest {
protected:
    // Mounts one deflated resource "d"; its slot.
    int MountOne(const std::string& data, std::uint32_t blockLength, int level = 6) {
        EXPECT_EQ(1, Mount({Deflated("d", data, blockLength, level)}));
        return LookupResource("d");
    }
};

TEST_F(Blocks, Geometry) {
    struct Case {
        std::uint32_t size, blockLength, blocks, lastLength;
    };
    const Case cases[] = {
        {12288, 4096, 3, 4096},  // an exact multiple: no short block
        {10000, 4096, 3, 1808},  // a short last block
        {100, 4096, 1, 100},     // one small block
        {0, 4096, 0, 0},         // no blocks at all
    };
    for (const Case& c : cases) {
        ReleaseResourceTables();
        const std::string data = TextBytes(c.size);
        const int slot = MountOne(data, c.blockLength);
        ASSERT_GE(slot, 0);
        EXPECT_EQ(c.blocks + 1, MountSlots()[0].blockOffsetCount) << c.size;
        EXPECT_EQ(data, ReadAllDeflated(slot)) << c.size;
        EXPECT_EQ(c.blocks, Inflations()) << c.size;
        EXPECT_EQ(nullptr, FetchBlock(slot, c.blocks)) << c.size;  // one past the last
        if (c.blocks == 0) continue;
        const std::uint32_t last = c.blocks - 1;
        EXPECT_EQ(c.lastLength, BlockLength(slot, last * c.blockLength));
        const CacheSlot* cached = Cached(slot, last);
        ASSERT_NE(nullptr, cached);
        EXPECT_EQ(c.lastLength, cached->length);  // allocated at the short length
    }
}

TEST_F(Blocks, ReadSpanningTwoBlocks) {
    const std::string data = TextBytes(10000);
    const int slot = MountOne(data, 4096);
    char buffer[6];
    ASSERT_EQ(6u, ReadDeflated(buffer, slot, 4093, 6));
    EXPECT_EQ(data.substr(4093, 6), std::string(buffer, 6));
    EXPECT_EQ(2u, Inflations());
    // Clamped at the end.
    EXPECT_EQ(2u, ReadDeflated(buffer, slot, 9998, 6));
    EXPECT_EQ(data.substr(9998), std::string(buffer, 2));
}

TEST_F(Blocks, RoundRobinReuseInflatesAgainAfterEightInsertions) {
    const int slot = MountOne(TextBytes(1000), 100);
    const std::uint8_t* first = FetchBlock(slot, 0);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, FetchBlock(slot, 0));
    EXPECT_EQ(1u, Inflations());
    for (std::uint32_t b = 1; b < CACHE_SLOTS; ++b) ASSERT_NE(nullptr, FetchBlock(slot, b));
    EXPECT_EQ(8u, Inflations());
    ASSERT_NE(nullptr, FetchBlock(slot, 0));  // still held: a hit protects nothing, though
    EXPECT_EQ(8u, Inflations());
    ASSERT_NE(nullptr, FetchBlock(slot, 8));  // the eighth further insertion takes its slot
    EXPECT_EQ(nullptr, CacheLookup(slot, 0));
    ASSERT_NE(nullptr, FetchBlock(slot, 0));
    EXPECT_EQ(10u, Inflations());
    EXPECT_EQ(nullptr, CacheLookup(slot, 1));  // and block 0 took block 1's slot
}

TEST_F(Blocks, FrontToBackReadInflatesEveryBlockOnce) {
    const std::string data = TextBytes(11 * 5000 + 123);
    const int slot = MountOne(data, 5000);
    std::string out;
    char buffer[4096];
    for (std::uint32_t n; (n = ReadDeflated(buffer, slot, static_cast<std::uint32_t>(out.size()),
                                            sizeof buffer)) > 0;) {
        out.append(buffer, n);
    }
    EXPECT_EQ(data, out);
    EXPECT_EQ(12u, Inflations());
}

TEST_F(Blocks, ReadAtOrPastTheEndLeavesTheCacheAlone) {
    // Sizes a multiple of the block length and not: the end may fall inside
    // the last block.
    int slot = MountOne(TextBytes(550), 100);
    char buffer[8];
    for (std::uint32_t position : {550u, 551u, 599u, 600u, 0xFFFFFFFFu}) {
        EXPECT_EQ(0u, ReadDeflated(buffer, slot, position, sizeof buffer)) << position;
    }
    ReleaseResourceTables();
    slot = MountOne(TextBytes(500), 100);
    for (std::uint32_t position : {500u, 501u, 0xFFFFFFFFu}) {
        EXPECT_EQ(0u, ReadDeflated(buffer, slot, position, sizeof buffer));
    }
    EXPECT_EQ(0u, Inflations());
    EXPECT_EQ(0, CachedBuffers());
    EXPECT_EQ(0u, TheBlockCache().cursor);
}

TEST_F(Blocks, BlockLengthZeroReadsNothing) {
    RawFile file = MakeRawFile({Deflated("d", "some data")});
    SetRecordField(&file, 0, &DirectoryRecord::blockLength, 0);
    ASSERT_EQ(1, Mount(file));
    char buffer[16];
    EXPECT_EQ(0u, ReadDeflated(buffer, LookupResource("d"), 0, sizeof buffer));
    EXPECT_EQ(0, CachedBuffers());
}

// Deflate expands at most about 1032:1; a block of zeros comes close.
TEST_F(Blocks, HighlyCompressedBlocksAreWithinTheBound) {
    const std::string zeros(4 << 20, '\0');
    const int slot = MountOne(zeros, 4 << 20, 9);
    const std::uint32_t* t = MountSlots()[0].blockOffsets;
    // Near deflate's best: zlib reaches about 1030:1 here, libdeflate 987:1.
    EXPECT_GT(zeros.size(), 980ull * (t[1] - t[0]));
    EXPECT_LE(zeros.size(), MaxInflatedLength(t[1] - t[0]));
    EXPECT_EQ(zeros, ReadAllDeflated(slot));
}

TEST_F(Blocks, DamagedBlocksAreNeverHandedOutNorCached) {
    // "d" is 300 bytes in blocks of 100, behind a stored resource; its
    // block table entries are T[0..3].
    ResourceImage good;
    std::string error;
    ASSERT_TRUE(LayoutResources({Stored("s", "stored"), Deflated("d", TextBytes(300), 100)},
                                &good, &error));
    struct Case {
        const char* what;
        std::uint32_t block;  // the block that must fail
        bool claims;          // found out only after claiming a cache slot
        std::function<void(ResourceImage&, DirectoryRecord&, std::vector<std::uint32_t>&)> damage;
    };
    auto at = [](ResourceImage& i, std::uint32_t offset) -> char& { return i.data[offset - 8]; };
    const Case cases[] = {
        {"table index beyond the table", 0, false, [](auto&, auto& r, auto&) { r.placement = 3; }},
        {"table index overflows", 1, false, [](auto&, auto& r, auto&) { r.placement = 0xFFFFFFFF; }},
        {"end before start", 0, false, [](auto&, auto&, auto& t) { t[1] = t[0] - 1; }},
        {"packed bytes past the end of the file", 2, false,
         [](auto&, auto&, auto& t) { t[3] = 0xFFFFFFF0; }},
        {"length beyond what the packed bytes give", 0, false,
         [](auto&, auto& r, auto& t) {
             r.blockLength = r.size = static_cast<std::uint32_t>(MaxInflatedLength(t[1] - t[0]) + 1);
         }},
        {"bad zlib header", 1, true, [&](auto& i, auto&, auto& t) { at(i, t[1]) ^= 0x20; }},
        {"wrong Adler-32", 1, true, [&](auto& i, auto&, auto& t) { at(i, t[2] - 1) ^= 1; }},
        {"inflates to fewer bytes", 0, true,
         [](auto&, auto& r, auto&) { r.blockLength = 101; r.size = 303; }},
        {"inflates to more bytes", 0, true,
         [](auto&, auto& r, auto&) { r.blockLength = 99; r.size = 297; }},
    };
    for (const Case& c : cases) {
        ReleaseResourceTables();
        ResourceImage image = good;
        c.damage(image, image.records[1], image.blockOffsets);
        ASSERT_EQ(1, Mount(ToRawFile(image))) << c.what;
        const int slot = LookupResource("d");
        const std::uint32_t cursor = TheBlockCache().cursor;
        EXPECT_EQ(nullptr, FetchBlock(slot, c.block)) << c.what;
        EXPECT_EQ(nullptr, Cached(slot, c.block)) << c.what;
        if (!c.claims) {
            EXPECT_EQ(cursor, TheBlockCache().cursor) << c.what;
        }
        char buffer[300];
        EXPECT_EQ(0u, ReadDeflated(buffer, slot, 0, sizeof buffer)) << c.what;
        EXPECT_EQ(nullptr, Cached(slot, c.block)) << c.what;
    }
}
