// The job scheduler of the parallel extraction.
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
// takeRange returned), so a ring of window buffers can hold what they read.
#ifndef RUX_TOOL_JOBS_H
#define RUX_TOOL_JOBS_H

#include <cstdint>

constexpr int MAX_JOB_WORKERS = 256;
constexpr int MAX_JOBS = 4096;          // one per index slot
constexpr std::uint32_t MAX_JOB_WINDOW = 1024;

// What runRange returns.
constexpr int RANGE_DONE = 1;    // ran (a read failure still counts as run)
// The run must end after this job: no range of a later job starts from
// now on, and none is taken (those that started before are dropped).
constexpr int RANGE_FATAL = -1;

struct JobSet {
    int jobCount = 0;                          // 0 to MAX_JOBS
    const std::uint32_t* rangeCounts = nullptr;  // per job; 0 counts as 1
    int workers = 1;                           // 1 to MAX_JOB_WORKERS, the calling thread included
    std::uint32_t window = 16;                 // 1 to MAX_JOB_WINDOW ranges
    void* context = nullptr;                   // handed to every hook

    // In a worker: runs one range. RANGE_DONE or RANGE_FATAL.
    int (*runRange)(void* context, int job, std::uint32_t range, int worker) = nullptr;
    // In the worker that finished the job's last range, after every range
    // of the job has run (commit the job's file here). May be null.
    void (*finishJob)(void* context, int job, int worker) = nullptr;
    // In the calling thread, in range order, once the range has run. 0
    // stops the run. May be null.
    int (*takeRange)(void* context, int job, std::uint32_t range) = nullptr;
    // In the calling thread, in job order, once finishJob of the job has
    // returned. 0 stops the run (the job has been taken, though).
    int (*takeJob)(void* context, int job) = nullptr;
    // In the calling thread after the workers have ended, for every job
    // that had a range started but was never finished (a stopped run):
    // remove what it left. May be null.
    void (*dropJob)(void* context, int job) = nullptr;
};

// Runs the set with its workers and returns when every worker has ended.
// Returns jobCount when every job was taken and every take returned 1;
// otherwise the job at which the run stopped: the one whose takeRange or
// takeJob returned 0, or the first one that is not run because a range of
// an earlier job was fatal. Jobs after that one may have run to their
// finishJob; no take of theirs is made. -1, running nothing, for a set out
// of bounds or without runRange or takeJob.
//
// The calling thread is worker number workers - 1: it starts workers - 1
// threads, and runs ranges itself whenever what it must take next is not
// ready (so with one worker, or when no thread can be started, it runs
// them all, in order). Each started thread calls CacheFree before it
// ends; the calling thread's cache is the caller's to free. Never
// concurrent with itself.
int RunJobs(const JobSet& set);

#endif
