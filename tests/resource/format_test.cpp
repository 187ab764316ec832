#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <initializer_list>
#include <string>

#include "resource/format.h"
#include "resource/stream.h"
#include "tests/resource/resource_support.h"

using namespace rux;

namespace {

// The resource file's data region and records, spelled out byte by byte.
// 256 filler bytes put the data at offsets above 255, so every offset has
// two significant bytes. Stored "s" = "hello" at 0x108; deflated "d/x" =
// "ABCDEFG" in blocks of 4 at 0x10D and 0x11C, ending at 0x12A, whose table
// entries follow a dummy first entry; loose "L.txt".
const std::string kGoldenData = std::string(256, '\xEE') + "hello" + ZlibStored("ABCD") +
                                ZlibStored("EFG") + "??";
const std::string kGoldenRecords = Bytes({
    0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x01, 0x00, 0x00,
    0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // "s"
    0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x07, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // "d/x"
    0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xEF, 0xBE, 0xAD, 0xDE,
    0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x00,  // "L.txt"
});
const std::string kGoldenNames = std::string("s\0d/x\0L.txt\0", 12);
const std::string kGoldenOffsets = Bytes({0x0D, 0xF0, 0xAD, 0x0B, 0x0D, 0x01, 0x00, 0x00,
                                          0x1C, 0x01, 0x00, 0x00, 0x2A, 0x01, 0x00, 0x00});

std::string GoldenFile() {
    return "RUXA" + Bytes({0x24, 0x01, 0x00, 0x00}) + kGoldenData +
           Bytes({71, 0, 0, 0, 3, 0, 0, 0, 20, 0, 0, 0}) + ZlibStored(kGoldenRecords) +
           Bytes({23, 0, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0}) + ZlibStored(kGoldenNames) +
           Bytes({27, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0}) + ZlibStored(kGoldenOffsets);
}

std::string ReadStream(const char* name) {
    ResourceStream s;
    if (!s.Open(name)) return "<not opened>";
    std::string out(s.Size(), '\0');
    out.resize(s.Read(&out[0], static_cast<std::uint32_t>(out.size())));
    s.Close();
    return out;
}

}  // namespace

TEST(Format, DecodesLittleEndian) {
    const std::string raw = Bytes({'R', 'U', 'X', 'A', 0x01, 0x02, 0x03, 0x84});
    FileHeader header;
    EXPECT_EQ(1, DecodeFileHeader(reinterpret_cast<const std::uint8_t*>(raw.data()), &header));
    EXPECT_EQ(0x84030201u, header.skip);
    EXPECT_EQ(0, DecodeFileHeader(reinterpret_cast<const std::uint8_t*>("RUXa\0\0\0\0"), &header));

    const std::string rec = Bytes({1, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0xFF});
    DirectoryRecord r;
    DecodeDirectoryRecord(reinterpret_cast<const std::uint8_t*>(rec.data()), &r);
    EXPECT_EQ(1u, r.nameOffset);
    EXPECT_EQ(2u, r.kind);
    EXPECT_EQ(0x100u, r.placement);
    EXPECT_EQ(0x10000u, r.size);
    EXPECT_EQ(0xFF000000u, r.blockLength);
}

using GoldenFileTest = ResourceTest;

TEST_F(GoldenFileTest, MountsAndReadsBack) {
    const std::string path = Write("golden.rux", GoldenFile());
    Write("golden.ruxL.txt", "loose bytes");
    ASSERT_EQ(1, MountResourceFile(path.c_str()));
    EXPECT_EQ(3, OccupiedSlots());

    const int s = LookupResource("s"), d = LookupResource("d/x");
    ASSERT_GE(s, 0);
    ASSERT_GE(d, 0);
    EXPECT_EQ(KIND_STORED, Entry(s).kind);
    EXPECT_EQ(0x108u, Entry(s).placement);
    EXPECT_EQ(KIND_DEFLATED, Entry(d).kind);
    EXPECT_EQ(1u, Entry(d).placement);
    EXPECT_EQ(4u, Entry(d).blockLength);
    EXPECT_EQ(4u, MountSlots()[0].blockOffsetCount);
    EXPECT_EQ(0x0BADF00Du, MountSlots()[0].blockOffsets[0]);

    EXPECT_EQ("hello", ReadStream("s"));
    EXPECT_EQ("ABCDEFG", ReadStream("d/x"));
    EXPECT_EQ("loose bytes", ReadStream("L.txt"));
}

// ReadPackedTable on a table written as the directory of a RawFile, so it
// starts at offset 8 and two more tables follow it.
class PackedTable : public ResourceTest {
protected:
    void SetUp() override {
        ResourceTest::SetUp();
        file.directory.inflated = TextBytes(240);
        file.directory.count = 60;
        file.directory.elementSize = 4;
        file.names.inflated = "next";
        file.names.count = 4;
    }
    std::uint8_t* Read(const std::string& bytes, PackedTableHeader* header = nullptr) {
        disk.Close();
        if (!disk.Open(Write("t", bytes).c_str(), 0) || disk.Seek(8, SEEK_FROM_BEGIN) != 8) {
            ADD_FAILURE() << "cannot open";
            return nullptr;
        }
        return ReadPackedTable(disk, header);
    }
    void TearDown() override {
        disk.Close();
        ResourceTest::TearDown();
    }
    RawFile file;
    DiskFile disk;
};

TEST_F(PackedTable, GoodTablesAndThePositionAfterThem) {
    PackedTableHeader header;
    std::uint8_t* table = Read(file.Serialize(), &header);
    ASSERT_NE(nullptr, table);
    EXPECT_EQ(file.directory.inflated, std::string(reinterpret_cast<char*>(table), 240));
    EXPECT_EQ(60u, header.count);
    EXPECT_EQ(4u, header.elementSize);
    EXPECT_EQ(DeflateZlib(file.directory.inflated, 6).size(), header.packedLength);
    delete[] table;
    // The file is left at the next table.
    table = ReadPackedTable(disk, &header);
    ASSERT_NE(nullptr, table);
    EXPECT_EQ("next", std::string(reinterpret_cast<char*>(table), 4));
    delete[] table;
}

TEST_F(PackedTable, EmptyTablesGiveABuffer) {
    for (std::uint32_t elementSize : {4u, 0u}) {
        file.directory.inflated = "";
        file.directory.count = elementSize ? 0 : 7;
        file.directory.elementSize = elementSize;
        std::uint8_t* table = Read(file.Serialize());
        EXPECT_NE(nullptr, table) << elementSize;
        delete[] table;
    }
}

TEST_F(PackedTable, ShortHeaderFails) {
    EXPECT_EQ(nullptr, Read(file.Serialize().substr(0, 8 + 11)));
    EXPECT_EQ(nullptr, Read(std::string("RUXA\0\0\0\0", 8)));  // no table at all
}

TEST_F(PackedTable, EveryDamageFails) {
    const std::string good = DeflateZlib(file.directory.inflated, 6);
    const std::string data = file.directory.inflated;
    struct Case {
        const char* what;
        std::function<void(RawTable&)> damage;
    };
    const Case cases[] = {
        {"packed length past the end",
         [](RawTable& t) { t.overridePackedLength = true; t.packedLength = 100000; }},
        {"count x element size overflows",
         [](RawTable& t) { t.count = 0x10000; t.elementSize = 0x10000; }},
        {"bad zlib header",
         [&](RawTable& t) { t.overridePacked = true; t.packed = good; t.packed[1] ^= 1; }},
        {"preset dictionary",
         [&](RawTable& t) { t.overridePacked = true; t.packed = DeflateWithDictionary(data, data); }},
        {"corrupt data",
         [&](RawTable& t) {
             t.overridePacked = true; t.packed = good;
             for (std::size_t i = 10; i < 20; ++i) t.packed[i] ^= 0x55;
         }},
        {"wrong Adler-32",
         [&](RawTable& t) { t.overridePacked = true; t.packed = good; t.packed.back() ^= 1; }},
        {"inflates to fewer bytes", [](RawTable& t) { t.count = 61; }},
        {"inflates to more bytes", [](RawTable& t) { t.count = 59; }},
    };
    for (const Case& c : cases) {
        RawFile damaged = file;
        c.damage(damaged.directory);
        PackedTableHeader header;
        std::uint8_t* table = Read(damaged.Serialize(), &header);
        EXPECT_EQ(nullptr, table) << c.what;
        delete[] table;
    }
}
