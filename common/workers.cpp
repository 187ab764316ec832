#include "common/workers.h"

#include <thread>

namespace rux {

int DefaultWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores == 0) return 1;
    return cores < static_cast<unsigned>(MAX_WORKERS) ? static_cast<int>(cores) : MAX_WORKERS;
}

}  // namespace rux
