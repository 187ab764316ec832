// The packing library's entry point, as other programs call it: what an
// update takes from the old file, and what it deflates again.
#include <gtest/gtest.h>

#include <cstdio>

#include "pack/pack.h"
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

}  // namespace
