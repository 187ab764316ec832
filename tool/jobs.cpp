#include "tool/jobs.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "resource/blocks.h"

using namespace rux;

namespace {

// The state of the one run, guarded by gLock. Ranges carry a sequence
// number in hand-out order; only the window of them after the first one not
// taken back can be running or finished, so a ring of window flags says
// which are finished.
std::mutex gLock;
std::condition_variable gWorkers;  // room in the window, or the end
std::condition_variable gTaker;    // a range or a job finished

const JobSet* gSet = nullptr;
std::uint64_t gNextSeq = 0;  // sequence of the next range handed out
int gNextJob = 0;            // ... its job and range
std::uint32_t gNextRange = 0;
std::uint64_t gTakenSeq = 0;  // ranges taken back by the calling thread
int gLimitJob = 0;            // no range of a later job starts
int gStopped = 0;
int gBusy = 0;  // workers inside runRange or finishJob
unsigned char gRangeDone[MAX_JOB_WINDOW];
std::uint32_t gRemaining[MAX_JOBS];    // ranges of the job not yet run
unsigned char gStarted[MAX_JOBS];      // a range of the job was handed out
unsigned char gFinished[MAX_JOBS];     // finishJob of the job has returned

std::uint32_t RangeCount(const JobSet& set, int job) {
    const std::uint32_t count = set.rangeCounts ? set.rangeCounts[job] : 1;
    return count ? count : 1;
}

// Runs one handed-out range and its job's finish if it was the last; called
// with the lock held, returns with it held.
void RunOne(std::unique_lock<std::mutex>& lock, int job, std::uint32_t range,
            std::uint64_t seq, int worker) {
    const JobSet& set = *gSet;
    ++gBusy;
    lock.unlock();
    const int result = set.runRange(set.context, job, range, worker);
    lock.lock();
    if (result == RANGE_FATAL && job < gLimitJob) gLimitJob = job;
    gRangeDone[seq % set.window] = 1;
    if (--gRemaining[job] == 0) {
        lock.unlock();
        if (set.finishJob) set.finishJob(set.context, job, worker);
        lock.lock();
        gFinished[job] = 1;
    }
    --gBusy;
    gTaker.notify_all();
}

// Hands out the next range if one may start. 1 with job, range and seq set.
int TakeNext(int* job, std::uint32_t* range, std::uint64_t* seq) {
    const JobSet& set = *gSet;
    if (gStopped || gNextJob >= set.jobCount || gNextJob > gLimitJob) return 0;
    if (gNextSeq >= gTakenSeq + set.window) return 0;
    *job = gNextJob;
    *range = gNextRange;
    *seq = gNextSeq++;
    gStarted[gNextJob] = 1;
    if (++gNextRange == RangeCount(set, gNextJob)) {
        gNextRange = 0;
        ++gNextJob;
    }
    return 1;
}

// No range will ever be handed out again.
int NothingLeft() {
    return gStopped || gNextJob >= gSet->jobCount || gNextJob > gLimitJob;
}

void Worker(int worker) {
    std::unique_lock<std::mutex> lock(gLock);
    for (;;) {
        int job;
        std::uint32_t range;
        std::uint64_t seq;
        if (TakeNext(&job, &range, &seq)) {
            RunOne(lock, job, range, seq, worker);
            continue;
        }
        if (NothingLeft()) break;
        gWorkers.wait(lock);
    }
    lock.unlock();
    CacheFree();
}

// The calling thread's side: takes ranges and jobs back in order. Returns
// the job at which the run stopped, or jobCount. While what it must take
// next is not ready, it runs ranges itself, as worker number helper, so
// that a run of N workers needs only N - 1 threads besides it.
int Take(int helper) {
    const JobSet& set = *gSet;
    std::uint64_t seq = 0;
    // Runs a range that may start, if any, with the lock held. 1 if it did.
    const auto help = [&](std::unique_lock<std::mutex>& lock) {
        int j;
        std::uint32_t r;
        std::uint64_t s;
        if (!TakeNext(&j, &r, &s)) return 0;
        RunOne(lock, j, r, s, helper);
        return 1;
    };
    for (int job = 0; job < set.jobCount; ++job) {
        const std::uint32_t count = RangeCount(set, job);
        for (std::uint32_t range = 0; range < count; ++range, ++seq) {
            std::unique_lock<std::mutex> lock(gLock);
            // Ranges of a job after a fatal one may have run (they started
            // before it was known): they are never taken.
            if (job > gLimitJob) return job;
            while (!gRangeDone[seq % set.window] && job <= gLimitJob) {
                if (!help(lock)) gTaker.wait(lock);
            }
            if (!gRangeDone[seq % set.window]) return job;  // a fatal range came first
            // The range stays in the window while it is taken, so that what
            // it left is not yet written over by a range handed out after.
            if (set.takeRange) {
                lock.unlock();
                const int go = set.takeRange(set.context, job, range);
                lock.lock();
                if (!go) return job;
            }
            gRangeDone[seq % set.window] = 0;
            ++gTakenSeq;
            gWorkers.notify_all();
        }
        {
            std::unique_lock<std::mutex> lock(gLock);
            while (!gFinished[job]) {
                if (!help(lock)) gTaker.wait(lock);
            }
        }
        if (!set.takeJob(set.context, job)) return job;
    }
    return set.jobCount;
}

}  // namespace

int RunJobs(const JobSet& set) {
    if (set.jobCount < 0 || set.jobCount > MAX_JOBS || set.workers < 1 ||
        set.workers > MAX_JOB_WORKERS || set.window < 1 || set.window > MAX_JOB_WINDOW ||
        !set.runRange || !set.takeJob) {
        return -1;
    }
    gSet = &set;
    gNextSeq = 0;
    gNextJob = 0;
    gNextRange = 0;
    gTakenSeq = 0;
    gLimitJob = set.jobCount;
    gStopped = 0;
    gBusy = 0;
    for (std::uint32_t i = 0; i < set.window; ++i) gRangeDone[i] = 0;
    for (int job = 0; job < set.jobCount; ++job) {
        gRemaining[job] = RangeCount(set, job);
        gStarted[job] = 0;
        gFinished[job] = 0;
    }

    // The calling thread is the last worker.
    static std::thread threads[MAX_JOB_WORKERS];
    int started = 0;
    for (; started < set.workers - 1; ++started) {
        // A thread the system refuses leaves the run to those started.
        try {
            threads[started] = std::thread(Worker, started);
        } catch (const std::system_error&) {
            break;
        }
    }

    const int stop = Take(set.workers - 1);
    {
        std::lock_guard<std::mutex> lock(gLock);
        gStopped = 1;
    }
    gWorkers.notify_all();
    for (int i = 0; i < started; ++i) threads[i].join();

    if (set.dropJob) {
        for (int job = 0; job < set.jobCount; ++job) {
            if (gStarted[job] && !gFinished[job]) set.dropJob(set.context, job);
        }
    }
    gSet = nullptr;
    return stop;
}
