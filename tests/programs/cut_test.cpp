// Files cut short, in both layouts (the tables after the data, as rux-pack
// writes them, and the tables first), at every table boundary, inside
// blocks and stored data, and near the end: what lies wholly before the
// cut comes out byte for byte where the tables survive, and every failure
// says "cut short", in the library, the plain run and -t --json alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "resource/set_impl.h"
#include "resource/set.h"
#include "tests/programs/extract_fixture.h"
#include "tests/support/fixture.h"
#include "tests/support/run.h"

namespace {

// A resource's bytes in the file: [start, end).
struct Span {
    std::string name, data;
    std::uint64_t start = 0, end = 0;
    std::vector<std::uint64_t> blocks;  // deflated: each block's packed start, and the end
};

struct Layout {
    const char* label;
    bool tablesFirst;
};

const std::vector<PackResource> kResources = {
    Stored("a/first.txt", TextBytes(3000, 1)),
    Deflated("b/blocks.bin", TextBytes(5 * 4096 + 100, 2) + RandomBytes(3000, 3), 4096),
    Stored("c/empty", ""),
    Deflated("d/one.txt", "one block only", 4096),
    Stored("e/last.bin", RandomBytes(2500, 4)),
};

std::vector<Span> SpansOf(const RawFile& file) {
    const std::vector<DirectoryRecord> records = GetRecords(file);
    const std::vector<std::uint32_t> offsets = GetBlockOffsets(file);
    std::vector<Span> spans;
    for (const DirectoryRecord& record : records) {
        Span span;
        span.name = file.names.inflated.c_str() + record.nameOffset;
        for (const PackResource& r : kResources) {
            if (r.name == span.name) span.data = r.data;
        }
        if (record.kind == KIND_STORED) {
            span.start = record.placement;
            span.end = span.start + record.size;
        } else {
            const std::uint32_t count = (record.size + record.blockLength - 1) / record.blockLength;
            for (std::uint32_t b = 0; b <= count; ++b) span.blocks.push_back(offsets.at(record.placement + b));
            span.start = span.blocks.front();
            span.end = span.blocks.back();
        }
        spans.push_back(span);
    }
    return spans;
}


// Every place worth a cut: the header, each table's header and packed
// bytes, each resource's and block's edges and middle, the last bytes.
std::vector<std::uint64_t> CutsOf(const std::string& bytes, const std::vector<Span>& spans,
                                  std::uint64_t tablesStart) {
    std::set<std::uint64_t> cuts = {1, 4, 7, 8, 9};
    std::uint64_t at = tablesStart;
    for (int table = 0; table < 3; ++table) {
        const std::uint32_t packed = LoadLE32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at);
        for (std::uint64_t c : {at, at + 1, at + 11, at + 12, at + 13, at + 12 + packed / 2, at + 12 + packed - 1}) {
            cuts.insert(c);
        }
        at += 12 + packed;
    }
    cuts.insert(at);
    for (const Span& span : spans) {
        for (std::uint64_t c : {span.start, span.start + 1, (span.start + span.end) / 2, span.end - 1, span.end}) {
            cuts.insert(c);
        }
        for (std::size_t b = 0; b + 1 < span.blocks.size(); ++b) cuts.insert((span.blocks[b] + span.blocks[b + 1]) / 2);
    }
    for (std::uint64_t back : {1, 3, 10}) cuts.insert(bytes.size() - back);
    std::vector<std::uint64_t> kept;
    for (std::uint64_t c : cuts) {
        if (c > 0 && c < bytes.size()) kept.push_back(c);
    }
    return kept;
}

// The line of -t --json for the resource name.
std::string JsonLine(const std::string& output, const std::string& name) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("\"name\": \"" + name + "\"") != std::string::npos) return line;
    }
    return "";
}

TEST(CutShort, EveryCutOfBothLayoutsKeepsWhatLiesBeforeItAndSaysSo) {
    TempDir dir;
    const Program extract = ProgramFromEnvironment("RUX_EXTRACT");
    const std::string path = dir / "cut.rux";
    for (const Layout layout : {Layout{"tables after the data", false}, Layout{"tables first", true}}) {
        SCOPED_TRACE(layout.label);
        RawFile raw = MakeRawFile(kResources);
        const std::uint64_t tablesStart = layout.tablesFirst ? FILE_HEADER_BYTES : FILE_HEADER_BYTES + raw.data.size();
        const std::string bytes = layout.tablesFirst ? TablesFirst(&raw) : raw.Serialize();
        const std::vector<Span> spans = SpansOf(raw);
        std::uint64_t lastTables = tablesStart;
        for (int table = 0; table < 3; ++table) {
            lastTables += 12 + LoadLE32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + lastTables);
        }
        for (const std::uint64_t cut : CutsOf(bytes, spans, tablesStart)) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            ASSERT_EQ(1, WriteWholeFile(path, bytes.substr(0, cut)));
            ResourceSet set;
            const MountResult mounted = set.Mount(path.c_str());
            const RunResult plain = ::Run(extract, {"-q", path, dir / "out"}, dir.path());
            const RunResult tested = ::Run(extract, {"-t", "--json", path}, dir.path());
            EXPECT_EQ(1, plain.status);
            EXPECT_EQ(1, tested.status);
            if (cut < lastTables) {
                // The tables are cut: nothing mounts, and the reason says where.
                EXPECT_FALSE(mounted.ok());
                const std::string reason = MountErrorText(mounted);
                EXPECT_EQ(0u, reason.find("cut short: the file ends at byte " + Grouped(cut) + ", and its ")) << reason;
                EXPECT_EQ(extract_test::Console("rux-extract: " + path + ": " + reason + "\n"), plain.errors);
                // With --json, the line that says so goes to standard error too.
                EXPECT_EQ(extract_test::Console("Could not open resource file: " + path + "\nrux-extract: " + path +
                                                ": " + reason + "\n"),
                          tested.errors);
                EXPECT_EQ(std::vector<std::string>{}, ListTree(dir / "out"));
                continue;
            }
            ASSERT_TRUE(layout.tablesFirst) << MountErrorText(mounted);
            ASSERT_TRUE(mounted.ok());
            for (const Span& span : spans) {
                SCOPED_TRACE(span.name);
                const bool whole = span.end <= cut || span.start == span.end;  // an empty one needs no bytes
                std::string buffer(span.data.size() + 1, '\0');
                ReadStatus status;
                const std::int64_t got = set.ReadAt(set.Find(span.name.c_str()), 0, &buffer[0],
                                                    static_cast<std::uint32_t>(buffer.size()), &status);
                const std::string line = JsonLine(tested.output, span.name);
                if (whole) {
                    ASSERT_EQ(static_cast<std::int64_t>(span.data.size()), got) << ReadErrorText(set, set.Find(span.name.c_str()), status);
                    EXPECT_EQ(span.data, buffer.substr(0, span.data.size()));
                    EXPECT_EQ(span.data, ReadWholeFile(dir / "out/" + span.name));
                    EXPECT_NE(std::string::npos, line.find("\"read\": true")) << line;
                } else {
                    EXPECT_EQ(-1, got);
                    const std::string reason = ReadErrorText(set, set.Find(span.name.c_str()), status);
                    EXPECT_EQ(0u, reason.find("cut short: ")) << reason;
                    EXPECT_NE(std::string::npos, line.find("\"read\": false, \"reason\": \"cut short: ")) << line;
                    const std::string said = "rux-extract: " + span.name + ": " + reason + "\n";
                    EXPECT_NE(std::string::npos, plain.errors.find(extract_test::Console(said))) << plain.errors;
                    EXPECT_FALSE(FileExists(dir / "out/" + span.name));
                }
            }
            // Every failure the tools report is a cut.
            std::istringstream lines(plain.errors + tested.errors);
            for (std::string line; std::getline(lines, line);) EXPECT_NE(std::string::npos, line.find(": cut short: ")) << line;
            std::filesystem::remove_all(dir / "out");
        }
    }
}

// The numbers of each reason: where the file ends, what the part needs;
// how many of a block's or a stored resource's bytes are there.
TEST(CutShort, ReasonsGiveTheNumbers) {
    TempDir dir;
    RawFile raw = MakeRawFile(kResources);
    const std::string bytes = TablesFirst(&raw);
    const std::vector<Span> spans = SpansOf(raw);
    const std::string path = dir / "cut.rux";
    struct Case {
        std::uint64_t cut;
        std::string name, reason;
    };
    const Span& blocks = spans[1];
    const Span& last = spans[4];
    ASSERT_EQ("b/blocks.bin", blocks.name);
    ASSERT_EQ("e/last.bin", last.name);
    const std::uint64_t third = blocks.blocks[2];
    const std::uint64_t thirdLength = blocks.blocks[3] - third;
    const std::vector<Case> cases = {
        {5, "", "cut short: the file ends at byte 5, and its header needs bytes up to 8"},
        {20, "", "cut short: the file ends at byte 20, and its directory table needs bytes up to " +
                     Grouped(20 + LoadLE32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 8)) },
        {third + 10, "b/blocks.bin",
         "cut short: 10 of " + Grouped(thirdLength) + " bytes of block 3 are in the file"},
        {third, "b/blocks.bin", "cut short: 0 of " + Grouped(thirdLength) + " bytes of block 3 are in the file"},
        {last.start + 1200, "e/last.bin", "cut short: 1,200 of 2,500 bytes of its data are in the file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        ASSERT_EQ(1, WriteWholeFile(path, bytes.substr(0, c.cut)));
        ResourceSet set;
        const MountResult mounted = set.Mount(path.c_str());
        if (c.name.empty()) {
            EXPECT_TRUE(mounted.cutShort());
            EXPECT_EQ(c.reason, MountErrorText(mounted));
            continue;
        }
        ASSERT_TRUE(mounted.ok());
        const int slot = set.Find(c.name.c_str());
        std::string buffer(8 * 4096, '\0');
        ReadStatus status;
        EXPECT_EQ(-1, set.ReadAt(slot, 0, &buffer[0], static_cast<std::uint32_t>(buffer.size()), &status));
        EXPECT_EQ(ReadError::CUT_SHORT, status.error);
        EXPECT_EQ(c.reason, ReadErrorText(set, slot, status));
    }
}

}  // namespace
