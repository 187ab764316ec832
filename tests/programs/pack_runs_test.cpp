// rux-pack end to end: whole runs: replacing an old output, the same bytes
// for any -j, updates with -u, -q and --progress, fatal signals, and
// failures that say why.
#include "tests/programs/pack_fixture.h"

using namespace pack_test;

namespace {

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

// Under a low descriptor limit (64) a tree of 400 directories packs and
// extracts whole with any jobs: neither tool keeps more files or
// directories open than its share of the limit.
TEST(PackJobs, ManyDirectoriesUnderALowDescriptorLimit) {
    if (Launcher()) GTEST_SKIP() << "the launcher needs descriptors of its own";
    TempDir tmp;
    std::map<std::string, std::string> files;
    for (int i = 0; i < 400; ++i) files["d" + std::to_string(i) + "/f"] = std::to_string(i);
    MakeTree(tmp / "src", files);
    for (const char* jobs : {"1", "8"}) {
        SCOPED_TRACE(jobs);
        const RunResult packed = RunUnderDescriptorLimit(64, [&] { return Pack({"-q", "-j", jobs, "out.rux", "src"}, tmp.path()); });
        ASSERT_EQ(0, packed.status) << packed.errors;
        fs::remove_all(tmp / "out");
        const RunResult extracted = RunUnderDescriptorLimit(64, [&] { return Extract({"-j", jobs, "out.rux", "out"}, tmp.path()); });
        EXPECT_EQ(0, extracted.status) << extracted.errors;
        ExpectSameTree(tmp / "src", tmp / "out");
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

    // No temporary can be made beside the output: nothing is packed.
    const RunResult noTemporary = Pack({"/proc/out.rux", "src"}, tmp.path());
    EXPECT_EQ(1, noTemporary.status);
    EXPECT_EQ("", noTemporary.output);
    EXPECT_EQ(0u, noTemporary.errors.rfind("rux-pack: cannot create a temporary file beside /proc/out.rux: ", 0))
        << noTemporary.errors;
    EXPECT_EQ(tree, ListTree(tmp.path()));

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

}  // namespace
