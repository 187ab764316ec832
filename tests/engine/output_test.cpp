// The output side in-process: what the end-to-end runs cannot time, such
// as a name that appears while its file is being written, several threads
// at once, and a fatal signal in the middle of a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/output_dir.h"
#include "tests/support/fixture.h"
#include "engine/output.h"
#include "programs/signals.h"

using namespace rux;

namespace {

#ifdef _WIN32
constexpr char SEP = '\\';
#else
constexpr char SEP = '/';
#endif

class Output : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, tree.Open(dir.path().c_str())); }
    void TearDown() override {
        tree.Close();
        UseNamedTemporaries(0);
    }

    // The output path of name, in a buffer that BeginOutput may cut.
    std::vector<char> PathOf(const std::string& name) const {
        std::string path = dir.path() + SEP + name;
        return std::vector<char>(path.begin(), path.end() + 1);
    }
    std::size_t Start() const { return dir.path().size() + 1; }

    // Begins name and writes data into it.
    OutputResult Begin(OutputFile* out, std::vector<char>* path, const std::string& data, int noClobber) {
        const OutputResult begun = tree.Begin(out, path->data(), Start(), noClobber);
        if (begun == OutputResult::Done) {
            EXPECT_EQ(data.size(), out->file.Write(data.data(), static_cast<std::uint32_t>(data.size())));
        }
        return begun;
    }

    TempDir dir;
    OutputTree tree;
};

// With unnamed temporaries (where the system has them), named through the
// descriptor or through /proc/self/fd, and with named ones.
TEST_F(Output, NoClobberNeverReplacesEvenANameThatAppearsMeanwhile) {
    ASSERT_TRUE(WriteWholeFile(dir / "old.txt", "old"));
    OutputFile out;
    std::vector<char> old = PathOf("old.txt");
    EXPECT_EQ(OutputResult::Exists, Begin(&out, &old, "new", 1));

    // Taken after the check: the link or rename itself refuses.
    for (const int mode : {0, 1, 2}) {
        UseNamedTemporaries(mode);
        // A name nothing has is taken, as ever.
        std::remove((dir / "fresh.txt").c_str());
        std::vector<char> fresh = PathOf("fresh.txt");
        ASSERT_EQ(OutputResult::Done, Begin(&out, &fresh, "new", 1));
        EXPECT_EQ(OutputResult::Done, FinishOutput(&out, fresh.data(), 1));
        EXPECT_EQ("new", ReadWholeFile(dir / "fresh.txt"));
        for (const int noClobber : {1, 0}) {
            std::remove((dir / "late.txt").c_str());
            std::vector<char> path = PathOf("late.txt");
            ASSERT_EQ(OutputResult::Done, Begin(&out, &path, "new", noClobber));
            ASSERT_TRUE(WriteWholeFile(dir / "late.txt", "late"));
            EXPECT_EQ(noClobber ? OutputResult::Exists : OutputResult::Done, FinishOutput(&out, path.data(), noClobber));
            EXPECT_EQ(noClobber ? "late" : "new", ReadWholeFile(dir / "late.txt"));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"fresh.txt", "late.txt", "old.txt"}), ListTree(dir.path()));
}

TEST_F(Output, AbortLeavesNothingAndSeveralThreadsWriteAtOnceAndTrim) {
    OutputFile out;
    std::vector<char> path = PathOf("d/aborted");
    ASSERT_EQ(OutputResult::Done, Begin(&out, &path, "partial", 0));
    AbortOutput(&out);

    // Threads let go of shares of the kept directories while others begin
    // and finish files in them; a file begun before a Trim finishes after.
    OutputFile held;
    std::vector<char> heldPath = PathOf("d/4/held");
    ASSERT_EQ(OutputResult::Done, Begin(&held, &heldPath, "d/4/held", 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 40; ++i) {
                if (i == 20) tree.Trim(t % 3, 3);
                const std::string name = "d/" + std::to_string(i % 5) + "/f" + std::to_string(t * 40 + i);
                OutputFile file;
                std::vector<char> p = PathOf(name);
                if (Begin(&file, &p, name, 0) == OutputResult::Done) {
                    EXPECT_EQ(OutputResult::Done, FinishOutput(&file, p.data(), 0)) << name;
                } else {
                    ADD_FAILURE() << name;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    tree.Trim(0, 1);
    EXPECT_EQ(OutputResult::Done, FinishOutput(&held, heldPath.data(), 0));
    const std::vector<std::string> files = ListTree(dir.path());
    ASSERT_EQ(321u, files.size());
    for (const std::string& file : files) EXPECT_EQ(file, ReadWholeFile(dir / file));
}

// Many directories, more than the open ones kept: each file lands in its own.
TEST_F(Output, EachFileLandsInItsOwnDirectoryAmongMany) {
    std::vector<std::string> expected;
    for (int i = 0; i < 600; ++i) {
        const std::string name = "t/" + std::to_string(i % 300) + (i < 300 ? "/f" : "/g/f") + std::to_string(i);
        OutputFile out;
        std::vector<char> path = PathOf(name);
        ASSERT_EQ(OutputResult::Done, Begin(&out, &path, name, 0)) << name;
        ASSERT_EQ(OutputResult::Done, FinishOutput(&out, path.data(), 0)) << name;
        expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    const std::vector<std::string> files = ListTree(dir.path());
    EXPECT_EQ(expected, files);
    for (const std::string& file : files) EXPECT_EQ(file, ReadWholeFile(dir / file));
}

#ifndef _WIN32
// Directories this run made and ones that were there are both walked safely:
// a link planted where a directory is expected, even inside a directory
// just made, is refused and the path is cut after it; the file never lands
// outside the tree.
TEST_F(Output, LinksAreRefusedInDirectoriesMadeOrFound) {
    TempDir outside;
    ASSERT_EQ(0, ::mkdir((dir / "had").c_str(), 0777));
    for (const std::string top : {"made", "had"}) {
        OutputFile out;
        std::vector<char> first = PathOf(top + "/sub/a");
        ASSERT_EQ(OutputResult::Done, Begin(&out, &first, "a", 0));
        ASSERT_EQ(OutputResult::Done, FinishOutput(&out, first.data(), 0));
        ASSERT_EQ(0, ::symlink(outside.path().c_str(), (dir / (top + "/sub/link")).c_str()));
        std::vector<char> path = PathOf(top + "/sub/link/deeper/f");
        EXPECT_EQ(OutputResult::Link, tree.Begin(&out, path.data(), Start(), 0)) << top;
        EXPECT_EQ(dir / (top + "/sub/link"), std::string(path.data())) << top;
        std::vector<char> beside = PathOf(top + "/sub/new/f");
        ASSERT_EQ(OutputResult::Done, Begin(&out, &beside, "f", 0)) << top;
        ASSERT_EQ(OutputResult::Done, FinishOutput(&out, beside.data(), 0)) << top;
    }
    EXPECT_EQ((std::vector<std::string>{}), ListTree(outside.path()));
    EXPECT_EQ("f", ReadWholeFile(dir / "made/sub/new/f"));
}
#endif

#ifndef _WIN32
// A named temporary whose name is taken tries the next one, never writing
// over what has the name; when every try is taken, nothing is begun.
TEST_F(Output, TakenTemporaryNamesAreSkippedAndLeftAlone) {
    UseNamedTemporaries(1);
    // The name of one temporary tells the next: ".rux-PID-N", N counting up.
    OutputFile out;
    std::vector<char> probe = PathOf("probe");
    ASSERT_EQ(OutputResult::Done, Begin(&out, &probe, "", 0));
    const std::vector<std::string> live = ListTree(dir.path());
    AbortOutput(&out);
    ASSERT_EQ(1u, live.size());
    const std::string prefix = live[0].substr(0, live[0].rfind('-') + 1);
    const unsigned next = std::stoul(live[0].substr(prefix.size()), nullptr, 16) + 1;
    std::vector<std::string> taken;
    const auto take = [&](unsigned from, unsigned count) {
        for (unsigned n = from; n < from + count; ++n) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%x", n);
            taken.push_back(prefix + hex);
            ASSERT_TRUE(WriteWholeFile(dir / taken.back(), "taken"));
        }
    };
    take(next, 3);
    std::vector<char> one = PathOf("one.txt");
    ASSERT_EQ(OutputResult::Done, Begin(&out, &one, "one", 0));
    EXPECT_EQ(OutputResult::Done, FinishOutput(&out, one.data(), 0));
    take(next + 4, 8);
    std::vector<char> two = PathOf("two.txt");
    EXPECT_EQ(OutputResult::Failed, tree.Begin(&out, two.data(), Start(), 0));
    EXPECT_EQ("one", ReadWholeFile(dir / "one.txt"));
    for (const std::string& name : taken) EXPECT_EQ("taken", ReadWholeFile(dir / name)) << name;
    EXPECT_EQ(taken.size() + 1, ListTree(dir.path()).size());
}

// A signal the test process was started ignoring (a shell's background
// job ignores SIGINT and SIGQUIT, nohup SIGHUP) would stay ignored, as it
// should in the tools: give the signals their default before the output
// side looks at them.
const bool kSignalsAtDefault = [] {
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT}) std::signal(signal, SIG_DFL);
    return true;
}();

// Every signal from outside whose default ends the process, with named
// temporaries and unnamed ones (named either way), once the program's handlers are in; SIGKILL
// leaves nothing only of unnamed ones. The output side itself installs no
// handler.
TEST_F(Output, AFatalSignalRemovesTheTemporaries) {
    ASSERT_TRUE(kSignalsAtDefault);
    ASSERT_TRUE(WriteWholeFile(dir / "kept.txt", "old"));
    const auto halfWritten = [this](int signal, bool handlers) {
        OutputFile first;
        OutputFile second;
        std::vector<char> kept = PathOf("kept.txt");
        std::vector<char> fresh = PathOf("sub/new.txt");
        Begin(&first, &kept, "new", 0);
        Begin(&second, &fresh, "new", 0);
        if (!handlers) {
            for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGRTMIN}) {
                struct sigaction now;
                if (::sigaction(s, nullptr, &now) != 0 || now.sa_handler != SIG_DFL) std::exit(3);
            }
            AbortOutput(&first);
            AbortOutput(&second);
            std::exit(0);
        }
        RemoveTemporariesOnFatalSignals();
        std::raise(signal);
    };
    EXPECT_EXIT(halfWritten(0, false), testing::ExitedWithCode(0), "");
    for (const int mode : {1, 0, 2}) {
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU,
                                 SIGXFSZ, SIGVTALRM, SIGPROF, SIGKILL}) {
            if (mode == 1 && signal == SIGKILL) continue;
            SCOPED_TRACE(std::to_string(mode) + " " + std::to_string(signal));
            UseNamedTemporaries(mode);
            EXPECT_EXIT(halfWritten(signal, true), testing::KilledBySignal(signal), "");
            EXPECT_EQ((std::vector<std::string>{"kept.txt", "sub/"}), ListTree(dir.path(), true));
            EXPECT_EQ("old", ReadWholeFile(dir / "kept.txt"));
        }
    }
}
#endif

}  // namespace
