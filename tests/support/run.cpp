#include "tests/support/run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, int timeoutSeconds, bool errorsOnTerminal) {
    RunResult result;
    int out[2], err[2];
    if (pipe(out) != 0) return result;
    // err[0] is read here, err[1] is the child's standard error.
    if (errorsOnTerminal ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0 : pipe(err) != 0) return result;
#ifdef __GLIBC__
    // The child's peak memory includes what this process holds at the fork.
    malloc_trim(0);
#endif
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        // Only 1 and 2 hold the pipes: a daemon that the program leaves
        // behind (rux-mount) must not keep them open.
        if (out[1] > 2) close(out[1]);
        if (err[1] > 2) close(err[1]);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    const std::time_t deadline = std::time(nullptr) + timeoutSeconds;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        const int left = static_cast<int>(deadline - std::time(nullptr));
        if (left <= 0) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        if (poll(fds, 2, left * 1000) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.output : result.errors).append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {  // a terminal's end: EIO
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.maxRssKiB = usage.ru_maxrss;
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

const char* Launcher() {
    const char* launcher = std::getenv("RUX_LAUNCHER");
#ifdef RUX_DEFAULT_LAUNCHER
    if (!launcher) launcher = RUX_DEFAULT_LAUNCHER;
#endif
    return launcher && *launcher ? launcher : nullptr;
}

Program ProgramFromEnvironment(const char* variable) {
    Program program;
    if (const char* launcher = Launcher()) {
        std::istringstream words(launcher);
        std::string word;
        while (words >> word) program.command.push_back(word);
    }
    const char* path = std::getenv(variable);
    EXPECT_NE(nullptr, path) << variable << " is not set";
    program.command.push_back(path ? path : "/nonexistent");
    // Options for every run, such as RUX_EXTRACT_OPTIONS="-j 4".
    if (const char* options = std::getenv((std::string(variable) + "_OPTIONS").c_str())) {
        std::istringstream words(options);
        std::string word;
        while (words >> word) program.command.push_back(word);
    }
    return program;
}

namespace {

// 1 when a run under a launcher ended before the program said anything:
// a failing status, nothing on standard output, and on standard error
// nothing but the launcher's own lines ("wine: ...", "wine client error
// ..."). The programs under test never fail without saying why, so such a
// run is the launcher's failure to start or end the program, which Wine
// shows about once in tens of thousands of runs on a loaded machine.
int LauncherFailed(const RunResult& r) {
    if (!Launcher() || r.status <= 0 || r.timedOut || !r.output.empty()) return 0;
    std::istringstream lines(r.errors);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line != "\r" && line.compare(0, 4, "wine") != 0) return 0;
    }
    return 1;
}

// RunProgram, and twice more at most while the launcher fails; each time
// said on standard error, so a log shows it.
RunResult RunThroughLauncher(const std::string& program, const std::vector<std::string>& args,
                             const std::string& cwd, int timeoutSeconds = 60, bool errorsOnTerminal = false) {
    // An emulator runs the program many times slower: the time limit, there
    // to end a hang, grows with it.
    if (Launcher()) timeoutSeconds *= 5;
    RunResult r = RunProgram(program, args, cwd, timeoutSeconds, errorsOnTerminal);
    for (int again = 0; again < 2 && LauncherFailed(r); ++again) {
        std::fprintf(stderr, "the launcher failed (status %d, \"%s\"); running the program again\n", r.status,
                     r.errors.c_str());
        r = RunProgram(program, args, cwd, timeoutSeconds, errorsOnTerminal);
    }
    return r;
}

}  // namespace

RunResult Run(const Program& program, const std::vector<std::string>& args,
              const std::string& cwd, int timeoutSeconds, bool errorsOnTerminal) {
    std::vector<std::string> all(program.command.begin() + 1, program.command.end());
    all.insert(all.end(), args.begin(), args.end());
    return RunThroughLauncher(program.command.front(), all, cwd, timeoutSeconds, errorsOnTerminal);
}

RunResult RunWithOutputTo(const Program& program, const std::vector<std::string>& args,
                          const std::string& cwd, const std::string& file) {
    std::vector<std::string> all = {"-c", "exec \"$@\" >\"$0\"", file};
    all.insert(all.end(), program.command.begin(), program.command.end());
    all.insert(all.end(), args.begin(), args.end());
    return RunThroughLauncher("/bin/sh", all, cwd);
}

namespace {

// 1 when process pid has a file open whose path begins with prefix.
int HasFileOpenIn(pid_t pid, const std::string& prefix) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (!dir) return 0;
    int found = 0;
    while (struct dirent* entry = readdir(dir)) {
        char target[4096];
        const ssize_t n = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (std::strncmp(target, prefix.c_str(), prefix.size()) == 0) found = 1;
    }
    closedir(dir);
    return found;
}

}  // namespace

int KillWhileWriting(const Program& program, const std::vector<std::string>& args,
                     const std::string& cwd, const std::string& dir, int signal) {
    std::vector<std::string> all(program.command.begin(), program.command.end());
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        for (const std::string& a : all) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    const std::string path = dir[0] == '/' ? dir : cwd + "/" + dir;
    int seen = 0;
    for (int tries = 0; tries < 20000 && !seen; ++tries) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFSIGNALED(status) ? -1 : 0;
        // The directory may be made by the program itself.
        char real[4096];
        seen = realpath(path.c_str(), real) && HasFileOpenIn(pid, std::string(real) + "/");
        if (!seen) usleep(500);
    }
    kill(pid, seen ? signal : SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!seen) return -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

RunResult RunUnderFileSizeLimit(unsigned long long bytes, const std::function<RunResult()>& run) {
    struct rlimit saved;
    EXPECT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    struct rlimit small = saved;
    small.rlim_cur = static_cast<rlim_t>(bytes);
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    RunResult result = run();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    return result;
}

RunResult RunUnderDescriptorLimit(unsigned long long count, const std::function<RunResult()>& run) {
    struct rlimit saved;
    EXPECT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    struct rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(count);
    EXPECT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    RunResult result = run();
    setrlimit(RLIMIT_NOFILE, &saved);
    return result;
}
