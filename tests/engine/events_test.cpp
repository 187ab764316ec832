// The run as an embedding program meets it: the events an observer is
// told, and a stop requested from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sched.h>
#include <sys/mount.h>
#endif

#include "engine/extract.h"
#include "resource/format.h"
#include "tests/support/fixture.h"

namespace {

// What one event said, by resource name.
struct Told {
    std::string name;
    ResourceResult result;
    std::uint32_t size;
    std::string path;
    int error;
    std::string reason;
};

class Recorder : public ExtractObserver {
public:
    void RunBegins(unsigned selected, std::uint64_t) override { this->selected = selected; }
    void ResourceBegins(int, const ResourceEntry& entry) override { begun.push_back(entry.name); }
    void ResourceEnds(const ResourceEnd& end) override {
        ended.push_back({end.entry->name, end.result, end.size, end.path, end.error, end.reason});
    }
    // With waitFor set, the first progress past 0 bytes waits until its
    // request is made (from another thread).
    void Progress(const ExtractProgress& p) override {
        std::unique_lock<std::mutex> hold(lock);
        doneBytes = p.doneBytes;
        moved.notify_all();
        if (waitFor && p.doneBytes > 0) moved.wait(hold, [this] { return waitFor->Requested(); });
    }
    const StopRequest* waitFor = nullptr;
    unsigned selected = 0;
    std::vector<std::string> begun;
    std::vector<Told> ended;
    std::mutex lock;
    std::condition_variable moved;
    std::uint64_t doneBytes = 0;
};

// A file system of 256 KiB at dir, in a mount namespace of the process's
// own; false where that cannot be had (not root, not Linux).
bool SmallFileSystem(const std::string& dir) {
#ifdef __linux__
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("none", dir.c_str(), "tmpfs", 0, "size=256k") == 0;
#else
    (void)dir;
    return false;
#endif
}

TEST(ExtractEvents, EachResourceEndsWithItsOutcomeAndAFullDiskEndsTheRun) {
    TempDir dir;
    RawFile raw = MakeRawFile({Stored("ok.txt", "fine"), Deflated("bad.txt", TextBytes(3 * 4096, 5), 4096),
                               Stored("../up", "x"), Stored("big.bin", RandomBytes(1u << 20, 3))});
    const std::uint32_t second = LoadLE32(reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data()) + 4);
    raw.data[second - FILE_HEADER_BYTES] ^= 0x55;  // bad.txt's second block
    ASSERT_EQ(1, WriteWholeFile(dir / "in.rux", raw.Serialize()));
    MakeDirectory((dir / "out").c_str());
    const bool full = SmallFileSystem(dir / "out");
    for (const int jobs : {1, 4}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        ExtractOptions options;
        options.jobs = jobs;
        Recorder recorder;
        const ExtractSummary summary = ExtractAll(options, (dir / "in.rux").c_str(), (dir / "out").c_str(), recorder);
        EXPECT_EQ(1, summary.status);
        EXPECT_EQ(4u, recorder.selected);
        ResourceSet set;
        ASSERT_TRUE(set.Mount((dir / "in.rux").c_str()).ok());
        // In slot order, up to the end of the run.
        std::vector<std::string> names;
        for (int slot = 0; slot < INDEX_SLOTS; ++slot) {
            if (set.Slots()[slot].kind != 0) names.push_back(set.Slots()[slot].name);
        }
        std::vector<std::string> told;
        for (const Told& t : recorder.ended) told.push_back(t.name);
        EXPECT_EQ(told, recorder.begun);
        std::string endsAt = "big.bin";  // where a full disk ends the run
        for (const Told& t : recorder.ended) {
            SCOPED_TRACE(t.name);
            if (t.name == "ok.txt") {
                EXPECT_EQ(ResourceResult::Done, t.result);
                EXPECT_EQ(4u, t.size);
            } else if (t.name == "bad.txt" && full && jobs > 1 && t.result == ResourceResult::WriteFailed) {
                // With jobs at once, big.bin may fill the disk before
                // bad.txt's first block is written: the run ends there.
                EXPECT_EQ(ENOSPC, t.error);
                endsAt = t.name;
            } else if (t.name == "bad.txt") {
                EXPECT_EQ(ResourceResult::ReadFailed, t.result);
                EXPECT_EQ("damaged block 2 of 3", t.reason);
            } else if (t.name == "../up") {
                EXPECT_EQ(ResourceResult::RefusedName, t.result);
            } else if (full) {
                EXPECT_EQ(ResourceResult::WriteFailed, t.result);
                EXPECT_EQ(ENOSPC, t.error);
                EXPECT_EQ(dir / "out/big.bin", t.path);
            } else {
                EXPECT_EQ(ResourceResult::Done, t.result);
            }
        }
        // A full disk ends the run: nothing after it is told.
        if (full) names.erase(std::find(names.begin(), names.end(), endsAt) + 1, names.end());
        std::sort(names.begin(), names.end());
        std::sort(told.begin(), told.end());
        EXPECT_EQ(names, told);
        EXPECT_EQ(full, summary.ended);
        EXPECT_TRUE(summary.anyFailure);
        EXPECT_FALSE(summary.stopped);
        // Nothing of a failed resource is left.
        EXPECT_FALSE(FileExists(dir / "out/bad.txt"));
        EXPECT_FALSE(FileExists(dir / "out/big.bin") && full);
    }
    if (!full) GTEST_SKIP() << "no small file system here: the full disk was not tried";
}

// A stop from another thread in the middle of a large resource: the run
// ends within a piece, says so, and leaves the old file of that name as it
// was and no temporary.
TEST(ExtractEvents, AStopFromAnotherThreadLeavesNothing) {
    TempDir dir;
    std::string error;
    const std::string big = RandomBytes(48u << 20, 9);
    ASSERT_EQ(1, WriteResourceFile(dir / "in.rux", {Stored("big.bin", big), Stored("after.txt", "late")}, &error))
        << error;
    for (const int jobs : {1, 4}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        const std::string out = dir / ("out" + std::to_string(jobs));
        MakeDirectory(out.c_str());
        ASSERT_EQ(1, WriteWholeFile(out + "/big.bin", "old"));
        StopRequest stop;
        ExtractOptions options;
        options.jobs = jobs;
        options.progress = 1;
        options.stop = &stop;
        Recorder recorder;
        recorder.waitFor = &stop;
        std::thread stopper([&] {
            std::unique_lock<std::mutex> hold(recorder.lock);
            recorder.moved.wait(hold, [&] { return recorder.doneBytes > 0; });
            stop.Request();
            recorder.moved.notify_all();
        });
        const ExtractSummary summary = ExtractAll(options, (dir / "in.rux").c_str(), out.c_str(), recorder);
        stopper.join();
        EXPECT_TRUE(summary.stopped);
        EXPECT_EQ(1, summary.status);
        EXPECT_LT(recorder.doneBytes, big.size());
        EXPECT_EQ(0u, summary.done + summary.failed);
        EXPECT_EQ(std::vector<std::string>{"big.bin"}, ListTree(out));
        EXPECT_TRUE(ReadWholeFile(out + "/big.bin") == "old");
    }
}

}  // namespace
