// The packing library's entry point, as other programs call it: what an
// update takes from the old file, and what it deflates again.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "pack/pack.h"
#include "tests/support/pack_bytes.h"
#include "tests/support/fixture.h"

using namespace rux;

namespace {

TEST(PackDirectory, UpdatesReuseTheBlocksOfUnchangedBytesOnly) {
    TempDir tmp;
    std::string text = TextBytes(10 * 65536);
    ASSERT_TRUE(WriteWholeFile(tmp / "a.txt", text));
    ASSERT_TRUE(WriteWholeFile(tmp / "b.txt", TextBytes(3000, 2)));
    PackOptions options;
    options.out = tmp / "out.rux";
    options.dir = tmp.path();
    options.exclude = {"out.rux"};
    options.jobs = 2;
    std::vector<std::string> packed;
    PackCallbacks callbacks;
    callbacks.packed = [&](const PackEntry& entry, const DirectoryRecord& record) {
        packed.push_back(std::to_string(record.kind) + " " + entry.name);
    };
    const auto pack = [&](std::uint64_t deflated, std::uint64_t reused, bool notReused) {
        std::vector<PackWarning> warnings;
        std::vector<std::string> refusals;
        PackStats stats;
        std::string error;
        packed.clear();
        ASSERT_TRUE(PackDirectory(options, callbacks, &warnings, &refusals, &stats, &error)) << error;
        EXPECT_EQ((std::vector<std::string>{"8 a.txt", "8 b.txt"}), packed);
        EXPECT_EQ(deflated, stats.deflatedBlocks);
        EXPECT_EQ(reused, stats.reusedBlocks);
        EXPECT_EQ(notReused, !stats.notReused.empty()) << stats.notReused;
    };
    pack(11, 0, false);
    // The same bytes for any number of threads.
    const std::string fresh = ReadWholeFile(tmp / "out.rux");
    for (const int jobs : {1, 8}) {
        PackOptions other = options;
        other.jobs = jobs;
        other.out = tmp / "other.rux";
        other.exclude = {"out.rux", "other.rux"};
        std::vector<PackWarning> warnings;
        std::vector<std::string> refusals;
        std::string error;
        ASSERT_TRUE(PackDirectory(other, PackCallbacks(), &warnings, &refusals, nullptr, &error)) << error;
        EXPECT_TRUE(fresh == ReadWholeFile(tmp / "other.rux")) << jobs;
        std::remove((tmp / "other.rux").c_str());
    }
    options.update = true;
    pack(0, 11, false);
    text[4 * 65536 + 7] ^= 1;
    ASSERT_TRUE(WriteWholeFile(tmp / "a.txt", text));
    pack(1, 10, false);
    // Blocks of another level would not be a fresh pack's.
    options.level = 1;
    pack(11, 0, true);
    // What no command line can ask for is refused, the file left as it was.
    const std::string before = ReadWholeFile(tmp / "out.rux");
    for (const auto& bad : {std::make_pair(0u, 6), std::make_pair(65536u, MaxPackLevel() + 1)}) {
        options.blockSize = bad.first;
        options.level = bad.second;
        std::vector<PackWarning> warnings;
        std::vector<std::string> refusals;
        std::string error;
        EXPECT_FALSE(PackDirectory(options, callbacks, &warnings, &refusals, nullptr, &error));
        EXPECT_NE(std::string::npos, error.find(bad.first ? "level" : "block size")) << error;
    }
    EXPECT_TRUE(before == ReadWholeFile(tmp / "out.rux"));
}

// An old block far larger than its data (here padded with empty stored
// blocks, which inflate to nothing) is no block of this packer's: -u
// deflates its bytes again rather than copy it, and gives a fresh pack.
TEST(PackDirectory, UpdatesCopyNoBlockFarLargerThanItsData) {
    TempDir tmp;
    const std::string text = TextBytes(4 * 4096, 3);
    ASSERT_TRUE(WriteWholeFile(tmp / "a.txt", text));
    PackOptions options;
    options.out = tmp / "out.rux";
    options.dir = tmp.path();
    options.exclude = {"out.rux"};
    options.blockSize = 4096;
    std::vector<PackWarning> warnings;
    std::vector<std::string> refusals;
    std::string error;
    ASSERT_TRUE(PackDirectory(options, PackCallbacks(), &warnings, &refusals, nullptr, &error)) << error;
    const std::string fresh = ReadWholeFile(tmp / "out.rux");

    ResourceImage image;
    ASSERT_EQ(1, LayoutResources({Deflated("a.txt", text, 4096)}, &image, &error)) << error;
    ASSERT_EQ(5u, image.blockOffsets.size());
    std::string padding;
    for (int i = 0; i < 5000; ++i) padding += std::string("\x00\x00\x00\xff\xff", 5);
    const std::uint32_t second = image.blockOffsets[1] - FILE_HEADER_BYTES;
    image.data.insert(second + 2, padding);  // after its zlib header
    for (std::size_t k = 2; k < image.blockOffsets.size(); ++k) {
        image.blockOffsets[k] += static_cast<std::uint32_t>(padding.size());
    }
    ASSERT_EQ(1, WriteWholeFile(tmp / "out.rux", SerializeImage(image)));
    options.update = true;
    PackStats stats;
    ASSERT_TRUE(PackDirectory(options, PackCallbacks(), &warnings, &refusals, &stats, &error)) << error;
    EXPECT_TRUE(fresh == ReadWholeFile(tmp / "out.rux"));
    EXPECT_EQ(4u, stats.deflatedBlocks + stats.reusedBlocks);
}

// A stop requested from another thread in the middle of a large file ends
// the pack within a chunk: it says it was stopped, makes no output file
// and no temporary, and the old output stays as it was.
TEST(PackDirectory, AStopFromAnotherThreadLeavesTheOldOutput) {
    TempDir tmp;
    ASSERT_TRUE(WriteWholeFile(tmp / "big.txt", TextBytes(64 << 20, 4)));
    ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
    StopRequest stop;
    PackOptions options;
    options.out = tmp / "out.rux";
    options.dir = tmp.path();
    options.jobs = 2;
    options.level = 1;
    options.stop = &stop;
    std::atomic<std::uint64_t> done{0};
    PackCallbacks callbacks;
    callbacks.progress = [&](std::uint64_t bytes) { done += bytes; };
    std::thread stopper([&] {
        while (done.load() == 0) std::this_thread::yield();
        stop.Request();
    });
    std::vector<PackWarning> warnings;
    std::vector<std::string> refusals;
    PackStats stats;
    std::string error;
    EXPECT_FALSE(PackDirectory(options, callbacks, &warnings, &refusals, &stats, &error));
    stopper.join();
    EXPECT_TRUE(stats.stopped) << error;
    EXPECT_LT(done.load(), std::uint64_t(64) << 20);
    EXPECT_EQ("old", ReadWholeFile(tmp / "out.rux"));
    EXPECT_EQ((std::vector<std::string>{"big.txt", "out.rux"}), ListTree(tmp.path()));
}

}  // namespace
