// The driver's copy and its making of output directories, through the real
// rux-extract: resources larger than the copy buffer, block lengths that do
// and do not divide it, and names whose directories exist or do not yet;
// a resource that fails part way leaves nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fixture.h"
#include "tests/support/run.h"

using namespace rux;

namespace {

RunResult Extract(const TempDir& dir, const std::vector<PackResource>& resources) {
    std::string error;
    EXPECT_EQ(1, WriteResourceFile(dir / "t.rux", resources, &error)) << error;
    return Run(ProgramFromEnvironment("RUX_EXTRACT"), {dir / "t.rux", dir / "out"}, dir.path());
}

}  // namespace

TEST(ExtractCopy, LargeResourcesOfEveryShapeArriveIntact) {
    TempDir dir;
    const std::vector<PackResource> resources = {
        Deflated("blocks/aligned.bin", TextBytes((3u << 20) + 5, 1), 65536),
        Deflated("blocks/odd.bin", TextBytes((2u << 20) + 999, 2), 65537),
        Deflated("blocks/huge.bin", RandomBytes((7u << 20) / 2, 3), 3u << 20),
        Deflated("blocks/one.bin", TextBytes(1u << 20, 4), 1u << 20),
        Stored("stored/big.bin", RandomBytes((5u << 20) / 2 + 1, 5)),
        Deflated("empty.bin", "", 65536),
    };
    const RunResult result = Extract(dir, resources);
    ASSERT_EQ(0, result.status) << result.output;
    for (const PackResource& r : resources) {
        EXPECT_EQ(r.data, ReadWholeFile(dir / ("out/" + r.name))) << r.name;
    }
    EXPECT_EQ(resources.size(), ListTree(dir / "out").size());
}

TEST(ExtractCopy, DirectoriesAreMadeWhateverTheOrderOfNames) {
    TempDir dir;
    std::vector<PackResource> resources;
    // Deep and shallow names mixed; slot order scatters them further.
    const char* names[] = {"a/b/c/d/e.txt", "a/b/c/f.txt", "a/g.txt", "h.txt", "a/b/i.txt",
                           "j/k/l.txt", "j/m.txt", "a/b/c/d/n/o.txt", "p/q/r/s/t.txt", "p/u.txt"};
    for (int i = 0; i < 10; ++i) resources.push_back(Deflated(names[i], TextBytes(100 + i, i)));
    const RunResult result = Extract(dir, resources);
    ASSERT_EQ(0, result.status) << result.output;
    for (const PackResource& r : resources) {
        EXPECT_EQ(r.data, ReadWholeFile(dir / ("out/" + r.name))) << r.name;
    }
}

TEST(ExtractCopy, FileInTheWayOfADirectoryFails) {
    TempDir dir;
    // Whichever comes first in slot order, the other cannot be created.
    const RunResult result = Extract(dir, {Stored("a", "file"), Stored("a/b.txt", "inside")});
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos, result.output.find("Cannot write")) << result.output;
}

TEST(ExtractCopy, ACorruptBlockLeavesNoFileWhateverTheBlockLength) {
    // The blocks before the bad one are copied, then all of it is removed.
    struct Case {
        std::uint32_t blockLength, badBlock;
    } cases[] = {{65536, 3}, {3u << 20, 1}, {5000, 2}, {4096, 5}};
    for (const Case& c : cases) {
        TempDir dir;
        const std::string text = TextBytes(c.blockLength * (c.badBlock + 2) + 10, 7);
        RawFile raw = MakeRawFile({Deflated("bad.txt", text, c.blockLength)});
        const std::uint32_t start =
            LoadLE32(reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data()) + 4 * c.badBlock);
        raw.data[start - FILE_HEADER_BYTES] ^= 0x55;  // the bad block's zlib header
        ASSERT_EQ(1, WriteWholeFile(dir / "t.rux", raw.Serialize()));
        const RunResult result =
            ::Run(ProgramFromEnvironment("RUX_EXTRACT"), {dir / "t.rux", dir / "out"}, dir.path());
        EXPECT_EQ(1, result.status) << c.blockLength;
        EXPECT_EQ(std::vector<std::string>{}, ListTree(dir / "out")) << c.blockLength;
    }
}
