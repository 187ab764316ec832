// rux-pack end to end: real trees packed and extracted again by the real
// rux-extract, the exact bytes of a small pack, and every refusal of a tree.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/fixture.h"
#include "tests/support/run.h"
#include "common/glob.h"
#include "common/names.h"

using namespace rux;

namespace fs = std::filesystem;

namespace {

RunResult Pack(const std::vector<std::string>& args, const std::string& cwd) {
    return Run(ProgramFromEnvironment("RUX_PACK"), args, cwd);
}

RunResult Extract(const std::vector<std::string>& args, const std::string& cwd) {
    return Run(ProgramFromEnvironment("RUX_EXTRACT"), args, cwd);
}

void MakeTree(const std::string& root, const std::map<std::string, std::string>& files) {
    for (const auto& file : files) {
        const fs::path path = fs::path(root) / file.first;
        fs::create_directories(path.parent_path());
        // Not through DiskFile: names here may hold a literal '\'.
        std::ofstream out(path, std::ios::binary);
        out << file.second;
        ASSERT_TRUE(out.good()) << path;
    }
}

std::string Fold(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Copies up to count of the system's C headers (regular files, in sorted
// order, at most maxBytes each) below dest, keeping their relative paths.
// Names the tool rightly refuses are left out: unsafe ones, and a second
// name equal to an earlier one but for case.
std::vector<std::string> CopyHeaders(const std::string& dest, std::size_t count,
                                     std::uintmax_t maxBytes = 1 << 20) {
    std::vector<std::string> all;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator("/usr/include", ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file() && !it->is_symlink()) {
            all.push_back(fs::relative(it->path(), "/usr/include").generic_string());
        }
    }
    std::sort(all.begin(), all.end());
    std::vector<std::string> chosen;
    std::set<std::string> folded;
    for (const std::string& name : all) {
        if (chosen.size() == count) break;
        if (IsUnsafeName(name.c_str(), 1) || name.find('\\') != std::string::npos ||
            fs::file_size("/usr/include/" + name, ec) > maxBytes ||
            !folded.insert(Fold(name)).second) {
            continue;
        }
        const fs::path to = fs::path(dest) / name;
        fs::create_directories(to.parent_path());
        fs::copy_file("/usr/include/" + name, to, ec);
        if (!ec) chosen.push_back(name);
    }
    return chosen;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct Listed {
    unsigned kind;
    std::string name;
    unsigned long size;
};

std::vector<Listed> Listing(const std::string& output) {
    std::vector<Listed> listed;
    for (const std::string& line : Lines(output)) {
        const std::size_t first = line.find(' ');
        const std::size_t last = line.rfind(' ');
        listed.push_back({static_cast<unsigned>(std::stoul(line.substr(0, first))),
                          line.substr(first + 1, last - first - 1),
                          std::stoul(line.substr(last + 1))});
    }
    return listed;
}

void ExpectSameTree(const std::string& expected, const std::string& actual) {
    const std::vector<std::string> files = ListTree(expected);
    ASSERT_EQ(files, ListTree(actual));
    for (const std::string& file : files) {
        ASSERT_EQ(ReadWholeFile(expected + "/" + file), ReadWholeFile(actual + "/" + file))
            << file;
    }
}

// Only the requested file (and loose files) beside it: no temporaries.
void ExpectNoTemporaries(const std::string& dir) {
    for (const std::string& file : ListTree(dir)) {
        EXPECT_EQ(std::string::npos, file.find(".part")) << file;
        EXPECT_EQ(std::string::npos, file.find(".rux-")) << file;
    }
}

// Packs src with options, checks the listing against the tree, extracts
// the result and compares the trees. Returns the listing.
std::vector<Listed> RoundTrip(const TempDir& tmp, const std::string& src,
                              const std::vector<std::string>& options) {
    std::vector<std::string> args = options;
    args.push_back(tmp / "out.rux");
    args.push_back(src);
    const RunResult packed = Pack(args, tmp.path());
    EXPECT_EQ(0, packed.status) << packed.errors;
    EXPECT_EQ("", packed.errors);
    const std::vector<Listed> listed = Listing(packed.output);
    const std::vector<std::string> files = ListTree(src);
    const bool backslash = std::find(options.begin(), options.end(), "--backslash") != options.end();
    EXPECT_EQ(files.size(), listed.size());
    for (std::size_t i = 0; i < files.size() && i < listed.size(); ++i) {
        std::string name = files[i];
        if (backslash) std::replace(name.begin(), name.end(), '/', '\\');
        EXPECT_EQ(name, listed[i].name);
        EXPECT_EQ(fs::file_size(src + "/" + files[i]), listed[i].size) << name;
    }
    const RunResult extracted = Extract({tmp / "out.rux", tmp / "extracted"}, tmp.path());
    EXPECT_EQ(0, extracted.status) << extracted.output;
    // The extractor lists in index order; the same lines, though.
    std::vector<std::string> packLines = Lines(packed.output);
    std::vector<std::string> extractLines = Lines(extracted.output);
    std::sort(packLines.begin(), packLines.end());
    std::sort(extractLines.begin(), extractLines.end());
    EXPECT_EQ(packLines, extractLines);
    ExpectSameTree(src, tmp / "extracted");
    ExpectNoTemporaries(tmp.path());
    return listed;
}

int CountKind(const std::vector<Listed>& listed, unsigned kind) {
    return static_cast<int>(std::count_if(listed.begin(), listed.end(),
                                          [kind](const Listed& l) { return l.kind == kind; }));
}

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
    MakeTree(outside.path(), {{"far.txt", "far\n"}});
    TempDir tmp;
    const std::string src = tmp / "src";
    MakeTree(src, {{"real.txt", "real\n"}, {"dir/inner.txt", "inner\n"}});
    fs::create_symlink("real.txt", src + "/link.txt");
    fs::create_symlink("../real.txt", src + "/dir/up.txt");
    fs::create_symlink(outside / "far.txt", src + "/far.txt");
    fs::create_directory_symlink("dir", src + "/dirlink");
    fs::create_symlink("missing", src + "/dangling");
    fs::create_symlink("fifo", src + "/fifolink");
    fs::create_symlink("/dev/null", src + "/null");
    ASSERT_EQ(0, mkfifo((src + "/fifo").c_str(), 0600));
    ASSERT_EQ(0, mkfifo((src + "/excluded-fifo").c_str(), 0600));
    const RunResult run = Pack({"-x", "EXCLUDED-*", "out.rux", "src"}, tmp.path());
    EXPECT_EQ(0, run.status) << run.errors;
    EXPECT_EQ("2 dir/inner.txt 6\n2 dir/up.txt 5\n2 far.txt 4\n2 link.txt 5\n2 real.txt 5\n",
              run.output);
    EXPECT_EQ("rux-pack: warning: src/dangling: dangling link, left out\n"
              "rux-pack: warning: src/dirlink: link to a directory, left out\n"
              "rux-pack: warning: src/far.txt: link to a file outside src, packed as a copy\n"
              "rux-pack: warning: src/fifo: FIFO, left out\n"
              "rux-pack: warning: src/fifolink: link to a special file, left out\n"
              "rux-pack: warning: src/null: link to a special file, left out\n",
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

TEST(PackOutput, ReplacesAnOldFileOnlyWhenComplete) {
    TempDir src;
    MakeTree(src.path(), {{"a", "new"}});
    TempDir tmp;
    ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
    ASSERT_EQ(0, Pack({"out.rux", src.path()}, tmp.path()).status);
    EXPECT_EQ("RUXA", ReadWholeFile(tmp / "out.rux").substr(0, 4));
    EXPECT_EQ((std::vector<std::string>{"out.rux"}), ListTree(tmp.path()));
    // Names a temporary would take are left alone, a link's target too.
    TempDir victim;
    ASSERT_TRUE(WriteWholeFile(victim / "v", "victim"));
    fs::create_symlink(victim / "v", tmp / "out.rux.part");
    ASSERT_TRUE(WriteWholeFile(tmp / "out.rux.part1", "mine"));
    ASSERT_EQ(0, Pack({"out.rux", src.path()}, tmp.path()).status);
    EXPECT_EQ("RUXA", ReadWholeFile(tmp / "out.rux").substr(0, 4));
    EXPECT_EQ("victim", ReadWholeFile(victim / "v"));
    EXPECT_TRUE(fs::is_symlink(tmp / "out.rux.part"));
    EXPECT_EQ("mine", ReadWholeFile(tmp / "out.rux.part1"));
    EXPECT_FALSE(fs::exists(tmp / "out.rux.part2"));
}

// Two trees of large and small files: one of more than 64 blocks and
// several chunks, runs of zeros, random bytes that are stored, empty files.
std::map<std::string, std::string> MixedTree(unsigned seed) {
    std::map<std::string, std::string> tree = {
        {"big.txt", TextBytes(70 * 65536 + 123, seed)}, {"random.bin", RandomBytes(300000, seed)},
        {"empty", ""}, {"d/e/empty", ""}, {"zeros", std::string(3 << 20, '\0')}};
    for (unsigned i = 0; i < 40; ++i) {
        tree["d/many/f" + std::to_string(i) + ".txt"] = TextBytes(100 + 997 * i, seed + i);
    }
    return tree;
}

// The bytes depend on the tree and the options only: every -j, and two
// runs with the default, give one file and one listing.
TEST(PackJobs, SameBytesForEveryNumberOfJobs) {
    TempDir tmp;
    MakeTree(tmp / "src", MixedTree(1));
    const std::vector<std::vector<std::string>> optionSets = {
        {}, {"--store", "*.bin", "--loose", "d/many/f1*", "--backslash", "--block-size", "4096"}};
    for (const std::vector<std::string>& options : optionSets) {
        SCOPED_TRACE(options.size());
        std::string first, listing;
        for (const char* jobs : {"", "1", "2", "8", ""}) {
            SCOPED_TRACE(jobs);
            std::vector<std::string> args = options;
            if (*jobs) args.insert(args.end(), {"-j", jobs});
            args.insert(args.end(), {"out.rux", "src"});
            const RunResult run = Pack(args, tmp.path());
            ASSERT_EQ(0, run.status) << run.errors;
            const std::string bytes = ReadWholeFile(tmp / "out.rux");
            if (first.empty()) {
                first = bytes;
                listing = run.output;
            }
            EXPECT_TRUE(bytes == first);
            EXPECT_EQ(listing, run.output);
        }
        EXPECT_EQ(45u, Lines(listing).size());
    }
}

// -u gives what a fresh pack of the tree with the same options gives, byte
// for byte, whatever changed since: files changed, added and removed, a
// kind changed by --store, another level, and back again.
TEST(PackUpdate, GivesTheBytesOfAFreshPack) {
    TempDir tmp;
    const std::map<std::string, std::string> tree = MixedTree(2);
    MakeTree(tmp / "src", tree);
    // Missing: a plain pack.
    ASSERT_EQ(0, Pack({"-u", "old.rux", "src"}, tmp.path()).status);
    std::string big = tree.at("big.txt");
    const struct {
        const char* what;
        std::function<void()> change;
        std::vector<std::string> options;
    } steps[] = {
        {"nothing", [] {}, {}},
        {"one byte in the middle of a large file",
         [&] {
             big[big.size() / 2] ^= 1;
             MakeTree(tmp / "src", {{"big.txt", big}});
         },
         {}},
        {"added, removed and grown",
         [&] {
             MakeTree(tmp / "src", {{"d/new.txt", TextBytes(5000, 9)}, {"zeros", std::string((3 << 20) + 5, '\0')}});
             fs::remove(tmp / "src/d/many/f3.txt");
         },
         {}},
        {"stored by --store", [] {}, {"--store", "big.txt"}},
        {"another level", [] {}, {"--level", "1", "--store", "big.txt"}},
        {"back again", [&] { MakeTree(tmp / "src", tree); }, {"-j", "1"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        std::vector<std::string> update = step.options, fresh = step.options;
        update.insert(update.end(), {"-u", "old.rux", "src"});
        fresh.insert(fresh.end(), {"fresh.rux", "src"});
        const RunResult updated = Pack(update, tmp.path());
        const RunResult packed = Pack(fresh, tmp.path());
        ASSERT_EQ(0, updated.status) << updated.errors;
        ASSERT_EQ(0, packed.status) << packed.errors;
        EXPECT_EQ(packed.output, updated.output);
        EXPECT_TRUE(ReadWholeFile(tmp / "old.rux") == ReadWholeFile(tmp / "fresh.rux"));
    }
    ExpectNoTemporaries(tmp.path());
}

// What -u cannot read it refuses, leaving the file as it was; a signal
// during an update leaves the old file whole.
TEST(PackUpdate, RefusesWhatItCannotReadAndSurvivesSignals) {
    TempDir tmp;
    MakeTree(tmp.path(), {{"src/a.txt", TextBytes(10000)}, {"o/kept", "x"}});
    const std::string notRux = "RUXB not a resource file";
    for (const std::string& bytes : {notRux, std::string("RUXA\xff\xff\xff\x7f")}) {
        ASSERT_TRUE(WriteWholeFile(tmp / "o/out.rux", bytes));
        const RunResult run = Pack({"-u", "o/out.rux", "src"}, tmp.path());
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("", run.output);
        EXPECT_EQ(0u, run.errors.find("rux-pack: cannot update o/out.rux: ")) << run.errors;
        EXPECT_EQ(bytes, ReadWholeFile(tmp / "o/out.rux"));
        EXPECT_EQ((std::vector<std::string>{"o/kept", "o/out.rux", "src/a.txt"}), ListTree(tmp.path()));
    }
    ASSERT_EQ(0, Pack({"o/out.rux", "src"}, tmp.path()).status);
    const std::string old = ReadWholeFile(tmp / "o/out.rux");
    MakeTree(tmp.path(), {{"src/big", ""}});
    fs::resize_file(tmp / "src/big", std::uint64_t{1} << 30);  // sparse
    for (const int signal : {SIGKILL, SIGINT}) {
        SCOPED_TRACE(signal);
        EXPECT_EQ(signal, KillWhileWriting(ProgramFromEnvironment("RUX_PACK"), {"-u", "--level=1", "o/out.rux", "src"},
                                           tmp.path(), tmp / "o", signal));
        EXPECT_TRUE(old == ReadWholeFile(tmp / "o/out.rux"));
        EXPECT_EQ((std::vector<std::string>{"o/kept", "o/out.rux", "src/a.txt", "src/big"}), ListTree(tmp.path()));
    }
}

// -q keeps the lines back and nothing else; --progress draws one line on a
// terminal, and nothing elsewhere.
TEST(PackOutput, QuietAndProgress) {
    TempDir tmp;
    MakeTree(tmp / "src", {{"a.txt", TextBytes(30000)}, {"b", "b"}});
    const RunResult quiet = Pack({"-q", "--progress", "q.rux", "src"}, tmp.path());
    EXPECT_EQ(0, quiet.status);
    EXPECT_EQ("", quiet.output);
    EXPECT_EQ("", quiet.errors);
    const RunResult shown = ::Run(ProgramFromEnvironment("RUX_PACK"), {"--progress", "p.rux", "src"}, tmp.path(), 60, true);
    EXPECT_EQ(0, shown.status);
    EXPECT_EQ("8 a.txt 30000\n2 b 1\n", shown.output);
    EXPECT_TRUE(ReadWholeFile(tmp / "q.rux") == ReadWholeFile(tmp / "p.rux"));
    const std::string& e = shown.errors;
    ASSERT_GE(e.size(), 2u) << e;
    EXPECT_EQ("\r\n", e.substr(e.size() - 2));
    EXPECT_NE(std::string::npos, e.find("29.3 KiB of 29.3 KiB, 100%, ")) << e;
    EXPECT_NE(std::string::npos, e.find("/s, 0:00 left, 2 of 2 resources\r\n")) << e;
}

// A fatal signal in the middle of a pack leaves nothing in the output's
// directory, and the process ends by that signal.
TEST(PackOutput, FatalSignalsLeaveNoTemporaries) {
    TempDir tmp;
    MakeTree(tmp.path(), {{"src/big", ""}, {"o/kept", "old"}});
    fs::resize_file(tmp / "src/big", std::uint64_t{1} << 30);  // sparse
    for (const int signal : {SIGKILL, SIGQUIT, SIGPIPE, SIGINT}) {
        SCOPED_TRACE(signal);
        EXPECT_EQ(signal, KillWhileWriting(ProgramFromEnvironment("RUX_PACK"), {"--level=1", "o/out.rux", "src"},
                                           tmp.path(), tmp / "o", signal));
        EXPECT_EQ((std::vector<std::string>{"o/kept", "src/big"}), ListTree(tmp.path()));
    }
}

// Failures name the file and say why; none makes the output file.
TEST(PackFailures, SayWhy) {
    TempDir tmp;
    MakeTree(tmp.path(), {{"src/a", "a"}});
    const std::vector<std::string> tree = {"src/a"};
    // Standard output that takes nothing: the listing is lost.
    const RunResult full = RunWithOutputTo(ProgramFromEnvironment("RUX_PACK"), {"full.rux", "src"}, tmp.path(), "/dev/full");
    EXPECT_EQ(1, full.status);
    EXPECT_EQ("rux-pack: standard output: No space left on device\n", full.errors);
    fs::remove(tmp / "full.rux");

    // A write that fails: with SIGXFSZ ignored, past the file size limit.
    ASSERT_TRUE(WriteWholeFile(tmp / "src/b", std::string(20000, 'b')));
    const RunResult large = RunUnderFileSizeLimit(4096, [&] { return Pack({"--level=0", "out.rux", "src"}, tmp.path()); });
    EXPECT_EQ(1, large.status);
    EXPECT_EQ("2 a 1\n2 b 20000\n", large.output);
    EXPECT_EQ("rux-pack: cannot write out.rux: File too large\n", large.errors);
    EXPECT_EQ((std::vector<std::string>{"src/a", "src/b"}), ListTree(tmp.path()));
    fs::remove(tmp / "src/b");

    // A file that grows while it is read.
    ASSERT_TRUE(WriteWholeFile(tmp / "src/grows", ""));
    fs::resize_file(tmp / "src/grows", 64 << 20);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::ofstream out(tmp / "src/grows", std::ios::binary | std::ios::app);
        while (!stop.load()) {
            out << 'x' << std::flush;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const RunResult grown = Pack({"--level=1", "out.rux", "src"}, tmp.path());
    stop.store(true);
    writer.join();
    EXPECT_EQ(1, grown.status);
    EXPECT_EQ("rux-pack: src/grows changed as it was read\n", grown.errors);
    EXPECT_EQ((std::vector<std::string>{"src/a", "src/grows"}), ListTree(tmp.path()));

    // A file that shrinks while it is read: its end comes before its size.
    fs::rename(tmp / "src/grows", tmp / "src/shrinks");
    fs::resize_file(tmp / "src/shrinks", 64 << 20);
    stop.store(false);
    std::thread cutter([&] {
        for (std::uintmax_t size = 64 << 20; !stop.load() && size > (1 << 20); size -= 16384) {
            fs::resize_file(tmp / "src/shrinks", size);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (fs::file_size(tmp / "src/shrinks") == std::uintmax_t(64) << 20) std::this_thread::yield();
    const RunResult shrunk = Pack({"--level=1", "out.rux", "src"}, tmp.path());
    stop.store(true);
    cutter.join();
    EXPECT_EQ(1, shrunk.status);
    EXPECT_TRUE(shrunk.errors == "rux-pack: src/shrinks changed as it was read\n" ||
                shrunk.errors.rfind("rux-pack: cannot read all of shrinks: the file ended before its size", 0) == 0)
        << shrunk.errors;
    EXPECT_EQ((std::vector<std::string>{"src/a", "src/shrinks"}), ListTree(tmp.path()));
}

// A refused run: status 1, a message, the old output untouched, nothing new.
void ExpectRefused(const RunResult& run, const TempDir& tmp, const std::string& message) {
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.errors.find(message)) << run.errors;
    EXPECT_EQ("old", ReadWholeFile(tmp / "out.rux"));
    EXPECT_EQ((std::vector<std::string>{"out.rux"}), ListTree(tmp.path()));
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
    MakeTree(src.path(), {{"Readme.TXT", "1"}, {"readme.txt", "2"}, {"other", "3"}, {"a/b\\c", "4"}});
    TempDir tmp;
    ASSERT_TRUE(WriteWholeFile(tmp / "out.rux", "old"));
    const RunResult run = Pack({"out.rux", src.path()}, tmp.path());
    ExpectRefused(run, tmp, "differ only in case");
    EXPECT_EQ((std::vector<std::string>{
                  "rux-pack: refused name a/b\\c: rux-extract reads '\\' as a directory separator",
                  "rux-pack: refused names Readme.TXT and readme.txt: they differ only in case",
                  "rux-pack: 3 names refused, nothing written; leave them out with -x GLOB"}),
              Lines(run.errors));
    // Taking the way on.
    const RunResult excluded = Pack({"-x", "readme.txt", "-x", "a/b?c", "out.rux", src.path()}, tmp.path());
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
        EXPECT_EQ("2 a.ruxx 13\n2 x 1\n", packed.output);
        std::string errors = packed.errors;
        const char* target = std::getenv("RUX_TARGET");
        if (target && std::string(target) == "windows") std::replace(errors.begin(), errors.end(), '\\', '/');
        EXPECT_EQ(run.errors, errors);
        const RunResult listed = Extract({"-l", "a.rux"}, src.path());
        EXPECT_EQ(0, listed.status) << listed.errors;
        EXPECT_EQ(2u, Lines(listed.output).size()) << listed.output;
        EXPECT_EQ(std::string::npos, listed.output.find(".rux ")) << listed.output;
        EXPECT_EQ((std::vector<std::string>{"a.rux", "a.ruxx", "x"}), ListTree(src.path()));
    }
    // The loose copy of x would land on a.ruxx.
    const RunResult run = Pack({"--loose", "x", "a.rux", "."}, src.path());
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(note + "rux-pack: refused to overwrite a.ruxx, one of the files being packed\n", run.errors);
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
