#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/pool.h"

using namespace rux;

namespace {

// Four tasks that each wait for all four to have begun: they end only if
// the pool runs them at once, one a thread.
TEST(ThreadPool, RunsTasksAtOnceOnItsThreads) {
    std::mutex lock;
    std::condition_variable all;
    int begun = 0, met = 0, ended = 0;
    ThreadPool pool(4);
    ASSERT_EQ(pool.Threads(), 4);
    for (int i = 0; i < 4; ++i) {
        pool.Submit([&] {
            std::unique_lock<std::mutex> hold(lock);
            ++begun;
            all.notify_all();
            if (all.wait_for(hold, std::chrono::seconds(20), [&] { return begun == 4; })) ++met;
            ++ended;
            all.notify_all();
        });
    }
    std::unique_lock<std::mutex> hold(lock);
    all.wait_for(hold, std::chrono::seconds(30), [&] { return ended == 4; });
    EXPECT_EQ(met, 4);
}

// With no thread, tasks wait for RunOne, which runs them oldest first on
// the calling thread.
TEST(ThreadPool, WithoutThreadsRunOneRunsTheOldestTask) {
    ThreadPool pool(0);
    EXPECT_EQ(pool.Threads(), 0);
    std::vector<int> ran;
    for (int i = 0; i < 3; ++i) pool.Submit([&ran, i] { ran.push_back(i); });
    EXPECT_TRUE(ran.empty());
    EXPECT_TRUE(pool.RunOne());
    EXPECT_TRUE(pool.RunOne());
    EXPECT_TRUE(pool.RunOne());
    EXPECT_FALSE(pool.RunOne());
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
}

// Destroying a pool waits for the task that runs and drops those that
// have not begun (a failed pack leaves its queued pieces so).
TEST(ThreadPool, DestroyingWaitsForRunningTasksAndDropsTheRest) {
    std::atomic<int> began{0}, first{0}, second{0}, release{0};
    std::thread releaser;
    {
        ThreadPool pool(1);
        pool.Submit([&] {
            began = 1;
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            first = 1;
        });
        pool.Submit([&] { second = 1; });
        while (!began.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        releaser = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            release = 1;
        });
    }
    releaser.join();
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), 0);
}

}  // namespace
