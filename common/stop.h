// A request to stop a run: a flag that any thread, or a signal handler,
// may set while the run goes on. The extraction engine and the packer look
// at it between pieces of work (a copy buffer, a block, a chunk), so a run
// stops within one piece of its request.
#ifndef RUX_COMMON_STOP_H
#define RUX_COMMON_STOP_H

#include <atomic>

namespace rux {

class StopRequest {
public:
    // Asks the run to stop. Async-signal-safe (a lock-free store).
    void Request() { requested_.store(1, std::memory_order_relaxed); }
    bool Requested() const { return requested_.load(std::memory_order_relaxed) != 0; }
    // Withdraws the request, before a run: a stopped run does not undo it.
    void Clear() { requested_.store(0, std::memory_order_relaxed); }

private:
    std::atomic<int> requested_{0};
};

// true if stop is set and its request made; a null stop never is.
inline bool StopRequested(const StopRequest* stop) { return stop && stop->Requested(); }

}  // namespace rux

#endif
