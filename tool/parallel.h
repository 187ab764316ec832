// The parallel extraction loop: the glue between the resources of a run
// and the job scheduler (tool/jobs.h).
//
// Each item (one resource) is worked on in worker threads, whole or in
// ranges that run at once, and taken back on the calling thread strictly
// in item order, so whatever the workers do, what is printed from the
// takes comes out exactly as from a sequential run. A fatal item ends the run after its own take: no later
// item is taken (a later one may have been worked on already, and must
// then have left only complete results behind).
//
// Items that touch the same output are worked on one after the other, in
// item order, as OrderCollisions arranges.
#ifndef RUX_TOOL_PARALLEL_H
#define RUX_TOOL_PARALLEL_H

#include <cstdint>

// Works on items 0 to count - 1 with up to workers threads. Item i has
// ranges[i] ranges (ranges null, or an entry 0: one), which may run in
// different workers at once: work(context, item, range, worker) returns 1,
// or 0 when the run must end after this item. finish(context, item, worker)
// (may be null) runs once every range of the item has, in the worker of the
// last. take(context, item) runs on the calling thread in item order, after
// finish, and returns 1 to go on, 0 to stop. worker is below workers. With
// after (else null), item i starts only once item after[i] has finished
// (-1: none; after[i] < i; such items have one range). Returns count when
// every item was taken and went on, less when the run stopped, -1 when
// count or workers are out of bounds.
int RunInOrder(int count, int workers, const std::uint32_t* ranges, const int* after, void* context,
               int (*work)(void* context, int item, std::uint32_t range, int worker),
               void (*finish)(void* context, int item, int worker), int (*take)(void* context, int item));

// Fills after (count entries) for RunInOrder so that names that could
// write one output file, or where one's file would have to be a directory
// of another's (separators '/' and '\' are one, ASCII case is ignored),
// are worked on one after the other in item order: after[i] is the last
// such item before i, or -1.
void OrderCollisions(const char* const* names, int count, int* after);

#endif
