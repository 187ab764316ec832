// The output side in-process: what the end-to-end runs cannot time, such
// as a name that appears while its file is being written, several threads
// at once, and a fatal signal in the middle of a file.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/output_dir.h"
#include "tests/support/fixture.h"
#include "tool/output.h"

using namespace rux;

namespace {

#ifdef _WIN32
constexpr char SEP = '\\';
#else
constexpr char SEP = '/';
#endif

class Output : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, OpenOutputTree(dir.path().c_str())); }
    void TearDown() override {
        CloseOutputTree();
        UseNamedTemporaries(0);
    }

    // The output path of name, in a buffer that BeginOutput may cut.
    std::vector<char> PathOf(const std::string& name) const {
        std::string path = dir.path() + SEP + name;
        return std::vector<char>(path.begin(), path.end() + 1);
    }
    std::size_t Start() const { return dir.path().size() + 1; }

    // Begins name and writes data into it.
    int Begin(OutputFile* out, std::vector<char>* path, const std::string& data, int noClobber) {
        const int begun = BeginOutput(out, path->data(), Start(), noClobber);
        if (begun == OUTPUT_DONE) {
            EXPECT_EQ(data.size(), out->file.Write(data.data(), static_cast<std::uint32_t>(data.size())));
        }
        return begun;
    }

    TempDir dir;
};

// With unnamed temporaries (where the system has them) and with named ones.
TEST_F(Output, NoClobberNeverReplacesEvenANameThatAppearsMeanwhile) {
    ASSERT_TRUE(WriteWholeFile(dir / "old.txt", "old"));
    OutputFile out;
    std::vector<char> old = PathOf("old.txt");
    EXPECT_EQ(OUTPUT_EXISTS, Begin(&out, &old, "new", 1));

    // Taken after the check: the link or rename itself refuses.
    for (const int named : {0, 1}) {
        UseNamedTemporaries(named);
        // A name nothing has is taken, as ever.
        std::remove((dir / "fresh.txt").c_str());
        std::vector<char> fresh = PathOf("fresh.txt");
        ASSERT_EQ(OUTPUT_DONE, Begin(&out, &fresh, "new", 1));
        EXPECT_EQ(OUTPUT_DONE, FinishOutput(&out, fresh.data(), 1));
        EXPECT_EQ("new", ReadWholeFile(dir / "fresh.txt"));
        for (const int noClobber : {1, 0}) {
            std::remove((dir / "late.txt").c_str());
            std::vector<char> path = PathOf("late.txt");
            ASSERT_EQ(OUTPUT_DONE, Begin(&out, &path, "new", noClobber));
            ASSERT_TRUE(WriteWholeFile(dir / "late.txt", "late"));
            EXPECT_EQ(noClobber ? OUTPUT_EXISTS : OUTPUT_DONE, FinishOutput(&out, path.data(), noClobber));
            EXPECT_EQ(noClobber ? "late" : "new", ReadWholeFile(dir / "late.txt"));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"fresh.txt", "late.txt", "old.txt"}), ListTree(dir.path()));
}

TEST_F(Output, AbortLeavesNothingAndSeveralThreadsWriteAtOnce) {
    OutputFile out;
    std::vector<char> path = PathOf("d/aborted");
    ASSERT_EQ(OUTPUT_DONE, Begin(&out, &path, "partial", 0));
    AbortOutput(&out);

    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 40; ++i) {
                const std::string name = "d/" + std::to_string(i % 5) + "/f" + std::to_string(t * 40 + i);
                OutputFile file;
                std::vector<char> p = PathOf(name);
                if (Begin(&file, &p, name, 0) == OUTPUT_DONE) {
                    EXPECT_EQ(OUTPUT_DONE, FinishOutput(&file, p.data(), 0)) << name;
                } else {
                    ADD_FAILURE() << name;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const std::vector<std::string> files = ListTree(dir.path());
    ASSERT_EQ(320u, files.size());
    for (const std::string& file : files) EXPECT_EQ(file, ReadWholeFile(dir / file));
}

#ifndef _WIN32
// Every signal from outside whose default ends the process, with named
// temporaries and unnamed ones; SIGKILL leaves nothing only of unnamed ones.
TEST_F(Output, AFatalSignalRemovesTheTemporaries) {
    ASSERT_TRUE(WriteWholeFile(dir / "kept.txt", "old"));
    const auto halfWritten = [this](int signal) {
        OutputFile first;
        OutputFile second;
        std::vector<char> kept = PathOf("kept.txt");
        std::vector<char> fresh = PathOf("sub/new.txt");
        Begin(&first, &kept, "new", 0);
        Begin(&second, &fresh, "new", 0);
        std::raise(signal);
    };
    for (const int named : {1, 0}) {
        for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU,
                                 SIGXFSZ, SIGVTALRM, SIGPROF, SIGKILL}) {
            if (named && signal == SIGKILL) continue;
            SCOPED_TRACE(std::to_string(named) + " " + std::to_string(signal));
            UseNamedTemporaries(named);
            EXPECT_EXIT(halfWritten(signal), testing::KilledBySignal(signal), "");
            EXPECT_EQ((std::vector<std::string>{"kept.txt", "sub/"}), ListTree(dir.path(), true));
            EXPECT_EQ("old", ReadWholeFile(dir / "kept.txt"));
        }
    }
}
#endif

}  // namespace
