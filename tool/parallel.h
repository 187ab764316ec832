// The parallel extraction loop: the glue between the resources of a run
// and the job scheduler (tool/jobs.h).
//
// Each item (one resource) is worked on in some worker thread, whole, and
// taken back on the calling thread strictly in item order, so whatever the
// workers do, what is printed from the takes comes out exactly as from a
// sequential run. A fatal item ends the run after its own take: no later
// item is taken (a later one may have been worked on already, and must
// then have left only complete results behind).
//
// The caller keeps items that touch the same output apart: items that
// could collide must not be handed to this loop at all.
#ifndef RUX_TOOL_PARALLEL_H
#define RUX_TOOL_PARALLEL_H

// Works on items 0 to count - 1 with up to workers threads:
// work(context, item, worker) returns 1, or 0 when the run must end after
// this item; take(context, item) runs on the calling thread in item order
// and returns 1 to go on, 0 to stop. worker is below workers. Returns count
// when every item was taken and went on, less when the run stopped, -1 when
// count or workers are out of bounds.
int RunInOrder(int count, int workers, void* context, int (*work)(void* context, int item, int worker),
               int (*take)(void* context, int item));

// 1 if two of the names would write the same output file, or one's file
// would have to be a directory of another's, when separators ('/' or '\')
// are one and case is ignored: such names must be handled in order.
int NamesCollide(const char* const* names, int count);

#endif
