// End-to-end tests of rux-extract: each runs the real executable in a fresh
// directory on resource files built in code, and checks its exact output,
// its exit status and the tree it writes.
//
// RUX_EXTRACT names the executable; the Launcher(), if any, runs it (a
// Windows build under Wine, an i686 one under qemu-i386). RUX_TARGET=windows expects a Windows build's
// conventions: CR LF line endings, "\" in printed output paths, and the names
// only Windows finds unsafe. Arguments are relative to the working directory.
#include "resource/set_impl.h"
#include "tests/programs/extract_fixture.h"

using namespace extract_test;

namespace {

TEST_F(Extract, SyntaxLineWithoutArguments) {
    ExpectSyntax({});
    EXPECT_TRUE(All().empty());
}

TEST_F(Extract, EmptyOutputDirectoryIsRefusedWithTheSyntaxLine) {
    Write({kOk});
    for (const std::string outdir : {"", "/", "\\", "//\\/"}) {
        SCOPED_TRACE("outdir '" + outdir + "'");
        ExpectSyntax({"in.rux", outdir});
        EXPECT_EQ(std::vector<std::string>{"in.rux"}, All());
    }
}

TEST_F(Extract, FailedMountNamesTheArgument) {
    Write({kOk});
    RawFile badMagic = MakeRawFile({kOk});
    badMagic.magic = "RUXB";
    WriteBytes(badMagic.Serialize(), "magic.rux");
    WriteBytes(std::string("RUXA\0\0", 6), "short.rux");
    const std::string whole = MakeRawFile({kOk}).Serialize();
    WriteBytes(whole.substr(0, whole.size() - 3), "cut.rux");
    fs::create_directory(At("dir.rux"));
    std::string tooLong;  // names in.rux, but does not fit the path buffers
    while (tooLong.size() < 5000) tooLong += "./";
    tooLong += "in.rux";
    const std::vector<std::string> before = All();

    const std::string notOne = "not a resource file";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing.rux", "No such file or directory"}, {"", "No such file or directory"}, {"magic.rux", notOne},
        {"short.rux", "cut short: the file ends at byte 6, and its header needs bytes up to 8"},
        {"cut.rux", "cut short: the file ends at byte " + Grouped(whole.size() - 3) +
                        ", and its block offset table needs bytes up to " + Grouped(whole.size())}, {"dir.rux", "Is a directory"}, {tooLong, "File name too long"}};
    for (const auto& [file, reason] : cases) {
        SCOPED_TRACE(file.substr(0, 40));
        Expect({file}, 1, Console("Could not open resource file: " + file + "\n"), Why(file, reason));
        Expect({file, "out"}, 1, Console("Could not open resource file: " + file + "\n"), Why(file, reason));
        EXPECT_EQ(before, All());
    }
}

TEST_F(Extract, WritesEveryKindWithNestedNamesAndEmptyResources) {
    const std::vector<PackResource> resources = {
        Stored("readme.txt", "A stored resource.\n"),
        Stored("big\\stored.bin", RandomBytes(10000, 2)),
        Deflated("text/poem.txt", TextBytes(20000), 1000, 9),
        Deflated("a\\b/c.bin", RandomBytes(9000, 3), 4096),
        Loose("config\\keys.cfg", "fire=space\n"),
        Loose("a/loose.txt", TextBytes(5000, 4)),
        Stored("empty/stored", ""),
        Deflated("empty\\deflated", ""),
        Loose("empty/loose", ""),
    };
    Write(resources);
    Expect({"in.rux", "out"}, 0,
           ListingOf(resources, {"config\\keys.cfg", "a/loose.txt", "big\\stored.bin", "empty/loose", "empty/stored",
                                 "empty\\deflated", "readme.txt", "a\\b/c.bin", "text/poem.txt"}));
    Files expected;
    for (const PackResource& r : resources) {
        std::string path = r.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        expected[path] = r.data;
    }
    EXPECT_EQ(expected, Tree());
    const std::vector<std::string> dirs = {"a/", "a/b/", "big/", "config/", "empty/", "text/"};
    std::vector<std::string> withDirs = ListTree(At("out"), true);
    for (const std::string& d : dirs) EXPECT_NE(withDirs.end(), std::find(withDirs.begin(), withDirs.end(), d)) << d;
    EXPECT_EQ(expected.size() + dirs.size(), withDirs.size());
}

TEST_F(Extract, OutputDirectoryFromArgumentOrResourceFileName) {
    struct Case {
        std::string file;  // where the resource file lies, below the test directory
        std::vector<std::string> args;
        std::string root;  // where the resources must land
        std::string errors = "";
    };
    const std::vector<Case> cases = {
        {"in.rux", {"in.rux", "out"}, "out"},
        {"in.rux", {"in.rux", "out/"}, "out"},
        {"in.rux", {"in.rux", "out\\"}, "out"},
        {"in.rux", {"in.rux", "out/\\//"}, "out"},
        {"in.rux", {"in.rux", "made", "ignored"}, "made", "rux-extract: ignoring 'ignored'\n"},
        {"in.rux", {"in.rux"}, "__in.rux"},
        {"sub/in.rux", {"sub/in.rux"}, "__in.rux"},
        {"a/b/c.rux", {"a\\b/c.rux"}, "__c.rux"},
        {"a/b/c.rux", {"a/b\\c.rux"}, "__c.rux"},
    };
    const std::vector<PackResource> resources = {Stored("x/y.txt", "stored"), Loose("l.txt", "loose")};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        Fresh();
        Write(resources, c.file);
        Expect(c.args, 0, ListingOf(resources), Console(c.errors));
        std::vector<std::string> expected = {c.file, c.file + "l.txt", c.root + "/l.txt", c.root + "/x/y.txt"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, ListTree(temp->path()));
        EXPECT_EQ((Files{{"l.txt", "loose"}, {"x/y.txt", "stored"}}), Tree(c.root));
    }
}

TEST_F(Extract, ExistingOutputDirectoryIsWrittenInto) {
    Write({kOk});
    fs::create_directory(At("out"));
    WriteBytes("old", "out/keep.txt");
    Expect({"in.rux", "out"}, 0, ListingOf({kOk}));
    EXPECT_EQ((Files{{"keep.txt", "old"}, {"ok.txt", "fine"}}), Tree());
}

TEST_F(Extract, MissingParentOfOutputDirectory) {
    Write({kOk});
    // Only the last level is made: one line names the directory and why,
    // before any resource.
    Expect({"in.rux", "missing/out"}, 1, "",
           Why("missing/out", "cannot make the output directory: No such file or directory"));
    EXPECT_EQ(std::vector<std::string>{"in.rux"}, All());
    WriteBytes("a file", "plain");
    Expect({"in.rux", "plain/out"}, 1, "", Why("plain/out", "cannot make the output directory: Not a directory"));
}

TEST_F(Extract, EmptyDirectoryListsNothing) {
    Write({});
    Expect({"in.rux", "out"}, 0, "");
    EXPECT_EQ((std::vector<std::string>{"in.rux", "out/"}), All());
}

TEST_F(Extract, LinesFollowSlotOrderNotDirectoryOrder) {
    // Two names at the last slot: the second wraps round to slot 0, which
    // pushes a name whose home is slot 0 on to slot 1.
    const std::string last = NameAtHome(INDEX_SLOTS - 1, "last");
    const std::string wraps = NameAtHome(INDEX_SLOTS - 1, "wraps");
    const std::string first = NameAtHome(0, "first");
    std::vector<PackResource> resources = {Stored(last, "L"), Stored(wraps, "W"), Stored(first, "F")};
    for (int i = 0; i < 40; ++i) resources.push_back(Stored("file" + std::to_string(i), std::string(i, 'x')));
    Write(resources);

    std::vector<std::string> order = {wraps, first};
    for (int i : {22, 23, 20, 38, 21, 39, 9, 27, 8, 26, 25, 18, 24, 19, 28, 15, 30, 6, 29, 14,
                  31, 7,  4,  17, 32, 5,  16, 33, 10, 35, 3,  11, 34, 2,  1,  12, 37, 0, 13, 36}) {
        order.push_back("file" + std::to_string(i));
    }
    order.push_back(last);
    const std::string listing = ListingOf(resources, order);
    Expect({"in.rux", "out"}, 0, listing);
    EXPECT_EQ(0u, listing.find(Console("2 " + wraps + " 1\n2 " + first + " 1\n")));
    const std::string tail = Console("2 " + last + " 1\n");
    EXPECT_EQ(listing.size() - tail.size(), listing.rfind(tail));
    std::vector<Line> directoryOrder;
    for (const PackResource& r : resources) directoryOrder.push_back(LineOf(r));
    EXPECT_NE(Text(directoryOrder), listing);
    EXPECT_EQ(resources.size(), Tree().size());
}

TEST_F(Extract, DuplicateNamesShareTheFirstFoundSlot) {
    // Each pair is entered at one home slot and the next: both lookups find
    // the first, so both lines show its size and both writes carry its data.
    Write({Stored("dup.txt", "first"), Deflated("dup.txt", "second, longer"),
           Loose("twice.txt", "loose"), Loose("twice.txt", "loose")});
    Expect({"in.rux", "out"}, 0,
           Listing({{"dup.txt", KIND_STORED, 5}, {"dup.txt", KIND_DEFLATED, 5},
                    {"twice.txt", KIND_LOOSE, 5}, {"twice.txt", KIND_LOOSE, 5}}));
    EXPECT_EQ((Files{{"dup.txt", "first"}, {"twice.txt", "loose"}}), Tree());
}

TEST_F(Extract, NamesEqualButForCase) {
    // Different home slots: each lookup finds its own resource.
    const std::vector<PackResource> own = {Stored("Readme.TXT", "upper"), Deflated("readme.txt", "lower!")};
    ASSERT_NE(HomeSlot("Readme.TXT"), HomeSlot("readme.txt"));
    Write(own);
    Expect({"in.rux", "out"}, 0, ListingOf(own));
    if (Windows()) {
        // One file: named by the first in slot order, holding the last's data.
        EXPECT_EQ((Files{{"Readme.TXT", "lower!"}}), Tree());
    } else {
        EXPECT_EQ((Files{{"Readme.TXT", "upper"}, {"readme.txt", "lower!"}}), Tree());
    }
}

TEST_F(Extract, CaseVariantMetFirstGivesItsSizeAndData) {
    // Two variants with one home slot: the one entered first holds it, so
    // the scan for the other meets it first and takes it.
    // Same-length case variants differ in crc by a value fixed by where
    // they differ, so search over which letters are upper case.
    const std::string lower = "abcdefghijklmnop";
    std::string upper;
    for (unsigned mask = 1; mask < (1u << lower.size()) && upper.empty(); ++mask) {
        std::string variant = lower;
        for (std::size_t i = 0; i < lower.size(); ++i) {
            if (mask & (1u << i)) variant[i] = static_cast<char>(variant[i] - 'a' + 'A');
        }
        if (HomeSlot(variant.c_str()) == HomeSlot(lower.c_str())) upper = variant;
    }
    ASSERT_FALSE(upper.empty());
    Write({Stored(upper, "UPPER"), Deflated(lower, "lower, never read")});
    Expect({"in.rux", "out"}, 0, Listing({{upper, KIND_STORED, 5}, {lower, KIND_DEFLATED, 5}}));
    if (Windows()) {
        EXPECT_EQ((Files{{upper, "UPPER"}}), Tree());
    } else {
        EXPECT_EQ((Files{{upper, "UPPER"}, {lower, "UPPER"}}), Tree());
    }
}

TEST_F(Extract, UnknownKindsGetTheirLineAndCannotReadAndNoFile) {
    // Record sizes are 3, but a stream of an unknown kind never opens; the
    // first slot of the index is one like any other.
    const std::string zero = NameAtHome(0, "zero");
    const std::vector<PackResource> resources = {{"free.txt", 0, "xyz"}, {"three", 3, "xyz"},
                                                 {"five.dat", 5, "xyz"}, {"max", 0xFFFFFFFFu, "xyz"},
                                                 kOk,                    {zero, 7, "xyz"}};
    Write(resources);
    // The record of kind 0 leaves its slot free and prints nothing.
    const std::string reasons = Why(zero, "unknown storage kind 7") + Why("five.dat", "unknown storage kind 5") +
                                Why("max", "unknown storage kind 4294967295") + Why("three", "unknown storage kind 3");
    Expect({"in.rux", "out"}, 1,
           Console("7 " + zero + " 0\nCannot read " + zero + "\n5 five.dat 0\nCannot read five.dat\n"
                   "4294967295 max 0\nCannot read max\n3 three 0\nCannot read three\n2 ok.txt 4\n"),
           reasons);
    EXPECT_EQ((Files{{"ok.txt", "fine"}}), Tree());
}

TEST_F(Extract, MissingLooseFileIsReportedAndTheRunGoesOn) {
    ExpectIncomplete(MakeRawFile({Loose("gone.txt", "never written"), kOk}).Serialize(),
                     {"gone.txt", KIND_LOOSE, 0}, "cannot open loose file in.ruxgone.txt: No such file or directory");
}

TEST_F(Extract, LooseFileOf4GiBIsRefused) {
    Write({Loose("huge.dat", ""), kOk});
    std::error_code error;
    fs::resize_file(At("in.ruxhuge.dat"), (std::uint64_t{1} << 32) + 1, error);  // sparse
    ASSERT_FALSE(error) << error.message();
    ExpectIncomplete(ReadWholeFile(At("in.rux")), {"huge.dat", KIND_LOOSE, 0},
                     "loose file in.ruxhuge.dat is 4 GiB or larger; sizes are 32 bits");
}

// A resource file of 3 GiB (sparse) whose data and tables lie past 3 GiB:
// the header's skip, the stored offset and the block offsets come through
// whole, on 32-bit builds too.
TEST_F(Extract, DataAndTablesBeyondThreeGiB) {
    constexpr std::uint32_t kFar = 0xC0000000u;
    const PackResource stored = Stored("far.txt", "far away\n");
    const PackResource deflated = Deflated("deep.txt", TextBytes(5000, 3), 1024);
    RawFile raw = MakeRawFile({stored, deflated, kOk});
    std::vector<DirectoryRecord> records = GetRecords(raw);
    for (DirectoryRecord& record : records) {
        if (record.kind == KIND_STORED) record.placement += kFar;
    }
    SetRecords(&raw, records);
    std::vector<std::uint32_t> offsets;
    for (std::size_t at = 0; at < raw.blocks.inflated.size(); at += 4) {
        offsets.push_back(kFar + LoadLE32(reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data()) + at));
    }
    SetBlockOffsets(&raw, offsets);
    raw.overrideSkip = true;
    raw.skip = kFar + static_cast<std::uint32_t>(raw.data.size());
    const std::string bytes = raw.Serialize();
    DiskFile file;
    ASSERT_EQ(1, file.Open(At("in.rux").c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_EQ(8u, file.WriteAt(bytes.data(), 8, 0));
    const std::uint32_t rest = static_cast<std::uint32_t>(bytes.size() - 8);
    EXPECT_EQ(rest, file.WriteAt(bytes.data() + 8, rest, 8 + std::int64_t{kFar}));
    ASSERT_EQ(1, file.Close());
    Expect({"in.rux", "out"}, 0, ListingOf({deflated, stored, kOk}));
    EXPECT_EQ((Files{{"far.txt", stored.data}, {"deep.txt", deflated.data}, {"ok.txt", "fine"}}), Tree());
}

// A stored record whose bytes run past the end of the file fails, whatever
// size it claims, and so does one placed near 4 GiB.
TEST_F(Extract, StoredPastTheEndFails) {
    struct Case {
        std::uint32_t placement;  // 0: keep the writer's
        std::uint32_t size;
    };
    for (const Case c : {Case{0, 1000}, Case{0, 3221225472u}, Case{0xFFFFFFF0u, 100}, Case{0, 0xFFFFFFFFu}}) {
        SCOPED_TRACE(c.size);
        Fresh();
        RawFile raw = MakeRawFile({Stored("cut.bin", "0123456789"), kOk});
        std::vector<DirectoryRecord> records = GetRecords(raw);
        if (c.placement) records[0].placement = c.placement;
        records[0].size = c.size;
        SetRecords(&raw, records);
        const std::string bytes = raw.Serialize();
        ExpectIncomplete(bytes, {"cut.bin", KIND_STORED, c.size}, "its data lies past the end of the resource file");
    }
}

TEST_F(Extract, CorruptBlockFailsTheResource) {
    const std::string text = TextBytes(3 * 4096, 5);
    RawFile raw = MakeRawFile({Deflated("bad.txt", text, 4096), kOk});
    const std::uint32_t second = LoadLE32(reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data()) + 4);
    raw.data[second - FILE_HEADER_BYTES] ^= 0x55;  // the second block's zlib header
    ExpectIncomplete(raw.Serialize(), {"bad.txt", KIND_DEFLATED, 3 * 4096}, "damaged block 2 of 3");
}


}  // namespace
