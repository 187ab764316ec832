// The parallel extraction loop: the glue between the resources of a run
// and the job scheduler (tool/jobs.h).
//
// Each item (one resource) is worked on in worker threads, whole or in
// ranges that run at once, and taken back on the calling thread strictly
// in item order, so whatever the workers do, what is printed from the
// takes comes out exactly as from a sequential run. A fatal item ends the
// run after its own take: no later item is taken (a later one may have
// been worked on already, and must then have left only complete results
// behind; one begun but not finished is dropped).
//
// Items that touch the same output, or open the same index slot, are
// worked on one after the other, in item order, as OrderCollisions
// arranges.
#ifndef RUX_TOOL_PARALLEL_H
#define RUX_TOOL_PARALLEL_H

#include <cstdint>

#include "tool/jobs.h"

// Runs the set (tool/jobs.h) as RunJobs does, each job an item, so that
// with after (else null) item i starts only once item after[i] has
// finished (-1: none; after[i] < i; such items have one range). Returns
// what RunJobs returns.
int RunInOrder(const JobSet& set, const int* after);

// Fills after (count entries) for RunInOrder so that names that could
// write one output file, or where one's file would have to be a directory
// of another's (separators '/' and '\' are one, ASCII case is ignored),
// are worked on one after the other in item order: after[i] is the last
// such item before i, or -1.
void OrderCollisions(const char* const* names, int count, int* after);

#endif
