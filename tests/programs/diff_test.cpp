// rux-diff and rux-pack --patch-from end to end: every kind of change seen
// alike from two files, a file and its tree, and a union and a tree; the
// exit statuses; and a patch of a 4,000-file tree mounted over its base.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/fixture.h"
#include "tests/support/run.h"

namespace fs = std::filesystem;

namespace {

RunResult Diff(const std::vector<std::string>& args, const std::string& cwd) {
    return Run(ProgramFromEnvironment("RUX_DIFF"), args, cwd);
}

RunResult Pack(const std::vector<std::string>& args, const std::string& cwd) {
    return Run(ProgramFromEnvironment("RUX_PACK"), args, cwd);
}

void Write(const std::string& path, const std::vector<PackResource>& resources) {
    std::string error;
    ASSERT_EQ(1, WriteResourceFile(path, resources, &error)) << error;
}

void MakeTree(const std::string& root, const std::vector<PackResource>& files) {
    for (const PackResource& file : files) {
        const fs::path path = fs::path(root) / file.name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << file.data;
    }
}

// The lines of text.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Diff, EveryKindOfChangeFromTwoFilesAFileAndATreeAndAUnionAndATree) {
    TempDir dir;
    const std::string big = TextBytes(300000, 5);
    std::string bigChanged = big;
    bigChanged.back() ^= 1;
    // Blocks of 3000 bytes, which do not divide a thread's range of work.
    const std::string odd = TextBytes(5000000, 9);
    std::string oddChanged = odd;
    oddChanged.back() ^= 1;
    // Old and new, resource by resource, and the line each comparison
    // gives with -v: file/file, file/dir, union/dir ("" for none).
    struct Row {
        const char* what;
        std::vector<PackResource> old, now;
        const char* lines[3];
    };
    const std::vector<Row> rows = {
        {"the same", {Stored("keep.txt", "same")}, {Stored("keep.txt", "same")}, {"", "", ""}},
        {"the same, deflated alike", {Deflated("keep.bin", big, 4096)}, {Deflated("keep.bin", big, 4096)}, {"", "", ""}},
        {"added", {}, {Stored("new/added.txt", "fresh")}, {"A new/added.txt", "A new/added.txt", "A new/added.txt"}},
        {"deleted", {Stored("gone.txt", "old")}, {}, {"D gone.txt", "D gone.txt", "D gone.txt"}},
        {"the last byte of a large deflated resource",
         {Deflated("big.bin", big, 4096)}, {Deflated("big.bin", bigChanged, 4096)},
         {"M big.bin", "M big.bin", "M big.bin"}},
        {"the same bytes at another level", {Deflated("level.bin", big, 4096, 6)}, {Deflated("level.bin", big, 4096, 1)},
         {"", "", ""}},
        {"the last byte, at another level, of blocks that do not divide a range", {Deflated("odd.bin", odd, 3000, 6)},
         {Deflated("odd.bin", oddChanged, 3000, 1)}, {"M odd.bin", "M odd.bin", "M odd.bin"}},
        {"from empty", {Stored("empty", "")}, {Stored("empty", "now")}, {"M empty", "M empty", "M empty"}},
        {"to empty", {Stored("emptied", "was")}, {Stored("emptied", "")}, {"M emptied", "M emptied", "M emptied"}},
        {"one size to another", {Stored("grown", "ab")}, {Stored("grown", "abc")}, {"M grown", "M grown", "M grown"}},
        {"another kind", {Deflated("kind.txt", big, 65536)}, {Stored("kind.txt", big)}, {"K kind.txt", "", ""}},
        {"another block length", {Deflated("blocks", big, 4096)}, {Deflated("blocks", big, 8192)}, {"K blocks", "", ""}},
        {"a case-only rename", {Stored("Case.TXT", "c")}, {Stored("case.txt", "c")}, {"K case.txt", "K case.txt", "K case.txt"}},
        {"the other separator", {Stored("sub\\x", "s")}, {Stored("sub/x", "s")}, {"K sub/x", "K sub/x", "K sub/x"}},
    };
    std::vector<PackResource> old, now;
    for (const Row& row : rows) {
        old.insert(old.end(), row.old.begin(), row.old.end());
        now.insert(now.end(), row.now.begin(), row.now.end());
    }
    Write(dir / "old.rux", old);
    Write(dir / "new.rux", now);
    MakeTree(dir / "new", now);
    // The union shows old: the patch's big.bin wins over the base's other bytes.
    std::vector<PackResource> base = old;
    for (PackResource& r : base) {
        if (r.name == "big.bin") r = Deflated("BIG.BIN", bigChanged, 4096);
    }
    Write(dir / "base.rux", base);
    Write(dir / "patch.rux", {Deflated("big.bin", big, 4096)});

    const std::vector<std::vector<std::string>> sides = {
        {"old.rux", "new.rux"}, {"old.rux", "new"}, {"patch.rux+base.rux", "new"}};
    for (std::size_t s = 0; s < sides.size(); ++s) {
        for (const char* jobs : {"-j1", "-j4"}) {
            const RunResult r = Diff({"-v", jobs, sides[s][0], sides[s][1]}, dir.path());
            EXPECT_EQ(1, r.status) << sides[s][0] << " " << sides[s][1] << "\n" << r.errors;
            const std::vector<std::string> lines = Lines(r.output);
            const auto listedOtherwise = std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l[0] == 'K'; });
            EXPECT_NE(std::string::npos, r.errors.find(", " + std::to_string(listedOtherwise) + " listed otherwise; "))
                << r.errors;
            for (const Row& row : rows) {
                const std::string want = row.lines[s];
                const bool seen = std::find(lines.begin(), lines.end(), want) != lines.end();
                EXPECT_TRUE(want.empty() || seen) << row.what << ": " << sides[s][0] << " " << sides[s][1] << "\n" << r.output;
            }
            std::size_t expected = 0;
            for (const Row& row : rows) expected += *row.lines[s] != '\0';
            EXPECT_EQ(expected, lines.size()) << r.output;
            EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
                return a.substr(2) < b.substr(2);
            })) << r.output;
        }
        const RunResult plain = Diff({sides[s][0], sides[s][1]}, dir.path());
        EXPECT_EQ(std::string::npos, plain.output.find("K ")) << plain.output;
        EXPECT_NE(std::string::npos, plain.errors.find("1 added, 1 deleted, 5 changed")) << plain.errors;
    }
    const RunResult json = Diff({"--json", "old.rux", "new"}, dir.path());
    EXPECT_NE(std::string::npos, json.output.find("{\"change\": \"D\", \"name\": \"gone.txt\", \"old\": {\"name\": "
                                                  "\"gone.txt\", \"size\": 3, \"kind\": \"stored\""))
        << json.output;
    EXPECT_NE(std::string::npos, json.output.find("\"totals\": {\"added\": 1, \"deleted\": 1, \"changed\": 5, "
                                                  "\"listed_otherwise\": 2, \"compared\": 12, \"troubles\": 0}"))
        << json.output;
    const RunResult unionJson = Diff({"--json", "patch.rux+base.rux", "new"}, dir.path());
    EXPECT_NE(std::string::npos, unionJson.output.find("\"old\": {\"files\": [\"patch.rux\", \"base.rux\"]},\n"
                                                       "  \"new\": {\"directory\": \"new\"},"))
        << unionJson.output;
    // -i and -x choose names on either side.
    const RunResult chosen = Diff({"-i", "*.TXT", "-x", "new/*", "old.rux", "new.rux"}, dir.path());
    EXPECT_EQ("D gone.txt\n", chosen.output);

    // Spellings of one name in one tree (a case-sensitive file system):
    // each is matched by its own spelling first, then the others in order.
    MakeTree(dir / "twins-old", {Stored("A", "upper"), Stored("a", "lower"), Stored("B", "b"), Stored("Ab", "1"),
                                 Stored("aB", "2")});
    MakeTree(dir / "twins-new", {Stored("a", "lower"), Stored("B", "b"), Stored("AB", "1"), Stored("ab", "2")});
    if (std::distance(fs::directory_iterator(dir / "twins-old"), fs::directory_iterator()) == 5) {
        EXPECT_EQ("D A\nK AB\nK ab\n", Diff({"-v", "twins-old", "twins-new"}, dir.path()).output);
        EXPECT_EQ("A A\nK Ab\nK aB\n", Diff({"-v", "twins-new", "twins-old"}, dir.path()).output);
    }
}

TEST(Diff, ExitStatusIs0ForNoChange1ForAChangeAnd2ForTrouble) {
    TempDir dir;
    const std::string big = TextBytes(200000, 3);
    const std::vector<PackResource> resources = {Deflated("a/big", big, 4096), Stored("b", "bee")};
    Write(dir / "one.rux", resources);
    Write(dir / "two.rux", resources);
    std::string bigChanged = big;
    bigChanged.back() ^= 1;
    Write(dir / "other.rux", {Deflated("a/big", bigChanged, 4096), Stored("b", "bee")});
    MakeTree(dir / "tree", resources);
    fs::create_directories(dir / "dir.rux");
    // A union whose name is that of an existing file is that file.
    Write(dir / "odd.rux+two.rux", resources);
    // Damaged: its first block's data is changed, so it no longer inflates.
    std::string damaged = ReadWholeFile(dir / "one.rux");
    damaged[FILE_HEADER_BYTES + 40] ^= 0x55;
    ASSERT_TRUE(WriteWholeFile(dir / "damaged.rux", damaged));
    // The same damaged block on both sides: equal packed bytes are not inflated.
    fs::copy_file(dir / "damaged.rux", dir / "damaged-copy.rux");
    // Two files that together list more names than one index holds.
    std::vector<PackResource> half[2];
    for (int i = 0; i < 2100; ++i) {
        for (int k = 0; k < 2; ++k) half[k].push_back(Stored("n" + std::to_string(k) + "/" + std::to_string(i), "x"));
    }
    Write(dir / "half0.rux", half[0]);
    Write(dir / "half1.rux", half[1]);
    Write(dir / "loose.rux", {Loose("lost", "x")});
    fs::remove(dir / "loose.ruxlost");
    Write(dir / "loose2.rux", {Stored("lost", "x")});
    ASSERT_TRUE(WriteWholeFile(dir / "junk.rux", "not a resource file"));

    std::string many = "one.rux";
    for (int i = 0; i < 16; ++i) many += "+two.rux";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;  // on standard error
    };
    const std::vector<Case> cases = {
        {{"one.rux", "two.rux"}, 0, "0 added, 0 deleted, 0 changed; 2 on both sides"},
        {{"one.rux", "tree"}, 0, ""},
        {{"tree", "one.rux"}, 0, ""},
        {{"-q", "one.rux", "odd.rux+two.rux"}, 0, ""},
        {{"-q", "one.rux", "loose2.rux"}, 1, ""},
        {{"-q", "one.rux", "other.rux"}, 1, ""},
        {{"one.rux", "damaged.rux"}, 2, "rux-diff: a/big: damaged block 1 of 49"},
        {{"damaged.rux", "damaged-copy.rux"}, 0, "0 added, 0 deleted, 0 changed; 2 on both sides"},
        {{"one.rux", "half0.rux+half1.rux"}, 2, "half1.rux: the union lists more resources than one index holds (4096)"},
        {{"loose.rux", "loose2.rux"}, 2, "rux-diff: lost: cannot open loose file"},
        {{"one.rux", "junk.rux"}, 2, "rux-diff: junk.rux: not a resource file"},
        {{"one.rux", "missing.rux"}, 2, "rux-diff: missing.rux: cannot open"},
        {{"one.rux", "dir.rux+two.rux"}, 2, "a union holds resource files only, not 'dir.rux'"},
        {{"one.rux", ".rux+two.rux"}, 2, "rux-diff: .rux: cannot open"},
        {{"one.rux", "two.rux+"}, 2, "rux-diff: 'two.rux+': a union needs a resource file on each side of '+'"},
        {{"one.rux", many}, 2, "a union holds at most 16 resource files"},
        {{"-i", "b", "-i", "nothing*", "one.rux", "two.rux"}, 2, "rux-diff: nothing*: Not found on either side"},
        {{"one.rux"}, 2, "rux-diff: needs OLD and NEW\nTry 'rux-diff --help'"},
        {{"-q", "--json", "one.rux", "two.rux"}, 2, "Option -q cannot be given with --json"},
    };
    for (const Case& c : cases) {
        const RunResult r = Diff(c.args, dir.path());
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        EXPECT_EQ(c.status, r.status) << line << "\n" << r.errors;
        EXPECT_NE(std::string::npos, r.errors.find(c.says)) << line << "\n" << r.errors;
        if (c.args[0] == "-q" && c.status != 2) {
            EXPECT_EQ("", r.output + r.errors) << line;
        }
    }
    // A patch over a base it cannot read in full is not made: a file
    // would be left out for a damaged copy.
    const RunResult patch = Pack({"-q", "--patch-from", "damaged.rux", "patch.rux", "tree"}, dir.path());
    EXPECT_EQ(1, patch.status);
    EXPECT_NE(std::string::npos, patch.errors.find("cannot compare a/big with its base: damaged block 1 of 49"))
        << patch.errors;
    EXPECT_FALSE(fs::exists(dir / "patch.rux"));
}

// A 4,000-file tree; three files changed, two added, two deleted.
TEST(Patch, MountedOverItsBaseAPatchGivesTheNewTreeButForTheDeletedFiles) {
    TempDir dir;
    std::vector<PackResource> files;
    for (int i = 0; i < 4000; ++i) {
        files.push_back(Stored("d" + std::to_string(i % 40) + "/f" + std::to_string(i) + ".txt",
                               TextBytes(100 + (i % 7) * 300, i)));
    }
    files.push_back(Stored("large.bin", TextBytes(400000, 77)));
    MakeTree(dir / "old", files);
    ASSERT_EQ(0, Pack({"-q", "base.rux", "old"}, dir.path()).status);
    fs::copy(dir / "old", dir / "new", fs::copy_options::recursive);
    std::ofstream(dir / "new/d1/f1.txt", std::ios::app) << "more";
    std::ofstream(dir / "new/d2/f2.txt", std::ios::binary) << "replaced";
    {
        std::fstream last(dir / "new/large.bin", std::ios::in | std::ios::out | std::ios::binary);
        last.seekp(399999);
        last.put('!');
    }
    std::ofstream(dir / "new/d3/two.txt") << "two";
    fs::create_directories(dir / "new/added");
    std::ofstream(dir / "new/added/one.txt") << "one";
    fs::remove(dir / "new/d4/f4.txt");
    fs::remove(dir / "new/d5/f5.txt");

    const RunResult p1 = Pack({"--patch-from", "base.rux", "-j", "1", "new", "patch.rux"}, dir.path());
    ASSERT_EQ(0, p1.status) << p1.errors;
    EXPECT_NE(std::string::npos,
              p1.errors.find("rux-pack: 2 resources of base.rux are not in new; a patch cannot remove them\n"
                             "rux-pack:   d4/f4.txt\nrux-pack:   d5/f5.txt\n"))
        << p1.errors;
    EXPECT_EQ(5u, Lines(p1.output).size()) << p1.output;
    ASSERT_EQ(0, Pack({"-q", "--patch-from", "base.rux", "-j", "3", "patch3.rux", "new"}, dir.path()).status);
    const RunResult self = Pack({"--patch-from", "base.rux", "base.rux", "new"}, dir.path());
    EXPECT_EQ(1, self.status);
    EXPECT_NE(std::string::npos, self.errors.find("base.rux is a base of the patch")) << self.errors;
    EXPECT_EQ(ReadWholeFile(dir / "patch.rux"), ReadWholeFile(dir / "patch3.rux"));

    const RunResult d = Diff({"patch.rux+base.rux", "new"}, dir.path());
    EXPECT_EQ(1, d.status) << d.errors;
    EXPECT_EQ("D d4/f4.txt\nD d5/f5.txt\n", d.output);
    EXPECT_EQ(0, Diff({"-q", "-x", "d[45]/f[45].txt", "patch.rux+base.rux", "new"}, dir.path()).status);
    // Patching a patch: the newest first.
    std::ofstream(dir / "new/d6/f6.txt", std::ios::app) << "again";
    const RunResult p2 = Pack({"-q", "--patch-from", "patch.rux+base.rux", "patch2.rux", "new"}, dir.path());
    ASSERT_EQ(0, p2.status) << p2.errors;
    EXPECT_EQ("", Diff({"-x", "d[45]/f[45].txt", "patch2.rux+patch.rux+base.rux", "new"}, dir.path()).output);
    // Names a base shadows still take index slots: 90 of the tree's files
    // over base.rux make 4091, and the patch's 6 files would overfill one
    // index, though the union shows 4001 names.
    std::vector<PackResource> over;
    for (int i = 100; i < 190; ++i) over.push_back(files[i]);
    Write(dir / "over.rux", over);
    const RunResult full = Pack({"-q", "--patch-from", "over.rux+base.rux", "full.rux", "new"}, dir.path());
    EXPECT_EQ(0, full.status) << full.errors;
    EXPECT_NE(std::string::npos, full.errors.find("rux-pack: warning: the patch and over.rux+base.rux list 4097 "
                                                  "resources, more than one mount's index holds (4096)"))
        << full.errors;
    EXPECT_EQ(std::string::npos, p2.errors.find("warning")) << p2.errors;

#ifdef RUX_MOUNT_PROGRAM
    if (!std::getenv("RUX_MOUNT")) setenv("RUX_MOUNT", RUX_MOUNT_PROGRAM, 1);
#endif
    if (!std::getenv("RUX_MOUNT") || access("/dev/fuse", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "no rux-mount or no FUSE device";
    }
    fs::create_directories(dir / "mnt");
    const RunResult m = ::Run(ProgramFromEnvironment("RUX_MOUNT"), {"patch2.rux", "patch.rux", "base.rux", dir / "mnt"}, dir.path());
    ASSERT_EQ(0, m.status) << m.errors;
    const RunResult r = RunProgram("diff", {"-r", dir / "mnt", dir / "new"}, dir.path());
    RunProgram("fusermount3", {"-u", dir / "mnt"}, dir.path());
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Only in " + dir / "mnt/d4: f4.txt\nOnly in " + dir / "mnt/d5: f5.txt\n", r.output);
}

}  // namespace
