// The parallel engine of the extraction: one scheduler, one task
// interface.
//
// A run has jobs numbered 0 to jobCount - 1 (one per resource, in slot
// order), and each job one or more ranges (block or byte ranges of its
// resource) that may run in different workers at once. Ranges are handed
// out in order: every range of job 0, then of job 1, and so on. The calling
// thread takes the finished ranges and jobs back in that same order, so it
// can write data and print reports exactly as a sequential run would.
//
// Memory stays bounded: a range is started only while fewer than window
// ranges are started and not yet taken back by the calling thread (its
// TakeRange returned), so a ring of window buffers can hold what they read.
// Jobs that must not overlap (they write one file, say) name the job they
// come after, and none of their ranges starts before that one finished.
#ifndef RUX_ENGINE_JOBS_H
#define RUX_ENGINE_JOBS_H

#include <cstdint>

#include "common/workers.h"

namespace rux {

constexpr int MAX_PLAN_ITEMS = 4096;  // jobs in one plan: one per index slot
constexpr std::uint32_t MAX_JOB_WINDOW = 1024;

// What JobTask::RunRange returns.
enum class RangeResult {
    Done,  // ran (a read failure still counts as run)
    // The run must end after this job: no range of a later job starts from
    // now on, and none is taken (those that started before are dropped).
    Fatal,
};

// The work of one run, as the scheduler calls it: each hook on the thread
// and at the moment its comment says.
class JobTask {
public:
    virtual ~JobTask() = default;

    // The ranges of job: 1 or more (0 counts as 1). Asked once per job.
    virtual std::uint32_t RangeCount(int job) const {
        (void)job;
        return 1;
    }
    // The job that must have finished before any range of job starts, or
    // -1 for none; always an earlier job. Asked once per job.
    virtual int After(int job) const {
        (void)job;
        return -1;
    }
    // In a worker: runs one range.
    virtual RangeResult RunRange(int job, std::uint32_t range, int worker) = 0;
    // In the worker that finished the job's last range, after every range
    // of the job has run (commit the job's file here).
    virtual void FinishJob(int job, int worker) {
        (void)job;
        (void)worker;
    }
    // In the calling thread, in range order, once the range has run; false
    // stops the run.
    virtual bool TakeRange(int job, std::uint32_t range) {
        (void)job;
        (void)range;
        return true;
    }
    // In the calling thread, in job order, once FinishJob of the job has
    // returned; false stops the run (the job has been taken, though).
    virtual bool TakeJob(int job) = 0;
    // In each worker once, when it has nothing left to start: every range
    // is handed out, or the run is ending. The calling thread's turn comes
    // while it waits for the last ranges of others to finish.
    virtual void NothingToStart(int worker) { (void)worker; }
    // In the calling thread after the workers have ended, for every job
    // that had a range started but was never finished (a stopped run):
    // remove what it left.
    virtual void DropJob(int job) { (void)job; }
};

// The shape of one run.
struct JobPlan {
    int jobCount = 0;            // 0 to MAX_PLAN_ITEMS
    int workers = 1;             // 1 to MAX_WORKERS, the calling thread included
    std::uint32_t window = 16;   // 1 to MAX_JOB_WINDOW ranges
};

// Runs the plan's jobs on task with its workers and returns when every
// worker has ended. Returns jobCount when every job was taken and every
// take returned true; otherwise the job at which the run stopped: the one
// whose TakeRange or TakeJob returned false, or the first one that is not
// run because a range of an earlier job was fatal. Jobs after that one may
// have run to their FinishJob; no take of theirs is made. -1, running
// nothing, for a plan out of bounds.
//
// The calling thread is worker number workers - 1: the others run on a
// thread pool of the call's own (common/pool.h) with workers - 1 threads,
// and it runs ranges itself whenever what it must take next is not ready
// (so with one worker, or when no thread can be started, it runs them
// all, in order). Each pooled worker calls CacheFree before it ends; the
// calling thread's cache is the caller's to free. Each call has
// state of its own: runs on other threads go on at the same time.
int RunJobs(const JobPlan& plan, JobTask& task);

}  // namespace rux

#endif
