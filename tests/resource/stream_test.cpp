#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "resource/stream.h"
#include "tests/resource/resource_support.h"

using namespace rux;

namespace {

// The sizes of successive reads of count bytes, up to and including the
// first two empty ones, and the bytes they gave.
std::vector<std::uint32_t> ReadPieces(ResourceStream& s, std::uint32_t count, std::string* out) {
    std::vector<std::uint32_t> sizes;
    std::string buffer(count, '\0');
    for (int empty = 0; empty < 2;) {
        const std::uint32_t n = s.Read(&buffer[0], count);
        sizes.push_back(n);
        out->append(buffer, 0, n);
        empty += n == 0;
    }
    return sizes;
}

}  // namespace

using Stream = ResourceTest;

TEST_F(Stream, StoredAndDeflatedReadInPiecesThenGiveZero) {
    const std::string a = TextBytes(10000), b = TextBytes(8192, 2), c = TextBytes(9000, 3);
    ASSERT_EQ(1, Mount({Stored("a", a), Stored("b", b), Deflated("c", c, 1000)}));
    struct Case {
        const char* name;
        const std::string& data;
        std::vector<std::uint32_t> pieces;
    };
    const Case cases[] = {
        {"a", a, {4096, 4096, 1808, 0, 0}},
        {"b", b, {4096, 4096, 0, 0}},
        {"c", c, {4096, 4096, 808, 0, 0}},
    };
    for (const Case& k : cases) {
        ResourceStream s;
        ASSERT_EQ(1, s.Open(k.name));
        EXPECT_EQ(k.data.size(), s.Size());
        std::string out;
        EXPECT_EQ(k.pieces, ReadPieces(s, 4096, &out)) << k.name;
        EXPECT_EQ(k.data, out) << k.name;
        EXPECT_EQ(k.data.size(), State(s.Slot()).position) << k.name;
        s.Close();
        // Closed, it reads nothing and leaves the buffer alone.
        char byte = 'q';
        EXPECT_EQ(0u, s.Read(&byte, 1)) << k.name;
        EXPECT_EQ('q', byte);
    }
    ResourceStream never;
    char byte = 'q';
    EXPECT_EQ(0u, never.Read(&byte, 1));
    EXPECT_EQ('q', byte);
}

TEST_F(Stream, MissingLooseFilesAndOtherKindsDoNotOpen) {
    PackResource odd = Stored("odd", "x");
    odd.kind = 5;
    ASSERT_EQ(1, Mount({Loose("gone", "x"), odd}));
    ASSERT_EQ(0, std::remove((dir / "test.ruxgone").c_str()));
    char buffer[4];
    for (const char* name : {"gone", "odd", "unknown"}) {
        ResourceStream s;
        EXPECT_EQ(0, s.Open(name)) << name;
        EXPECT_EQ(0, s.IsOpen()) << name;
        EXPECT_EQ(0u, s.Size()) << name;
        EXPECT_EQ(0u, s.Read(buffer, sizeof buffer)) << name;
    }
    EXPECT_EQ(INVALID_FILE_HANDLE, State(LookupResource("gone")).streamHandle);
}

TEST_F(Stream, StoredResourceOpensInOneStreamAtATime) {
    ASSERT_EQ(1, Mount({Stored("Data.Bin", "0123456789")}));
    ResourceStream first, second;
    ASSERT_EQ(1, first.Open("data.bin"));  // any case opens it
    char buffer[4];
    EXPECT_EQ(3u, first.Read(buffer, 3));
    EXPECT_EQ(0, second.Open("DATA.BIN"));
    // The refused stream names the slot but owns nothing: closing it
    // leaves the first stream open, reading on where it was.
    EXPECT_EQ(first.Slot(), second.Slot());
    EXPECT_EQ(0, second.IsOpen());
    EXPECT_EQ(0u, second.Read(buffer, 3));
    second.Close();
    EXPECT_EQ(1, first.IsOpen());
    EXPECT_EQ("345", std::string(buffer, first.Read(buffer, 3)));
    first.Close();
    ASSERT_EQ(1, second.Open("Data.Bin"));
    EXPECT_EQ("0123", std::string(buffer, second.Read(buffer, 4)));
}

TEST_F(Stream, LooseResourceOpenedTwiceIsRefusedWithoutLosingAHandle) {
    ASSERT_EQ(1, Mount({Loose("sub/Loose.txt", "loose data")}));
    const int before = OpenHandleCount();
    ResourceStream first, second;
    ASSERT_EQ(1, first.Open("SUB/loose.TXT"));
    const FileHandle handle = State(first.Slot()).streamHandle;
    EXPECT_EQ(0, second.Open("sub/loose.txt"));
    second.Close();
    EXPECT_EQ(handle, State(first.Slot()).streamHandle);
    EXPECT_EQ(before + 1, OpenHandleCount());
    EXPECT_EQ(10u, first.Size());
    char buffer[16];
    EXPECT_EQ("loose data", std::string(buffer, first.Read(buffer, sizeof buffer)));
    EXPECT_EQ(0u, first.Read(buffer, sizeof buffer));
    first.Close();
    EXPECT_EQ(before, OpenHandleCount());
    EXPECT_EQ(1, second.Open("sub/loose.txt"));
    second.Close();
}

TEST_F(Stream, LooseFileOfFourGiBIsRefused) {
    ASSERT_EQ(1, Mount({Loose("big", "")}));
    ASSERT_TRUE(ResizeFile(dir / "test.ruxbig", 0x100000000ll));
    const int before = OpenHandleCount();
    ResourceStream s;
    EXPECT_EQ(0, s.Open("big"));
    EXPECT_EQ(before, OpenHandleCount());
    ASSERT_TRUE(ResizeFile(dir / "test.ruxbig", 0xFFFFFFFFll));
    EXPECT_EQ(1, s.Open("big"));
    EXPECT_EQ(0xFFFFFFFFu, s.Size());
    s.Close();
}

TEST_F(Stream, ReadStoredReportsTheBytesItReceived) {
    const std::string data = TextBytes(100);
    ASSERT_EQ(1, Mount({Stored("s", data)}));
    // The stored bytes start at offset 8; cut the file 40 bytes into them.
    ASSERT_TRUE(ResizeFile(dir / "test.rux", 48));
    const int slot = LookupResource("s");
    std::string buffer(100, '\0');
    EXPECT_EQ(40u, ReadStored(&buffer[0], slot, 0, 100));
    EXPECT_EQ(data.substr(0, 40), buffer.substr(0, 40));
    EXPECT_EQ(0u, ReadStored(&buffer[0], slot, 40, 60));
    ResourceStream s;
    ASSERT_EQ(1, s.Open("s"));
    EXPECT_EQ(40u, s.Read(&buffer[0], 100));
    EXPECT_EQ(0u, s.Read(&buffer[0], 100));
}

TEST_F(Stream, ReadStoredPastFourGiBGivesZero) {
    RawFile file = MakeRawFile({Stored("s", "0123456789")});
    SetRecordField(&file, 0, &DirectoryRecord::placement, 0xFFFFFFF8);
    ASSERT_EQ(1, Mount(file));
    char buffer[10];
    EXPECT_EQ(0u, ReadStored(buffer, LookupResource("s"), 8, 2));  // offset 2^32
    EXPECT_EQ(0u, ReadStored(buffer, LookupResource("s"), 0, 10));  // past the file's end
}
