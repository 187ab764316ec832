#include "common/pool.h"

#include <system_error>
#include <utility>

namespace rux {

ThreadPool::ThreadPool(int threads) {
    threads_.reserve(threads > 0 ? static_cast<std::size_t>(threads) : 0);
    for (int i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back(&ThreadPool::Serve, this);
        } catch (const std::system_error&) {
            break;
        }
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
        queue_.clear();
    }
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void ThreadPool::Submit(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        queue_.push_back(std::move(task));
    }
    work_.notify_one();
}

bool ThreadPool::RunOne() {
    std::function<void()> task;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (queue_.empty()) return false;
        task = std::move(queue_.front());
        queue_.pop_front();
    }
    task();
    return true;
}

void ThreadPool::Serve() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        work_.wait(hold, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        std::function<void()> task = std::move(queue_.front());
        queue_.pop_front();
        hold.unlock();
        task();
        task = nullptr;  // what it holds goes before the lock is taken again
        hold.lock();
    }
}

}  // namespace rux
