// Reads through the shared data handle of a mounted file, and the reuse of
// cache buffers and packed-input space between blocks. Every interleaving
// of stored and deflated reads, in one thread or several, must land on the
// right bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "resource/blocks.h"
#include "resource/cache.h"
#include "resource/index.h"
#include "resource/set_impl.h"
#include "resource/stream.h"
#include "tests/support/fixture.h"

using namespace rux;

namespace {

class DataReads : public ::testing::Test {
protected:
    void Mount(const std::vector<PackResource>& resources) {
        std::string error;
        ASSERT_EQ(1, WriteResourceFile(dir_ / "t.rux", resources, &error)) << error;
        ReleaseResourceTables();
        ASSERT_EQ(1, MountResourceFile((dir_ / "t.rux").c_str()));
    }
    void TearDown() override { ReleaseResourceTables(); }

    // A whole resource read in pieces of the given size.
    static std::string ReadAll(const char* name, std::uint32_t piece) {
        ResourceStream stream;
        EXPECT_EQ(1, stream.Open(name)) << name;
        std::string out(piece, '\0');
        std::string all;
        while (std::uint32_t got = stream.Read(&out[0], piece)) all.append(out, 0, got);
        stream.Close();
        return all;
    }

    TempDir dir_;
};

}  // namespace

TEST_F(DataReads, InterleavedStoredAndDeflatedReadsShareOneHandle) {
    const std::string a = RandomBytes(10000, 1), b = TextBytes(9000, 2), c = TextBytes(300000, 3);
    Mount({Stored("a", a), Stored("b", b), Deflated("c", c, 4096)});
    ResourceStream sa, sb, sc;
    ASSERT_EQ(1, sa.Open("a"));
    ASSERT_EQ(1, sb.Open("b"));
    ASSERT_EQ(1, sc.Open("c"));
    std::string ga, gb, gc;
    char buffer[1000];
    // Uneven pieces so that each stream's next offset is never where the
    // previous read left the handle, and sometimes is (two reads in a row).
    for (int round = 0; ga.size() < a.size() || gb.size() < b.size() || gc.size() < c.size(); ++round) {
        std::uint32_t n = sa.Read(buffer, 700);
        ga.append(buffer, n);
        if (round % 3 == 0) {
            n = sa.Read(buffer, 300);
            ga.append(buffer, n);
        }
        n = sc.Read(buffer, 999);
        gc.append(buffer, n);
        n = sb.Read(buffer, 1000);
        gb.append(buffer, n);
        ASSERT_LT(round, 1000);
    }
    EXPECT_EQ(a, ga);
    EXPECT_EQ(b, gb);
    EXPECT_EQ(c, gc);
}

TEST_F(DataReads, ReadsAfterAShortStoredRead) {
    // The file is cut inside the second resource after mounting: a short
    // read must not leave a wrong position behind for the reads after it.
    const std::string a = TextBytes(5000, 4), b = TextBytes(5000, 5);
    Mount({Stored("a", a), Stored("b", b)});
    const int sb = LookupResource("b");
    const std::uintptr_t bStart = IndexSlots()[sb].placement;
    std::filesystem::resize_file(dir_ / "t.rux", bStart + 3000);
    char buffer[5000];
    EXPECT_EQ(3000u, ReadStored(buffer, sb, 0, 5000));
    EXPECT_EQ(b.substr(0, 3000), std::string(buffer, 3000));
    EXPECT_EQ(100u, ReadStored(buffer, LookupResource("a"), 4900, 100));
    EXPECT_EQ(a.substr(4900), std::string(buffer, 100));
    for (int again = 0; again < 2; ++again) {  // the same range twice running
        EXPECT_EQ(1000u, ReadStored(buffer, sb, 1000, 1000));
        EXPECT_EQ(b.substr(1000, 1000), std::string(buffer, 1000));
    }
    EXPECT_EQ(0u, ReadStored(buffer, sb, 4000, 1000));
    EXPECT_EQ(1000u, ReadStored(buffer, sb, 2000, 1000));
    EXPECT_EQ(b.substr(2000, 1000), std::string(buffer, 1000));
}

TEST_F(DataReads, CacheBuffersOfOtherLengthsAreReusedCorrectly) {
    // Blocks of five lengths through the same eight slots, the longest
    // filling the cache's bytes so that older blocks lend their buffers: a
    // reused buffer may be longer than its block, never shorter, and the
    // cache holds no more bytes than its bound.
    const std::string big = TextBytes(20 * 8192, 6), mid = TextBytes(10 * 3000 + 17, 7),
                      tiny = TextBytes(9 * 100 + 1, 8), huge = TextBytes(3 * (1 << 20) + 5, 9),
                      quarter = TextBytes(7 * 300000, 10);
    Mount({Deflated("big", big, 8192), Deflated("mid", mid, 3000), Deflated("tiny", tiny, 100),
           Deflated("huge", huge, 1 << 20), Deflated("quarter", quarter, 300000)});
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(tiny, ReadAll("tiny", 64));
        EXPECT_EQ(quarter, ReadAll("quarter", 70000));
        EXPECT_EQ(big, ReadAll("big", 5000));
        EXPECT_EQ(huge, ReadAll("huge", 1 << 18));
        EXPECT_EQ(mid, ReadAll("mid", 4096));
        EXPECT_EQ(quarter, ReadAll("quarter", 1 << 20));
        std::uint64_t held = 0;
        for (const CacheSlot& slot : TheBlockCache().slots) {
            if (slot.buffer) {
                EXPECT_GE(slot.capacity, slot.length);
                held += slot.capacity;
            }
        }
        EXPECT_EQ(held, TheBlockCache().bytes);
        EXPECT_LE(held, CACHE_BYTES);
    }
}

TEST_F(DataReads, FailedBlockThenGoodBlocksOfAnotherResource) {
    const std::string good = TextBytes(50000, 9), bad = TextBytes(50000, 10);
    RawFile raw = MakeRawFile({Deflated("good", good, 8192), Deflated("bad", bad, 8192)});
    // Flip a byte inside the second resource's first block.
    const std::vector<DirectoryRecord> records = GetRecords(raw);
    ASSERT_EQ(2u, records.size());
    std::vector<std::uint32_t> offsets;
    {
        ResourceImage image;
        std::string error;
        ASSERT_EQ(1, LayoutResources({Deflated("good", good, 8192), Deflated("bad", bad, 8192)},
                                     &image, &error));
        offsets = image.blockOffsets;
    }
    const std::uint32_t badStart = offsets[records[1].placement];
    raw.data[badStart - FILE_HEADER_BYTES + 20] ^= 0x55;
    ASSERT_EQ(1, WriteWholeFile(dir_ / "t.rux", raw.Serialize()));
    ReleaseResourceTables();
    ASSERT_EQ(1, MountResourceFile((dir_ / "t.rux").c_str()));

    EXPECT_EQ(nullptr, FetchBlock(LookupResource("bad"), 0));
    EXPECT_EQ(nullptr, FetchBlock(LookupResource("bad"), 0));  // never served from the cache
    EXPECT_EQ(good, ReadAll("good", 4096));
}

TEST_F(DataReads, BlocksLargerThanTheKeptScratchSpace) {
    // Incompressible 2 MiB blocks pack to more than the scratch space that
    // is kept between fetches.
    const std::string noise = RandomBytes((2u << 20) * 2 + 5, 11);
    const std::string text = TextBytes(100000, 12);
    Mount({Deflated("noise", noise, 2u << 20, 0), Deflated("text", text, 4096)});
    EXPECT_EQ(noise, ReadAll("noise", 1u << 20));
    EXPECT_EQ(text, ReadAll("text", 4096));
    EXPECT_EQ(noise, ReadAll("noise", 3u << 20));
}

TEST_F(DataReads, FrontToBackInflatesEachBlockOnceWhateverThePiece) {
    const std::string data = TextBytes(64 * 4096 + 123, 13);
    Mount({Deflated("d", data, 4096)});
    for (std::uint32_t piece : {4096u, 4000u, 65536u, 1u << 20}) {
        CacheFree();
        const std::uint64_t before = TheBlockCache().inflations;
        EXPECT_EQ(data, ReadAll("d", piece)) << piece;
        EXPECT_EQ(65u, TheBlockCache().inflations - before) << piece;
    }
}

TEST_F(DataReads, ThreadsReadDifferentResourcesAndRangesAtOnce) {
    // Stored, deflated and loose resources of one mounted file, read whole
    // by streams in several threads; and one large deflated and one stored
    // resource read in ranges by all of them at once.
    std::vector<PackResource> resources;
    std::vector<std::string> names, contents;
    for (int i = 0; i < 24; ++i) {
        const std::string name = "r" + std::to_string(i);
        const std::string data = TextBytes(3000 + 7919 * i, 100 + i);
        names.push_back(name);
        contents.push_back(data);
        resources.push_back(i % 3 == 0   ? Stored(name, data)
                            : i % 3 == 1 ? Deflated(name, data, 4096)
                                         : Loose(name, data));
    }
    const std::string big = TextBytes(64 * 8192 + 77, 200), flat = RandomBytes(300000, 201);
    resources.push_back(Deflated("big", big, 8192));
    resources.push_back(Stored("flat", flat));
    Mount(resources);
    EXPECT_EQ(0, OpenDataFiles());
    const int bigSlot = LookupResource("big"), flatSlot = LookupResource("flat");

    for (int threads = 2; threads <= 8; threads *= 2) {
        std::vector<std::string> got(names.size()), bigGot(threads), flatGot(threads);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (std::size_t i = t; i < names.size(); i += threads) {
                    got[i] = ReadAll(names[i].c_str(), 1000 + 4096 * t);
                }
                // Thread t's share of the ranges: pieces t, t + threads, ...
                std::string piece(8192, '\0');
                for (std::uint32_t at = 8192 * t; at < big.size(); at += 8192 * threads) {
                    bigGot[t].append(piece, 0, ReadDeflated(&piece[0], bigSlot, at, 8192));
                }
                for (std::uint32_t at = 8192 * t; at < flat.size(); at += 8192 * threads) {
                    flatGot[t].append(piece, 0, ReadStored(&piece[0], flatSlot, at, 8192));
                }
                CacheFree();
            });
        }
        for (std::thread& w : workers) w.join();
        for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(contents[i], got[i]) << names[i];
        for (int t = 0; t < threads; ++t) {
            std::string bigWant, flatWant;
            for (std::size_t at = 8192 * t; at < big.size(); at += 8192 * threads) {
                bigWant += big.substr(at, 8192);
            }
            for (std::size_t at = 8192 * t; at < flat.size(); at += 8192 * threads) {
                flatWant += flat.substr(at, 8192);
            }
            EXPECT_EQ(bigWant, bigGot[t]) << threads << " " << t;
            EXPECT_EQ(flatWant, flatGot[t]) << threads << " " << t;
        }
    }
}
