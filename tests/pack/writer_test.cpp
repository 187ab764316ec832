// The writer's streaming core: it must give the same bytes as the
// in-memory layout, fall back to stored data cleanly, and refuse what the
// format cannot hold before reading or writing any of it.
#include <gtest/gtest.h>

#include <zlib.h>

#if RUX_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "pack/writer.h"
#include "resource/inflate.h"
#include "tests/support/fixture.h"
#include "tests/support/pack_bytes.h"

using namespace rux;

namespace {

// The writer, at level 0, gives bytes that can be predicted exactly.
TEST(Writer, LaysOutASimpleFileAsExpected) {
    ResourceImage image;
    std::string error;
    ASSERT_TRUE(LayoutResources({Stored("s", "hello"), Deflated("d/x", "ABCDEFG", 4, 0),
                                 Loose("L.txt", "loose!")},
                                &image, &error));
    const std::string records = Bytes({
        0, 0, 0, 0, 2, 0, 0, 0, 8, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0,
        2, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 4, 0, 0, 0,
        6, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0,
    });
    const std::string expected =
        "RUXA" + Bytes({34, 0, 0, 0}) + "hello" + ZlibStored("ABCD") + ZlibStored("EFG") +
        Bytes({71, 0, 0, 0, 3, 0, 0, 0, 20, 0, 0, 0}) + ZlibStored(records) +
        Bytes({23, 0, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0}) + ZlibStored(std::string("s\0d/x\0L.txt\0", 12)) +
        Bytes({23, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0}) +
        ZlibStored(Bytes({13, 0, 0, 0, 28, 0, 0, 0, 42, 0, 0, 0}));
    EXPECT_EQ(expected, SerializeImage(image, 0));
}

std::vector<PackResource> MixedResources() {
    return {Stored("readme.txt", "stored bytes\n"),
            Deflated("text/poem.txt", TextBytes(10000), 4096, 9),
            Deflated("exact.bin", TextBytes(8192, 2), 1024),
            Deflated("empty.dat", "", 65536),
            Loose("dir\\loose.cfg", "key=value\n"),
            Stored("empty-stored", ""),
            {"odd-kind", 5, "ignored", 0, 6},
            Deflated("random.bin", RandomBytes(3000), 1000)};
}

// Streams resources to a fresh file and returns its bytes.
std::string Stream(const TempDir& dir, const std::vector<PackResource>& resources,
                   int storeUnshrunk, std::vector<DirectoryRecord>* records = nullptr) {
    PackWriter writer;
    writer.storeUnshrunk = storeUnshrunk;
    std::string error;
    const std::string path = dir / "streamed.rux";
    EXPECT_TRUE(BeginPackFile(&writer, path, &error)) << error;
    for (const PackResource& r : resources) {
        EXPECT_TRUE(AddResource(&writer, r.name, r.kind, r.blockLength, r.level,
                                MemorySource(r.data), &error))
            << error;
    }
    EXPECT_TRUE(FinishPackFile(&writer, 6, &error)) << error;
    if (records) *records = writer.image.records;
    return ReadWholeFile(path);
}

TEST(PackWriter, StreamingGivesTheInMemoryBytes) {
    TempDir dir;
    ResourceImage image;
    std::string error;
    ASSERT_TRUE(LayoutResources(MixedResources(), &image, &error)) << error;
    EXPECT_EQ(SerializeImage(image), Stream(dir, MixedResources(), 0));

    ASSERT_TRUE(WriteResourceFile(dir / "whole.rux", MixedResources(), &error)) << error;
    EXPECT_EQ(SerializeImage(image), ReadWholeFile(dir / "whole.rux"));
    EXPECT_EQ("key=value\n", ReadWholeFile(dir / "whole.ruxdir/loose.cfg"));
}

TEST(PackWriter, UnshrunkDataIsStoredWithNoTraceOfTheBlocks) {
    TempDir dir;
    // The random resource comes last, so its abandoned blocks would lie past
    // the tables unless the file is trimmed.
    const std::vector<PackResource> asked = {Deflated("text", TextBytes(5000), 512),
                                             Deflated("empty", ""),
                                             Deflated("random", RandomBytes(5000), 512)};
    const std::vector<PackResource> expected = {Deflated("text", TextBytes(5000), 512),
                                                Stored("empty", ""),
                                                Stored("random", RandomBytes(5000))};
    std::vector<DirectoryRecord> records;
    const std::string streamed = Stream(dir, asked, 1, &records);
    ResourceImage image;
    std::string error;
    ASSERT_TRUE(LayoutResources(expected, &image, &error)) << error;
    EXPECT_EQ(SerializeImage(image), streamed);
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(KIND_DEFLATED, records[0].kind);
    EXPECT_EQ(KIND_STORED, records[1].kind);
    EXPECT_EQ(KIND_STORED, records[2].kind);
    EXPECT_EQ(5000u, records[2].size);

    // Without the option the same request keeps every resource deflated.
    std::vector<DirectoryRecord> kept;
    Stream(dir, asked, 0, &kept);
    for (const DirectoryRecord& r : kept) EXPECT_EQ(KIND_DEFLATED, r.kind);
}

TEST(PackWriter, BlocksOfOneByteFallBackToStored) {
    TempDir dir;
    std::vector<DirectoryRecord> records;
    const std::string text = TextBytes(2000);
    Stream(dir, {Deflated("tiny-blocks", text, 1)}, 1, &records);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(KIND_STORED, records[0].kind);
    EXPECT_EQ(FILE_HEADER_BYTES, records[0].placement);
}

TEST(PackWriter, OffsetsMustStayBelowTheLimit) {
    std::string error;
    {
        // Stored data may end just below the limit, not at it.
        PackWriter writer;
        writer.offsetLimit = 1000;
        const std::string fits(991, 'x');
        EXPECT_TRUE(AddResource(&writer, "fits", KIND_STORED, 0, 6, MemorySource(fits), &error));
        EXPECT_FALSE(AddResource(&writer, "one-more", KIND_STORED, 0, 6, MemorySource("y"),
                                 &error));
        EXPECT_NE(std::string::npos, error.find("one-more")) << error;
    }
    {
        // Deflated data that would not fit stored still goes in deflated.
        PackWriter writer;
        writer.offsetLimit = 1000;
        writer.storeUnshrunk = 1;
        const std::string zeros(5000, '\0');
        EXPECT_TRUE(
            AddResource(&writer, "zeros", KIND_DEFLATED, 65536, 6, MemorySource(zeros), &error));
        EXPECT_EQ(KIND_DEFLATED, writer.image.records.back().kind);
        EXPECT_FALSE(AddResource(&writer, "zeros-stored", KIND_STORED, 0, 6,
                                 MemorySource(zeros), &error));
    }
    {
        PackWriter writer;
        writer.offsetLimit = 1000;
        EXPECT_FALSE(AddResource(&writer, "random", KIND_DEFLATED, 100, 6,
                                 MemorySource(RandomBytes(2000)), &error));
        EXPECT_NE(std::string::npos, error.find("4 GiB")) << error;
    }
}

TEST(PackWriter, RefusesBeforeReadingWhatCannotBeRecorded) {
    PackWriter writer;
    std::string error;
    PackSource huge;  // no bytes behind it: reading would crash
    huge.size = PACK_OFFSET_LIMIT;
    for (std::uint32_t kind : {KIND_STORED, KIND_DEFLATED, KIND_LOOSE}) {
        EXPECT_FALSE(AddResource(&writer, "huge", kind, 65536, 6, huge, &error));
    }
    EXPECT_FALSE(AddResource(&writer, "no-blocks", KIND_DEFLATED, 0, 6, MemorySource("x"), &error));
    EXPECT_NE(std::string::npos, error.find("block length 0")) << error;
    EXPECT_TRUE(writer.image.records.empty());
    EXPECT_TRUE(writer.image.names.empty());
}

TEST(PackWriter, FileSourcesAreReadAgainWhenStored) {
    TempDir dir;
    const std::string random = RandomBytes(70000);
    ASSERT_TRUE(WriteWholeFile(dir / "random.bin", random));
    DiskFile file;
    ASSERT_TRUE(file.Open((dir / "random.bin").c_str(), 0));

    PackWriter writer;
    writer.storeUnshrunk = 1;
    std::string error;
    ASSERT_TRUE(BeginPackFile(&writer, dir / "out.rux", &error)) << error;
    ASSERT_TRUE(AddResource(&writer, "r", KIND_DEFLATED, 4096, 6, FileSource(&file), &error))
        << error;
    ASSERT_TRUE(FinishPackFile(&writer, 6, &error)) << error;
    file.Close();

    ResourceImage image;
    ASSERT_TRUE(LayoutResources({Stored("r", random)}, &image, &error)) << error;
    EXPECT_EQ(SerializeImage(image), ReadWholeFile(dir / "out.rux"));
}

// Each table is counted ahead exactly, and the file is refused when one
// would inflate past the limit: at the limit it is written.
TEST(PackWriter, TablesPastTheLimitAreRefused) {
    std::vector<PackResource> many;
    for (int i = 0; i < 30; ++i) many.push_back(Stored("r" + std::to_string(i), "x"));
    const struct {
        const char* table;
        std::vector<PackResource> resources;
        std::uint64_t TableSizes::*counted;
    } cases[] = {
        {"directory", many, &TableSizes::directory},
        {"names", {Stored(std::string(500, 'n'), "x")}, &TableSizes::names},
        {"block offset", {Deflated("b", TextBytes(1000), 10), Deflated("e", "", 10)},
         &TableSizes::blockOffsets},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        TableSizes sizes;
        for (const PackResource& r : c.resources) {
            CountResource(&sizes, r.name.size(), r.kind, r.data.size(), r.blockLength);
        }
        for (std::uint64_t limit : {sizes.*c.counted, sizes.*c.counted - 1}) {
            TempDir dir;
            PackWriter writer;
            writer.tableLimit = limit;
            std::string error;
            ASSERT_TRUE(BeginPackFile(&writer, dir / "out.rux", &error)) << error;
            for (const PackResource& r : c.resources) {
                ASSERT_TRUE(AddResource(&writer, r.name, r.kind, r.blockLength, r.level,
                                        MemorySource(r.data), &error));
            }
            const bool fits = limit == sizes.*c.counted;
            EXPECT_EQ(fits, FinishPackFile(&writer, 6, &error) == 1);
            EXPECT_EQ(fits ? std::string::npos : 4, error.find(c.table)) << error;
        }
    }
}

TEST(PackWriter, ShortFileSourceFails) {
    TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir / "short", "ten bytes!"));
    for (std::uint32_t kind : {KIND_STORED, KIND_DEFLATED}) {
        DiskFile file;
        ASSERT_TRUE(file.Open((dir / "short").c_str(), 0));
        PackSource source = FileSource(&file);
        source.size += 10;  // as if the file shrank after its size was taken
        PackWriter writer;
        std::string error;
        ASSERT_TRUE(BeginPackFile(&writer, dir / "out.rux", &error));
        EXPECT_FALSE(AddResource(&writer, "short", kind, 4, 6, source, &error));
        EXPECT_NE(std::string::npos, error.find("cannot read")) << error;
        CancelPackFile(&writer);
        file.Close();
        EXPECT_FALSE(FileExists(dir / "out.rux"));
    }
}

// Each back end's blocks, at every level it takes, inflate through both
// inflaters: this build's InflateExact, zlib's and (where linked)
// libdeflate's; zlib's own streams inflate through InflateExact too.
TEST(PackWriter, EveryLevelReadsBackThroughBothBackEnds) {
    const bool libdeflate = std::string(RUX_EXPECTED_DEFLATE) == "libdeflate";
    EXPECT_STREQ(RUX_EXPECTED_DEFLATE, DeflateBackEnd());
    EXPECT_EQ(libdeflate ? 12 : 9, MaxPackLevel());
    EXPECT_TRUE(DeflateZlib("x", MaxPackLevel() + 1).empty());
    const std::string inputs[] = {"", "a", TextBytes(70000), RandomBytes(5000),
                                  std::string(100000, '\0')};
    const auto expectInflates = [](const std::string& packed, const std::string& input) {
        std::string out(input.size() + 1, '?');
        auto* to = reinterpret_cast<std::uint8_t*>(&out[0]);
        const auto* from = reinterpret_cast<const std::uint8_t*>(packed.data());
        EXPECT_TRUE(InflateExact(from, static_cast<std::uint32_t>(packed.size()), to,
                                 static_cast<std::uint32_t>(input.size())));
        EXPECT_TRUE(out.compare(0, input.size(), input) == 0);
        uLongf length = static_cast<uLongf>(out.size());
        EXPECT_EQ(Z_OK, uncompress(to, &length, from, static_cast<uLong>(packed.size())));
        EXPECT_TRUE(length == input.size() && out.compare(0, input.size(), input) == 0);
#if RUX_WITH_LIBDEFLATE
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        std::size_t got = 0;
        EXPECT_EQ(LIBDEFLATE_SUCCESS,
                  libdeflate_zlib_decompress(d, from, packed.size(), to, out.size(), &got));
        EXPECT_TRUE(got == input.size() && out.compare(0, input.size(), input) == 0);
        libdeflate_free_decompressor(d);
#endif
    };
    for (int level = 0; level <= MaxPackLevel(); ++level) {
        for (const std::string& input : inputs) {
            SCOPED_TRACE("level " + std::to_string(level) + ", " + std::to_string(input.size()) + " bytes");
            const std::string packed = DeflateZlib(input, level);
            ASSERT_FALSE(packed.empty());
            // The same bytes every time, as updates rely on.
            EXPECT_EQ(packed, DeflateZlib(input, level));
            expectInflates(packed, input);
            if (level > 9) continue;
            std::string other(compressBound(static_cast<uLong>(input.size())), '\0');
            uLongf length = static_cast<uLongf>(other.size());
            ASSERT_EQ(Z_OK, compress2(reinterpret_cast<Bytef*>(&other[0]), &length,
                                      reinterpret_cast<const Bytef*>(input.data()),
                                      static_cast<uLong>(input.size()), level));
            other.resize(length);
            expectInflates(other, input);
        }
    }
}

}  // namespace
