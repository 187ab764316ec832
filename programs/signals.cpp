#include "programs/signals.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include "platform/output_dir.h"

namespace rux {

namespace {

#ifdef _WIN32

void OnFatalSignal(int signal) {
    RemoveLiveTemporaries();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void InstallHandlers() {
    std::signal(SIGINT, OnFatalSignal);
    std::signal(SIGTERM, OnFatalSignal);
    std::signal(SIGBREAK, OnFatalSignal);
}

#else

// Only async-signal-safe calls: the removal of the temporaries, then the
// signal again with its default action, which ends the process once the
// handler returns and the signal is unblocked.
void OnFatalSignal(int signal) {
    RemoveLiveTemporaries();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    ::raise(signal);
}

void InstallHandlers() {
    // Every signal whose default action ends the process and that comes
    // from outside it. The faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
    // SIGABRT, SIGSYS, SIGTRAP) keep their default, for a core dump and a
    // debugger; on Linux no temporary has a name then anyway.
    static const int kSignals[] = {
        SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
#ifdef SIGXCPU
        SIGXCPU,
#endif
#ifdef SIGXFSZ
        SIGXFSZ,
#endif
#ifdef SIGVTALRM
        SIGVTALRM,
#endif
#ifdef SIGPROF
        SIGPROF,
#endif
#ifdef SIGPOLL
        SIGPOLL,
#endif
#ifdef SIGSTKFLT
        SIGSTKFLT,
#endif
#ifdef SIGPWR
        SIGPWR,
#endif
#ifdef SIGLOST
        SIGLOST,
#endif
    };
    const auto install = [](int signal) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = OnFatalSignal;
        sigemptyset(&action.sa_mask);
        // A signal the process was started ignoring stays ignored.
        struct sigaction old;
        if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
        ::sigaction(signal, &action, nullptr);
    };
    for (int signal : kSignals) install(signal);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) install(signal);
#endif
}

#endif

}  // namespace

void RemoveTemporariesOnFatalSignals() {
    static std::atomic<int> installed{0};
    if (installed.exchange(1)) return;
    InstallHandlers();
}

}  // namespace rux
