#include "engine/jobs.h"

#include <condition_variable>
#include <mutex>
#include <vector>

#include "common/pool.h"
#include "resource/blocks.h"

namespace rux {

namespace {

// The state of one run, guarded by lock. Ranges carry a sequence number in
// hand-out order; only the window of them after the first one not taken
// back can be running or finished, so a ring of window flags says which are
// finished.
class Scheduler {
public:
    Scheduler(const JobPlan& plan, JobTask& task)
        : plan_(plan),
          task_(task),
          limitJob_(plan.jobCount),
          rangeDone_(plan.window, 0),
          jobs_(static_cast<std::size_t>(plan.jobCount)) {
        for (int job = 0; job < plan.jobCount; ++job) {
            Job& j = jobs_[static_cast<std::size_t>(job)];
            const std::uint32_t count = task.RangeCount(job);
            j.ranges = j.remaining = count ? count : 1;
            j.after = task.After(job);
            if (j.after >= job) j.after = -1;  // only an earlier job can be waited on
        }
    }

    int Run();

private:
    // What the scheduler knows of one job.
    struct Job {
        std::uint32_t ranges = 1;
        std::uint32_t remaining = 1;  // ranges not yet run
        int after = -1;               // the job it waits for
        bool started = false;         // a range was handed out
        bool finished = false;        // FinishJob has returned
    };
    void RunOne(std::unique_lock<std::mutex>& lock, int job, std::uint32_t range, std::uint64_t seq, int worker);
    int TakeNext(int* job, std::uint32_t* range, std::uint64_t* seq);
    int NothingLeft() const { return stopped_ || nextJob_ >= plan_.jobCount || nextJob_ > limitJob_; }
    void Worker(int worker);
    int Take(int helper);

    const JobPlan& plan_;
    JobTask& task_;
    std::mutex lock_;
    std::condition_variable workers_;  // room in the window, or the end
    std::condition_variable taker_;    // a range or a job finished
    std::uint64_t nextSeq_ = 0;        // sequence of the next range handed out
    int nextJob_ = 0;                  // ... its job and range
    std::uint32_t nextRange_ = 0;
    std::uint64_t takenSeq_ = 0;  // ranges taken back by the calling thread
    int limitJob_;                // no range of a later job starts
    int stopped_ = 0;
    std::vector<unsigned char> rangeDone_;  // per window place
    std::vector<Job> jobs_;
};

// Runs one handed-out range and its job's finish if it was the last; called
// with the lock held, returns with it held.
void Scheduler::RunOne(std::unique_lock<std::mutex>& lock, int job, std::uint32_t range, std::uint64_t seq,
                       int worker) {
    Job& j = jobs_[static_cast<std::size_t>(job)];
    // The job waited for was handed out before this one, so it is running
    // or done: never a wait on something that waits in turn on this.
    if (j.after >= 0) {
        const Job& before = jobs_[static_cast<std::size_t>(j.after)];
        taker_.wait(lock, [&] { return before.finished; });
    }
    lock.unlock();
    const RangeResult result = task_.RunRange(job, range, worker);
    lock.lock();
    if (result == RangeResult::Fatal && job < limitJob_) limitJob_ = job;
    rangeDone_[seq % plan_.window] = 1;
    if (--j.remaining == 0) {
        lock.unlock();
        task_.FinishJob(job, worker);
        lock.lock();
        j.finished = true;
    }
    taker_.notify_all();
}

// Hands out the next range if one may start. 1 with job, range and seq set.
int Scheduler::TakeNext(int* job, std::uint32_t* range, std::uint64_t* seq) {
    if (NothingLeft()) return 0;
    if (nextSeq_ >= takenSeq_ + plan_.window) return 0;
    *job = nextJob_;
    *range = nextRange_;
    *seq = nextSeq_++;
    Job& j = jobs_[static_cast<std::size_t>(nextJob_)];
    j.started = true;
    if (++nextRange_ == j.ranges) {
        nextRange_ = 0;
        ++nextJob_;
    }
    return 1;
}

void Scheduler::Worker(int worker) {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        int job;
        std::uint32_t range;
        std::uint64_t seq;
        if (TakeNext(&job, &range, &seq)) {
            RunOne(lock, job, range, seq, worker);
            continue;
        }
        if (NothingLeft()) break;
        workers_.wait(lock);
    }
    lock.unlock();
    task_.NothingToStart(worker);
    CacheFree();
}

// The calling thread's side: takes ranges and jobs back in order. Returns
// the job at which the run stopped, or jobCount. While what it must take
// next is not ready, it runs ranges itself, as worker number helper, so
// that a run of N workers needs only N - 1 threads besides it.
int Scheduler::Take(int helper) {
    std::uint64_t seq = 0;
    int idle = 0;  // NothingToStart was called
    // Runs a range that may start, if any, with the lock held; else, the
    // first time nothing is left, the task's NothingToStart. 1 if it did
    // either.
    const auto help = [&](std::unique_lock<std::mutex>& lock) {
        int j;
        std::uint32_t r;
        std::uint64_t s;
        if (!TakeNext(&j, &r, &s)) {
            if (idle || !NothingLeft()) return 0;
            idle = 1;
            lock.unlock();
            task_.NothingToStart(helper);
            lock.lock();
            return 1;
        }
        RunOne(lock, j, r, s, helper);
        return 1;
    };
    for (int job = 0; job < plan_.jobCount; ++job) {
        const Job& j = jobs_[static_cast<std::size_t>(job)];
        const std::uint32_t count = j.ranges;
        for (std::uint32_t range = 0; range < count; ++range, ++seq) {
            std::unique_lock<std::mutex> lock(lock_);
            // Ranges of a job after a fatal one may have run (they started
            // before it was known): they are never taken.
            if (job > limitJob_) return job;
            while (!rangeDone_[seq % plan_.window] && job <= limitJob_) {
                if (!help(lock)) taker_.wait(lock);
            }
            if (!rangeDone_[seq % plan_.window]) return job;  // a fatal range came first
            // The range stays in the window while it is taken, so that what
            // it left is not yet written over by a range handed out after.
            lock.unlock();
            const bool go = task_.TakeRange(job, range);
            lock.lock();
            if (!go) return job;
            rangeDone_[seq % plan_.window] = 0;
            ++takenSeq_;
            workers_.notify_all();
        }
        {
            std::unique_lock<std::mutex> lock(lock_);
            while (!j.finished) {
                if (!help(lock)) taker_.wait(lock);
            }
        }
        if (!task_.TakeJob(job)) return job;
    }
    return plan_.jobCount;
}

int Scheduler::Run() {
    int stop;
    {
        // The calling thread is the last worker; a thread the system
        // refuses leaves the run to those started.
        ThreadPool pool(plan_.workers - 1);
        for (int worker = 0; worker < pool.Threads(); ++worker) pool.Submit([this, worker] { Worker(worker); });
        stop = Take(plan_.workers - 1);
        {
            std::lock_guard<std::mutex> lock(lock_);
            stopped_ = 1;
        }
        workers_.notify_all();
    }  // every worker has ended

    for (int job = 0; job < plan_.jobCount; ++job) {
        const Job& j = jobs_[static_cast<std::size_t>(job)];
        if (j.started && !j.finished) task_.DropJob(job);
    }
    return stop;
}

}  // namespace

int RunJobs(const JobPlan& plan, JobTask& task) {
    if (plan.jobCount < 0 || plan.jobCount > MAX_PLAN_ITEMS || plan.workers < 1 ||
        plan.workers > MAX_WORKERS || plan.window < 1 || plan.window > MAX_JOB_WINDOW) {
        return -1;
    }
    Scheduler scheduler(plan, task);
    return scheduler.Run();
}

}  // namespace rux
