// The job scheduler with fake jobs: every range runs once, finishes and
// takes come back in order, stops end the run, jobs that come after another
// wait for it, for 1 to 8 workers.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/jobs.h"
#include "engine/collisions.h"

using namespace rux;

namespace {

void Raise(std::atomic<int>& most, int now) {
    for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
    }
}

struct Fake : JobTask {
    std::vector<std::uint32_t> ranges;   // per job
    std::vector<int> after;              // per job, or empty
    std::vector<std::atomic<int>> runs;  // per job: ranges run
    std::vector<std::atomic<int>> finishedBy;  // per job: runs seen by its finish, -1 if none
    std::string log;                     // the calling thread's takes, in order
    std::vector<int> dropped;
    int fatalJob = -1;   // its ranges return RangeResult::Fatal
    int stopAtJob = -1;  // TakeJob returns false for it
    int stopAtRange = -1;  // TakeRange returns false for range 1 of this job
    std::atomic<int> busy{0};
    std::atomic<int> mostBusy{0};
    std::atomic<int> early{0};  // ranges that ran before the job they come after finished
    // Ranges started and not yet taken back: never more than the window.
    std::atomic<int> inFlight{0};
    std::atomic<int> mostInFlight{0};  // ranges that ran before the job they come after finished
    // A ring of window entries that each range writes and its take reads,
    // as a caller's buffers: never written over before the take.
    std::vector<int> held;
    std::vector<std::uint32_t> first;  // per job: the run's number of its range 0
    int overwritten = 0;
    std::vector<std::atomic<int>> idle;  // per worker: NothingToStart calls
    std::atomic<int> ranAfterIdle{0};    // ranges a worker ran after its call

    explicit Fake(std::vector<std::uint32_t> r, std::vector<int> a = {})
        : ranges(r), after(a), runs(r.size()), finishedBy(r.size()), idle(MAX_WORKERS) {
        std::uint32_t total = 0;
        for (std::size_t j = 0; j < ranges.size(); ++j) {
            first.push_back(total);
            total += ranges[j] ? ranges[j] : 1;
            finishedBy[j] = -1;
        }
    }
    int& Held(int job, std::uint32_t range) { return held[(first[job] + range) % held.size()]; }

    std::uint32_t RangeCount(int job) const override { return ranges[job]; }
    int After(int job) const override { return after.empty() ? -1 : after[job]; }
    RangeResult RunRange(int job, std::uint32_t range, int worker) override {
        if (idle[worker]) ++ranAfterIdle;
        Raise(mostBusy, ++busy);
        Raise(mostInFlight, ++inFlight);
        if (After(job) >= 0 && finishedBy[After(job)] < 0) ++early;
        std::this_thread::yield();
        Held(job, range) = job * 1000 + static_cast<int>(range);
        ++runs[job];
        --busy;
        return job == fatalJob ? RangeResult::Fatal : RangeResult::Done;
    }
    void FinishJob(int job, int) override { finishedBy[job] = runs[job].load(); }
    bool TakeRange(int job, std::uint32_t range) override {
        log += "r" + std::to_string(job) + "." + std::to_string(range) + " ";
        std::this_thread::yield();
        if (Held(job, range) != job * 1000 + static_cast<int>(range)) ++overwritten;
        --inFlight;
        return !(job == stopAtRange && range == 1);
    }
    bool TakeJob(int job) override {
        // Taken only after its finish, which saw every range run.
        const std::uint32_t count = ranges[job] ? ranges[job] : 1;
        EXPECT_EQ(static_cast<int>(count), finishedBy[job].load()) << job;
        log += "J" + std::to_string(job) + " ";
        return job != stopAtJob;
    }
    void DropJob(int job) override { dropped.push_back(job); }
    void NothingToStart(int worker) override { ++idle[worker]; }
};

int RunFake(Fake& f, int workers, std::uint32_t window) {
    f.held.assign(window ? window : 1, -1);
    JobPlan plan;
    plan.jobCount = static_cast<int>(f.ranges.size());
    plan.workers = workers;
    plan.window = window;
    return RunJobs(plan, f);
}

// The log of a run that takes everything.
std::string FullLog(const std::vector<std::uint32_t>& ranges) {
    std::string log;
    for (std::size_t j = 0; j < ranges.size(); ++j) {
        for (std::uint32_t r = 0; r < (ranges[j] ? ranges[j] : 1); ++r) {
            log += "r" + std::to_string(j) + "." + std::to_string(r) + " ";
        }
        log += "J" + std::to_string(j) + " ";
    }
    return log;
}

}  // namespace

TEST(Jobs, EveryRangeRunsOnceAndComesBackInOrder) {
    std::vector<std::uint32_t> ranges;
    for (int j = 0; j < 300; ++j) ranges.push_back(j % 7 == 0 ? 40 : j % 3);  // 0 counts as 1
    for (int workers = 1; workers <= 8; ++workers) {
        for (std::uint32_t window : {1u, 3u, 64u}) {
            Fake f(ranges);
            EXPECT_EQ(300, RunFake(f, workers, window)) << workers << " " << window;
            EXPECT_EQ(FullLog(ranges), f.log) << workers << " " << window;
            EXPECT_TRUE(f.dropped.empty());
            EXPECT_EQ(0, f.overwritten) << workers << " " << window;
            EXPECT_LE(f.mostInFlight, static_cast<int>(window)) << workers;
            EXPECT_LE(f.mostBusy, workers < static_cast<int>(window) ? workers
                                                                      : static_cast<int>(window));
            // Each pooled worker is told once that nothing is left to
            // start, the calling thread at most once, and none runs a
            // range after.
            for (int w = 0; w + 1 < workers; ++w) EXPECT_EQ(1, f.idle[w].load()) << workers << " " << w;
            EXPECT_LE(f.idle[workers - 1].load(), 1) << workers;
            EXPECT_EQ(0, f.ranAfterIdle) << workers << " " << window;
        }
    }
    Fake none({});
    EXPECT_EQ(0, RunFake(none, 4, 8));
}

TEST(Jobs, StopsEndTheRunAndDropUnfinishedJobs) {
    const std::vector<std::uint32_t> ranges(50, 4);
    for (int workers = 1; workers <= 8; ++workers) {
        // A take of a job that returns 0: later jobs are never taken.
        Fake byJob(ranges);
        byJob.stopAtJob = 10;
        EXPECT_EQ(10, RunFake(byJob, workers, 8));
        EXPECT_EQ(FullLog(std::vector<std::uint32_t>(11, 4)), byJob.log);
        // The window bounds how far the workers ran ahead.
        for (int j = 0; j < 50; ++j) {
            EXPECT_EQ(j <= 12 || byJob.runs[j] == 0, true) << workers << " " << j;
        }
        for (int j : byJob.dropped) EXPECT_GT(j, 10);

        // A take of a range: its job is not taken.
        Fake byRange(ranges);
        byRange.stopAtRange = 5;
        EXPECT_EQ(5, RunFake(byRange, workers, 8));
        EXPECT_EQ(FullLog(std::vector<std::uint32_t>(5, 4)) + "r5.0 r5.1 ", byRange.log);

        // A fatal range: its job is still taken, no later one; only the
        // few that had started meanwhile ran at all.
        Fake fatal(ranges);
        fatal.fatalJob = 7;
        EXPECT_EQ(8, RunFake(fatal, workers, 8));
        EXPECT_EQ(FullLog(std::vector<std::uint32_t>(8, 4)), fatal.log);
        for (int j = 10; j < 50; ++j) EXPECT_EQ(0, fatal.runs[j]) << j;
        for (int j : fatal.dropped) EXPECT_GT(j, 7);

        // Nothing of a stopped run reaches the next one.
        Fake next(ranges);
        EXPECT_EQ(50, RunFake(next, workers, 8));
        EXPECT_EQ(FullLog(ranges), next.log);
        EXPECT_EQ(0, next.overwritten);
    }
}

TEST(Jobs, AJobThatComesAfterAnotherStartsOnceThatOneFinished) {
    // Job 0 heads two groups: the first job of a run is waited on too.
    const std::vector<std::uint32_t> ranges = {6, 3, 1, 5, 2, 4};
    const std::vector<int> after = {-1, 0, -1, 1, 2, 0};
    for (int workers = 1; workers <= 8; ++workers) {
        for (std::uint32_t window : {2u, 16u}) {
            Fake f(ranges, after);
            EXPECT_EQ(6, RunFake(f, workers, window)) << workers << " " << window;
            EXPECT_EQ(FullLog(ranges), f.log);
            EXPECT_EQ(0, f.early) << workers << " " << window;
        }
    }
}

TEST(Jobs, RefusesSetsOutOfBounds) {
    Fake f({1, 1});
    EXPECT_EQ(-1, RunFake(f, 0, 4));
    EXPECT_EQ(-1, RunFake(f, MAX_WORKERS + 1, 4));
    EXPECT_EQ(-1, RunFake(f, 2, 0));
    EXPECT_EQ(-1, RunFake(f, 2, MAX_JOB_WINDOW + 1));
    EXPECT_EQ(0, f.runs[0] + f.runs[1]);
    // The bounds themselves are taken.
    Fake widest({1, 1});
    EXPECT_EQ(2, RunFake(widest, MAX_WORKERS, MAX_JOB_WINDOW));
}

// Names that meet in one output file or directory, ignoring ASCII case and
// with '\\' as '/', wait for the one before them; others for nothing.
TEST(Jobs, CollidingNamesGoInItemOrder) {
    const char* const names[] = {"a/b", "Z.txt", "x", "A\\B/c", "z.TXT", "a", "ab", "[", "{", "a/bc"};
    int after[10];
    OrderCollisions(names, 10, after);
    // "a/b", "A\\B/c" and "a" are one group; "Z.txt" and "z.TXT" another;
    // '[' and '{' are not letters.
    EXPECT_EQ((std::vector<int>{-1, -1, -1, 0, 1, 3, -1, -1, -1, 5}), std::vector<int>(after, after + 10));
}
