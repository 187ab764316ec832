// rux-pack end to end: real trees packed and extracted again by the real
// rux-extract, and the exact bytes of a small pack.
#include "tests/programs/pack_fixture.h"
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace pack_test;

namespace {

class Headers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tree_ = new TempDir;
        names_ = CopyHeaders(tree_->path(), 300);
    }
    static void TearDownTestSuite() {
        delete tree_;
        tree_ = nullptr;
    }
    static std::string Tree() { return tree_->path(); }
    static TempDir* tree_;
    static std::vector<std::string> names_;
};
TempDir* Headers::tree_ = nullptr;
std::vector<std::string> Headers::names_;

TEST_F(Headers, RoundTripWithDefaults) {
    ASSERT_GE(names_.size(), 50u) << "too few headers below /usr/include";
    TempDir tmp;
    const std::vector<Listed> listed = RoundTrip(tmp, Tree(), {});
    // Headers compress; nothing is listed but deflated or (if tiny) stored.
    EXPECT_GT(CountKind(listed, KIND_DEFLATED), static_cast<int>(listed.size()) / 2);
    EXPECT_EQ(0, CountKind(listed, KIND_LOOSE));
}

TEST_F(Headers, RoundTripWithEveryBlockSize) {
    for (const char* size : {"4096", "65536", "1048576"}) {
        SCOPED_TRACE(size);
        TempDir tmp;
        RoundTrip(tmp, Tree(), {"--block-size", size});
    }
}

TEST_F(Headers, RoundTripWithBothEndLevels) {
    {
        TempDir tmp;
        // Level 0 deflate never shrinks anything, so everything is stored.
        const std::vector<Listed> listed = RoundTrip(tmp, Tree(), {"--level", "0"});
        EXPECT_EQ(static_cast<int>(listed.size()), CountKind(listed, KIND_STORED));
    }
    {
        TempDir tmp;
        const std::vector<Listed> listed =
            RoundTrip(tmp, Tree(), {"--level=" + std::to_string(MaxPackLevel())});
        EXPECT_GT(CountKind(listed, KIND_DEFLATED), 0);
    }
}

TEST_F(Headers, RoundTripStoredAndLoose) {
    TempDir tmp;
    // "*.h" matches at every depth; the loose pattern wins over it.
    const std::string looseDir = names_.front().substr(0, names_.front().find('/') + 1);
    const std::vector<Listed> listed =
        RoundTrip(tmp, Tree(), {"--store", "*.h", "--loose", looseDir + "*"});
    int loose = 0;
    for (const Listed& l : listed) {
        if (l.name.rfind(looseDir, 0) == 0) {
            EXPECT_EQ(KIND_LOOSE, l.kind) << l.name;
            EXPECT_EQ(ReadWholeFile(Tree() + "/" + l.name), ReadWholeFile(tmp / "out.rux" + l.name));
            ++loose;
        } else if (l.name.size() > 2 && l.name.compare(l.name.size() - 2, 2, ".h") == 0) {
            EXPECT_EQ(KIND_STORED, l.kind) << l.name;
        }
    }
    EXPECT_GT(loose, 0);
}

TEST_F(Headers, RoundTripWithBackslashes) {
    TempDir tmp;
    const std::string looseDir = names_.front().substr(0, names_.front().find('/') + 1);
    const std::vector<Listed> listed =
        RoundTrip(tmp, Tree(), {"--backslash", "--loose", looseDir + "*"});
    EXPECT_GT(CountKind(listed, KIND_LOOSE), 0);
    bool nested = false;
    for (const Listed& l : listed) nested = nested || l.name.find('\\') != std::string::npos;
    EXPECT_TRUE(nested);
}

TEST(PackRoundTrip, BlocksOfOneByteOnASmallTree) {
    TempDir src;
    CopyHeaders(src.path(), 8, 4096);
    MakeTree(src.path(), {{"zeros/many.bin", std::string(3000, '\0')}});
    TempDir tmp;
    const std::vector<Listed> listed = RoundTrip(tmp, src.path(), {"--block-size", "1"});
    // A 1-byte block deflates to more than 1 byte: all of it is stored.
    EXPECT_EQ(static_cast<int>(listed.size()), CountKind(listed, KIND_STORED));
}

TEST(PackRoundTrip, OddFilesAndTheirKinds) {
    TempDir src;
    MakeTree(src.path(), {{"random.bin", RandomBytes(100000)},
                          {"text.txt", TextBytes(100000)},
                          {"empty", ""},
                          {"a b/c d.txt", "spaces\n"},
                          {"deep/er/est/x", TextBytes(5000, 3)}});
    TempDir tmp;
    // '\\' in a glob matches the separator.
    const std::vector<Listed> listed = RoundTrip(tmp, src.path(), {"--store", "deep\\er\\*", "--loose", "a b\\*"});
    std::map<std::string, unsigned> kinds;
    for (const Listed& l : listed) kinds[l.name] = l.kind;
    EXPECT_EQ(KIND_STORED, kinds["random.bin"]);  // does not shrink
    EXPECT_EQ(KIND_STORED, kinds["empty"]);
    EXPECT_EQ(KIND_DEFLATED, kinds["text.txt"]);
    EXPECT_EQ(KIND_STORED, kinds["deep/er/est/x"]);
    EXPECT_EQ(KIND_LOOSE, kinds["a b/c d.txt"]);
}

TEST(PackRoundTrip, SymlinksToFilesArePackedAndOthersLeftOutWithAWarning) {
    TempDir outside;
    // Deeper than the tree's own path, so that no count of components
    // alone can take it for a file below the tree.
    MakeTree(outside.path(), {{"deep/er/far.txt", "far\n"}});
    TempDir tmp;
    const std::string src = tmp / "src";
    MakeTree(src, {{"real.txt", "real\n"}, {"dir/inner.txt", "inner\n"}});
    fs::create_symlink("real.txt", src + "/link.txt");
    fs::create_symlink("../real.txt", src + "/dir/up.txt");
    fs::create_symlink(outside / "deep/er/far.txt", src + "/far.txt");
    fs::create_directory_symlink("dir", src + "/dirlink");
    fs::create_symlink("missing", src + "/dangling");
    fs::create_symlink("fifo", src + "/fifolink");
    fs::create_symlink("/dev/null", src + "/null");
    ASSERT_EQ(0, mkfifo((src + "/fifo").c_str(), 0600));
    ASSERT_EQ(0, mkfifo((src + "/excluded-fifo").c_str(), 0600));
    // A device node where the system lets one be made (as root, outside
    // most containers).
    const bool device = mknod((src + "/tty").c_str(), S_IFCHR | 0600, makedev(5, 0)) == 0;
    const RunResult run = Pack({"-x", "EXCLUDED-*", "out.rux", "src"}, tmp.path());
    EXPECT_EQ(0, run.status) << run.errors;
    EXPECT_EQ("2 dir/inner.txt 6\n2 dir/up.txt 5\n2 far.txt 4\n2 link.txt 5\n2 real.txt 5\n",
              run.output);
    EXPECT_EQ("rux-pack: warning: src/dangling: dangling link, left out\n"
              "rux-pack: warning: src/dirlink: link to a directory, left out\n"
              "rux-pack: warning: src/far.txt: link to a file outside src, packed as a copy\n"
              "rux-pack: warning: src/fifo: FIFO, left out\n"
              "rux-pack: warning: src/fifolink: link to a special file, left out\n"
              "rux-pack: warning: src/null: link to a special file, left out\n" +
                  std::string(device ? "rux-pack: warning: src/tty: device, left out\n" : ""),
              run.errors);
}

// Generated trees and option sets: whatever rux-pack accepts, rux-extract
// gives back byte for byte, less what -x left out; whatever it refuses
// leaves nothing behind.
TEST(PackRoundTrip, GeneratedTreesAndOptions) {
    const std::vector<std::string> dirs = {"d", "D", "sub", "a b", "x.y"};
    const std::vector<std::string> files = {"a", "A", "c.txt", "Data.bin", "x y", "e\xc3\xa9",
                                            "z.TXT", "n.rux", "long-name-of-a-file.dat"};
    const std::vector<std::string> blockSizes = {"1", "2", "3", "7", "16", "100", "4096", "65536"};
    const std::vector<std::string> globs = {"*.txt", "*.bin", "d/*", "*a*", "?", "[!a-c]*",
                                            "SUB", "*/*"};
    std::mt19937 rng(20261208);
    const auto pick = [&rng](const std::vector<std::string>& from) {
        return from[rng() % from.size()];
    };
    int accepted = 0, refused = 0;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir tmp;
        std::map<std::string, std::string> tree;
        const int count = static_cast<int>(rng() % 10);
        for (int i = 0; i < count; ++i) {
            std::string name;
            for (unsigned depth = rng() % 3; depth > 0; --depth) name += pick(dirs) + "/";
            name += pick(files);
            const std::size_t size = rng() % 4 == 0 ? rng() % 70000 : rng() % 2000;
            switch (rng() % 4) {
                case 0: tree[name] = std::string(size, '\0'); break;
                case 1: tree[name] = RandomBytes(size, rng()); break;
                default: tree[name] = TextBytes(size, rng()); break;
            }
        }
        fs::create_directories(tmp / "src");
        MakeTree(tmp / "src", tree);
        std::vector<std::string> args = {"--block-size", pick(blockSizes)};
        if (rng() % 2) args.push_back("--level=" + std::to_string(rng() % (MaxPackLevel() + 1)));
        if (rng() % 2) args.push_back("-j" + std::to_string(1 + rng() % 8));
        if (rng() % 3 == 0) args.insert(args.end(), {"--store", pick(globs)});
        if (rng() % 3 == 0) args.insert(args.end(), {"--loose", pick(globs)});
        if (rng() % 3 == 0) args.push_back("--backslash");
        std::vector<std::string> excludes;
        for (unsigned n = rng() % 4 == 0 ? 1 + rng() % 2 : 0; n > 0; --n) {
            excludes.push_back(pick(globs));
            args.insert(args.end(), {"-x", excludes.back()});
        }
        args.insert(args.end(), {"out.rux", "src"});
        const RunResult packed = Pack(args, tmp.path());
        if (packed.status != 0) {
            ++refused;
            EXPECT_EQ(1, packed.status) << packed.errors;
            EXPECT_NE("", packed.errors);
            // Nothing beside the tree: no resource file, loose file or temporary.
            EXPECT_EQ(1, std::distance(fs::directory_iterator(tmp.path()), {}));
            continue;
        }
        ++accepted;
        EXPECT_EQ("", packed.errors);
        const RunResult extracted = Extract({"out.rux", "x"}, tmp.path());
        ASSERT_EQ(0, extracted.status) << extracted.output;
        // A file is left out when its path, or that of a directory above
        // it, matches an exclude.
        std::map<std::string, std::string> expected;
        for (const auto& file : tree) {
            bool excluded = false;
            for (std::size_t end = 0; end != std::string::npos && !excluded;) {
                end = file.first.find('/', end + 1);
                const std::string path = file.first.substr(0, end);
                for (const std::string& glob : excludes) {
                    excluded = excluded || MatchesNameGlob(glob.c_str(), path.c_str());
                }
            }
            if (!excluded) expected.insert(file);
        }
        std::vector<std::string> names;
        for (const auto& file : expected) names.push_back(file.first);
        ASSERT_EQ(names, ListTree(tmp / "x"));
        for (const auto& file : expected) {
            ASSERT_TRUE(file.second == ReadWholeFile(tmp / "x/" + file.first)) << file.first;
        }
    }
    EXPECT_GT(accepted, 150);
    EXPECT_GT(refused, 10);
}

// Every byte of a tiny pack, written out by hand. Level 0 makes the zlib
// streams plain (header 78 01, one stored block, Adler-32) and stores both
// files, so nothing depends on the compressor's choices.
TEST(PackGolden, LevelZeroBytes) {
    TempDir src;
    MakeTree(src.path(), {{"a.txt", "hi\n"}, {"d/b", "xyz"}});
    TempDir tmp;
    const RunResult run = Pack({"--level", "0", "out.rux", src.path()}, tmp.path());
    ASSERT_EQ(0, run.status) << run.errors;
    EXPECT_EQ("2 a.txt 3\n2 d/b 3\n", run.output);
    const std::string hex =
        "5255584106000000"  // "RUXA", skip 6
        "68690a78797a"      // "hi\n" at 8, "xyz" at 11
        // directory: packed 51, count 2, element 20
        "330000000200000014000000"
        "7801012800d7ff"
        "0000000002000000080000000300000000000000"
        "06000000020000000b0000000300000000000000"
        "02f80024"
        // names: packed 21, count 10, element 1: "a.txt\0d/b\0"
        "150000000a00000001000000"
        "7801010a00f5ff612e74787400642f620011f302e5"
        // block offsets: packed 11, count 0, element 4
        "0b0000000000000004000000"
        "7801010000ffff00000001";
    std::string expected;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        expected += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    EXPECT_EQ(expected, ReadWholeFile(tmp / "out.rux"));
}

TEST(PackGolden, SameBytesAsTheLibraryWriter) {
    TempDir src;
    const std::string text = TextBytes(20000);
    const std::string random = RandomBytes(3000);
    MakeTree(src.path(), {{"a.txt", text}, {"b/r.bin", random}, {"c.raw", text}});
    TempDir tmp;
    const RunResult run =
        Pack({"--block-size", "4096", "--store", "*.raw", "out.rux", src.path()}, tmp.path());
    ASSERT_EQ(0, run.status) << run.errors;
    std::string error;
    ASSERT_TRUE(WriteResourceFile(tmp / "lib.rux",
                                  {Deflated("a.txt", text, 4096), Stored("b/r.bin", random),
                                   Stored("c.raw", text)},
                                  &error))
        << error;
    EXPECT_EQ(ReadWholeFile(tmp / "lib.rux"), ReadWholeFile(tmp / "out.rux"));
}

}  // namespace
