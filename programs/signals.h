// The tools' handling of fatal signals: the library installs no handler,
// so each program that writes temporaries installs this one.
#ifndef RUX_PROGRAMS_SIGNALS_H
#define RUX_PROGRAMS_SIGNALS_H

namespace rux {

// Installs handlers for every signal from outside whose default action
// ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM,
// SIGUSR1/2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, ... where they exist;
// on Windows SIGINT, SIGTERM and SIGBREAK) that remove every named
// temporary (RemoveLiveTemporaries) and then end the process by that
// signal. A signal the process was started ignoring stays ignored. Once
// per process; later calls do nothing.
void RemoveTemporariesOnFatalSignals();

}  // namespace rux

#endif
