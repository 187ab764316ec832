// Running the real executables from tests.
//
// The program under test is named by an environment variable (set by
// CTest), so one test binary can run a native build or, through a
// launcher such as Wine, a Windows build.
#ifndef RUX_TESTS_SUPPORT_RUN_H
#define RUX_TESTS_SUPPORT_RUN_H

#include <functional>
#include <string>
#include <vector>

struct RunResult {
    int status = -1;        // exit status; -1 if it did not exit normally
    int signal = 0;         // terminating signal, 0 if none
    bool timedOut = false;  // killed after the time limit
    std::string output;     // everything written to standard output
    std::string errors;     // everything written to standard error
    // Peak resident memory of the child. The kernel counts the test
    // process's own resident memory at the fork as well (the child starts
    // as its copy), so this is max(child's peak, test process at the fork):
    // a sound upper bound. Tests that bound it keep their own process small
    // while the child runs; RunProgram hands freed heap back first.
    long maxRssKiB = 0;
};

// Runs program with args in directory cwd, with no standard input and a
// time limit, and collects what it printed. With errorsOnTerminal its
// standard error is a pseudo-terminal instead of a pipe (whose line
// discipline turns each "\n" into CR LF).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, int timeoutSeconds = 60, bool errorsOnTerminal = false);

// The words that start a program of the build under test: RUX_LAUNCHER
// (wine64, say), or where that is unset a cross build's emulator (the
// CMAKE_CROSSCOMPILING_EMULATOR its tests run under: qemu-i386 for i686
// Linux); null when programs run directly. A launcher's peak memory and its
// chatter on standard error are the tests' to allow for.
const char* Launcher();

// The executable named by environment variable `variable` (for example
// RUX_EXTRACT), with the Launcher(), if any, put in front,
// and the words of `variable`_OPTIONS (RUX_EXTRACT_OPTIONS="-j 4"), if set,
// after it: options given to every run. Fails the test when the variable
// is unset.
struct Program {
    std::vector<std::string> command;  // launcher words, then the executable
};
Program ProgramFromEnvironment(const char* variable);
// RunProgram for program. Under a launcher, a run that failed before the
// program said anything (see LauncherFailed in run.cpp) is run again.
RunResult Run(const Program& program, const std::vector<std::string>& args,
              const std::string& cwd, int timeoutSeconds = 60, bool errorsOnTerminal = false);

// Runs run() with the file size limit at bytes and SIGXFSZ ignored, so
// that a write past the limit fails (EFBIG) instead of killing, then puts
// both back. The limit is inherited by the programs run() starts.
RunResult RunUnderFileSizeLimit(unsigned long long bytes, const std::function<RunResult()>& run);

// Runs run() with the soft limit on open descriptors at count (the
// programs run() starts inherit it), then puts it back.
RunResult RunUnderDescriptorLimit(unsigned long long count, const std::function<RunResult()>& run);

// Run with standard output sent to file instead (/dev/full, say): the
// result's output is then empty.
RunResult RunWithOutputTo(const Program& program, const std::vector<std::string>& args,
                          const std::string& cwd, const std::string& file);

// Starts program with args in cwd, its output discarded, waits until it
// has a file open in directory dir (one it is writing there), sends it
// signal, and returns the signal that ended it: 0 when it ended otherwise,
// -1 when it was not seen writing there within the time limit.
int KillWhileWriting(const Program& program, const std::vector<std::string>& args,
                     const std::string& cwd, const std::string& dir, int signal);

#endif
