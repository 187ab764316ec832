// How many worker threads a run may have: one limit for the extraction
// scheduler, the packer, the command lines' -j and the Python binding.
#ifndef RUX_COMMON_WORKERS_H
#define RUX_COMMON_WORKERS_H

namespace rux {

// The most worker threads of one run, the calling thread included.
constexpr int MAX_WORKERS = 256;

// One worker per core, within 1 to MAX_WORKERS.
int DefaultWorkers();

}  // namespace rux

#endif
