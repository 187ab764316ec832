// The one thread pool of the engines: the extraction scheduler runs its
// workers on it, the packer deflates its pieces on it, and the Python
// binding runs each extraction, test and pack on it while the interpreter
// keeps its signals.
//
// A pool starts its threads when made and joins them when destroyed. Tasks
// run in the order given, each on whichever thread is free first; the
// thread that gives them may run the oldest one not yet started itself
// (RunOne) rather than wait. Each pool has state of its own: pools on
// other threads go on at the same time, and a task may make a pool of its
// own. Submit and RunOne may be called from any thread; the destructor
// only once no other thread calls them.
#ifndef RUX_COMMON_POOL_H
#define RUX_COMMON_POOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace rux {

class ThreadPool {
public:
    // Starts up to threads threads (0 for none); a thread the system
    // refuses leaves the pool to those started (Threads()).
    explicit ThreadPool(int threads);
    // Drops the tasks not yet started, waits for those running, and joins
    // the threads.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // The threads started: tasks run at most this many at once, besides
    // those the callers of RunOne run.
    int Threads() const { return static_cast<int>(threads_.size()); }
    // Queues task. With no thread, it runs only through RunOne.
    void Submit(std::function<void()> task);
    // Runs the oldest task not yet started on the calling thread. true if
    // there was one.
    bool RunOne();

private:
    void Serve();

    std::mutex lock_;
    std::condition_variable work_;
    std::deque<std::function<void()>> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace rux

#endif
