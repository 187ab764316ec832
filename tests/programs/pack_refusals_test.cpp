// rux-pack end to end: every refusal of a tree or an output, each leaving
// the old output untouched and nothing new; the largest block size.
#include <cstdlib>

#include "tests/programs/pack_fixture.h"

using namespace pack_test;

namespace {

// A Windows build's output as a POSIX build's: lines end in "\n" alone, and
// paths have '/' between directories.
std::string AsOnPosix(std::string text) {
    const char* target = std::getenv("RUX_TARGET");
    if (!target || std::string(target) != "windows") return text;
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

TEST(PackRefusals, MoreResourcesThanTheIndexHolds) {
    TempDir src;
    for (int i = 0; i < 4096; ++i) {
        ASSERT_TRUE(WriteWholeFile(src / ("f" + std::to_string(i)), ""));
    }
    {
        // Exactly full is fine, and extracts.
        TempDir tmp;
        const RunResult run = Pack({"out.rux", src.path()}, tmp.path());
        ASSERT_EQ(0, run.status) << run.errors;
        EXPECT_EQ(4096u, Lines(run.output).size());
        const RunResult extracted = Extract({"out.rux", "x"}, tmp.path());
        EXPECT_EQ(0, extracted.status);
        EXPECT_EQ(4096u, ListTree(tmp / "x").size());
    }
    ASSERT_TRUE(WriteWholeFile(src / "one-too-many", ""));
    TempDir tmp;
    ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
    const RunResult run = Pack({"out.rux", src.path()}, tmp.path());
    ExpectRefused(run, tmp, "4097 files");
    EXPECT_EQ("", run.output);
    // Excluded files do not count.
    const RunResult excluded = Pack({"--exclude=ONE-*", "out.rux", src.path()}, tmp.path());
    EXPECT_EQ(0, excluded.status) << excluded.errors;
    EXPECT_EQ(4096u, Lines(excluded.output).size());
}

// A table that would inflate past what rux-extract reads is refused before
// anything is written; at the limit the pair works.
TEST(PackRefusals, TablesAtTheirLimits) {
    {
        // Block offsets: one sparse file of 2097151 blocks of 16 zeros uses
        // 2097152 offsets, 8 MiB of them. libdeflate passes blocks that
        // short through uncompressed, so there the file is stored (and the
        // zlib build reads the full table back).
        const bool passedThrough = std::string(DeflateBackEnd()) == "libdeflate";
        TempDir tmp;
        const std::uint64_t size = 2097151 * 16;
        MakeTree(tmp.path(), {{"src/z", ""}});
        fs::resize_file(tmp / "src/z", size);
        const RunResult run = Pack({"--block-size", "16", "out.rux", "src"}, tmp.path());
        ASSERT_EQ(0, run.status) << run.errors;
        EXPECT_EQ((passedThrough ? "2 z " : "8 z ") + std::to_string(size) + "\n", run.output);
        const RunResult extracted = Extract({"out.rux", "x"}, tmp.path());
        EXPECT_EQ(0, extracted.status) << extracted.output;
        EXPECT_TRUE(ReadWholeFile(tmp / "x/z") == std::string(size, '\0'));
        fs::remove_all(tmp / "x");
        fs::resize_file(tmp / "src/z", size + 1);
        ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
        const RunResult past = Pack({"--block-size", "16", "out.rux", "src"}, tmp.path());
        EXPECT_EQ(1, past.status);
        EXPECT_NE(std::string::npos,
                  past.errors.find("the block offset table would inflate to 8388612 bytes, more "
                                   "than the 8388608 that rux-extract reads; use a larger "
                                   "--block-size"))
            << past.errors;
        EXPECT_EQ("old", ReadWholeFile(tmp / "out.rux"));
        EXPECT_EQ((std::vector<std::string>{"out.rux", "src/z"}), ListTree(tmp.path()));
        // Stored files have no blocks.
        EXPECT_EQ(0, Pack({"--block-size", "16", "--store", "z", "out.rux", "src"}, tmp.path())
                         .status);
    }
    {
        // Names: 4096 names of 2047 bytes and their NULs make 8 MiB.
        TempDir tmp;
        std::string deep = "src";
        for (char c = 'a'; c < 'a' + 8; ++c) deep += "/" + std::string(230, c);
        fs::create_directories(tmp / deep);
        for (int i = 0; i < 4096; ++i) {
            char number[8];
            std::snprintf(number, sizeof number, "%04d", i);
            ASSERT_TRUE(WriteWholeFile(tmp / deep + "/" + number + std::string(195, 'f'), ""));
        }
        const RunResult run = Pack({"out.rux", "src"}, tmp.path());
        ASSERT_EQ(0, run.status) << run.errors;
        EXPECT_EQ(4096u, Lines(run.output).size());
        const RunResult extracted = Extract({"out.rux", "x"}, tmp.path());
        EXPECT_EQ(0, extracted.status);
        EXPECT_EQ(4096u, ListTree(tmp / "x").size());
        fs::remove_all(tmp / "x");
        fs::rename(tmp / deep + "/0000" + std::string(195, 'f'),
                   tmp / deep + "/0000" + std::string(196, 'f'));
        ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
        const RunResult past = Pack({"out.rux", "src"}, tmp.path());
        EXPECT_EQ(1, past.status);
        EXPECT_NE(std::string::npos, past.errors.find("the names table would inflate to 8388609"))
            << past.errors;
        EXPECT_EQ("old", ReadWholeFile(tmp / "out.rux"));
    }
}

TEST(PackRefusals, NamesTheExtractorWouldRefuse) {
    // Unsafe on Windows at least: packs travel.
    // Control bytes are refused and printed escaped.
    const std::vector<std::pair<std::string, std::string>> names = {
        {"con.txt", "con.txt"}, {"sub/AUX", "sub/AUX"}, {"lpt1.dat", "lpt1.dat"},
        {"a:b", "a:b"}, {"x/...", "x/..."}, {"y/. ./z", "y/. ./z"}, {"back\\slash", "back\\slash"},
        {"com0", "com0"}, {"q?", "q?"}, {"CONOUT$.log", "CONOUT$.log"},
        {"a\n8 forged.txt 99", "name a\\0128 forged.txt 99:"}, {"\033[2J", "name \\033[2J:"}};
    for (const auto& name : names) {
        SCOPED_TRACE(name.second);
        TempDir src;
        MakeTree(src.path(), {{"fine.txt", "fine"}, {name.first, "bad"}});
        TempDir tmp;
        ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
        const RunResult run = Pack({"out.rux", src.path()}, tmp.path());
        ExpectRefused(run, tmp, name.second);
        EXPECT_EQ("", run.output);
        EXPECT_EQ(std::string::npos, run.errors.find_first_of("\033\001"));
        // The count and the way on close the list.
        EXPECT_EQ(2u, Lines(run.errors).size()) << run.errors;
        EXPECT_EQ("rux-pack: 1 name refused, nothing written; leave it out with -x GLOB", Lines(run.errors).back());
    }
}

TEST(PackRefusals, NamesEqualButForCase) {
    TempDir src;
    MakeTree(src.path(), {{"Readme.TXT", "1"}, {"readme.txt", "2"}, {"other", "3"}, {"README.txt", "4"}});
    TempDir tmp;
    ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
    const RunResult run = Pack({"out.rux", src.path()}, tmp.path());
    ExpectRefused(run, tmp, "differ only in case");
    EXPECT_EQ((std::vector<std::string>{
                  "rux-pack: refused names README.txt and Readme.TXT: they differ only in case",
                  "rux-pack: refused names Readme.TXT and readme.txt: they differ only in case",
                  "rux-pack: 3 names refused, nothing written; leave them out with -x GLOB"}),
              Lines(AsOnPosix(run.errors)));
    // Taking the way on.
    const RunResult excluded = Pack({"-x", "readme.txt", "out.rux", src.path()}, tmp.path());
    EXPECT_EQ(0, excluded.status) << excluded.errors;
    EXPECT_EQ("", excluded.errors);
}

TEST(PackRefusals, OffsetsAtFourGiB) {
    TempDir src;
    ASSERT_TRUE(WriteWholeFile(src / "a.bin", "a"));
    {
        // A size that does not fit 32 bits is refused before any reading
        // (the file is sparse: reading it would take long).
        MakeTree(src.path(), {{"huge/b.bin", ""}});
        fs::resize_file(src / "huge/b.bin", std::uintmax_t(1) << 32);
        TempDir tmp;
        ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
        const RunResult run = Pack({"out.rux", src.path()}, tmp.path());
        ExpectRefused(run, tmp, "4 GiB");
        fs::remove_all(src / "huge");
    }
    {
        // Stored data that would end at 4 GiB: the first file is already
        // written when the second one is refused.
        MakeTree(src.path(), {{"b.bin", ""}});
        fs::resize_file(src / "b.bin", (std::uintmax_t(1) << 32) - 8);
        TempDir tmp;
        ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
        const RunResult run = Pack({"--store", "*", "out.rux", src.path()}, tmp.path());
        ExpectRefused(run, tmp, "4 GiB");
        EXPECT_EQ("2 a.bin 1\n", run.output);
    }
}

TEST(PackRefusals, TheOutputInTheTreeIsLeftOutAndNothingOverwritten) {
    TempDir src;
    MakeTree(src.path(), {{"x", "1"}, {"a.ruxx", "also precious"}});
    // Packed into the tree it packs, again, by another path, and updated:
    // neither the output nor its temporary is ever a resource of it.
    const std::string note = "rux-pack: warning: ./a.rux: the output file itself, left out\n";
    const struct {
        std::vector<std::string> args;
        std::string errors;
    } runs[] = {{{"a.rux", "."}, ""},
                {{"a.rux", "."}, note},
                {{src / "sub/../a.rux", "."}, note},
                {{"-u", "a.rux", src.path()}, "rux-pack: warning: " + src / "a.rux" + ": the output file itself, left out\n"},
                {{"-u", "a.rux", "."}, note}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.args[run.args.size() - 2]);
        fs::create_directories(src / "sub");
        const RunResult packed = Pack(run.args, src.path());
        fs::remove(src / "sub");
        EXPECT_EQ(0, packed.status);
        EXPECT_EQ("2 a.ruxx 13\n2 x 1\n", AsOnPosix(packed.output));
        EXPECT_EQ(run.errors, AsOnPosix(packed.errors));
        const RunResult listed = Extract({"-l", "a.rux"}, src.path());
        EXPECT_EQ(0, listed.status) << listed.errors;
        EXPECT_EQ(2u, Lines(listed.output).size()) << listed.output;
        EXPECT_EQ(std::string::npos, listed.output.find(".rux ")) << listed.output;
        EXPECT_EQ((std::vector<std::string>{"a.rux", "a.ruxx", "x"}), ListTree(src.path()));
    }
    // The loose copy of x would land on a.ruxx.
    const RunResult run = Pack({"--loose", "x", "a.rux", "."}, src.path());
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(note + "rux-pack: refused to overwrite a.ruxx, one of the files being packed\n", AsOnPosix(run.errors));
    EXPECT_EQ("also precious", ReadWholeFile(src / "a.ruxx"));
    EXPECT_EQ((std::vector<std::string>{"a.rux", "a.ruxx", "x"}), ListTree(src.path()));
}

TEST(PackRefusals, MissingInput) {
    TempDir tmp;
    MakeTree(tmp.path(), {{"file", "x"}, {"dir/ok", "y"}, {"dir/locked/secret", "z"}});
    const RunResult missing = Pack({"out.rux", "no-such-dir"}, tmp.path());
    EXPECT_EQ(1, missing.status);
    EXPECT_NE(std::string::npos, missing.errors.find("no-such-dir is not a directory"));
    EXPECT_EQ(1, Pack({"out.rux", "file"}, tmp.path()).status);
    const RunResult onDir = Pack({"dir", "dir"}, tmp.path());
    EXPECT_EQ(1, onDir.status);
    EXPECT_NE(std::string::npos, onDir.errors.find("is a directory")) << onDir.errors;
    EXPECT_FALSE(FileExists(tmp / "out.rux"));
}

TEST(PackRefusals, UnreadableInput) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    TempDir tmp;
    MakeTree(tmp.path(), {{"file", "x"}, {"dir/ok", "y"}, {"dir/locked/secret", "z"}});
    fs::permissions(tmp / "dir/locked", fs::perms::none);
    const RunResult locked = Pack({"out.rux", "dir"}, tmp.path());
    fs::permissions(tmp / "dir/locked", fs::perms::owner_all);
    EXPECT_EQ(1, locked.status);
    EXPECT_NE(std::string::npos, locked.errors.find("cannot read directory")) << locked.errors;
    fs::permissions(tmp / "dir/ok", fs::perms::none);
    const RunResult unreadable = Pack({"out.rux", "dir"}, tmp.path());
    fs::permissions(tmp / "dir/ok", fs::perms::owner_all);
    EXPECT_EQ(1, unreadable.status);
    EXPECT_NE(std::string::npos, unreadable.errors.find("cannot open")) << unreadable.errors;
    EXPECT_EQ((std::vector<std::string>{"dir/locked/secret", "dir/ok", "file"}),
              ListTree(tmp.path()));
}

// The longest block rux-extract reads: one full block of zeros and a short one.
TEST(PackOptions, TheLargestBlockSize) {
    TempDir tmp;
    const std::uint64_t size = (16u << 20) + 1;
    MakeTree(tmp.path(), {{"src/z", ""}});
    fs::resize_file(tmp / "src/z", size);
    const RunResult run = Pack({"--block-size=16777216", "out.rux", "src"}, tmp.path());
    ASSERT_EQ(0, run.status) << run.errors;
    EXPECT_EQ("8 z 16777217\n", run.output);
    const RunResult extracted = Extract({"out.rux", "x"}, tmp.path());
    EXPECT_EQ(0, extracted.status) << extracted.output;
    EXPECT_TRUE(ReadWholeFile(tmp / "x/z") == std::string(size, '\0'));
}

}  // namespace
