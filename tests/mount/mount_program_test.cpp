// rux-mount as a program: in the foreground until a signal or an unmount,
// every error said and nothing mounted, --help and --version. Needs
// /dev/fuse and the right to mount (root).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/mount/mount_fixture.h"

namespace {

using namespace mount_test;

// rux-mount -f in the background until it has mounted: its process id.
pid_t StartInForeground(const Program& tool, const std::string& cwd, const std::vector<std::string>& args) {
    std::vector<std::string> words = tool.command;
    words.push_back("-f");
    words.insert(words.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits up to 10 s for pid's end: its exit status, or -1.
int WaitFor(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

bool WaitUntilMounted(const std::string& path) {
    for (int i = 0; i < 500 && !IsMounted(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return IsMounted(path);
}

TEST_F(Mount, InTheForegroundASignalOrAnUnmountEndsItWithStatus0) {
    const std::string sample = std::string(RUX_SOURCE_DIR) + "/examples/sample.rux";
    for (int sig : {SIGTERM, SIGINT, SIGHUP, 0}) {
        SCOPED_TRACE(sig);
        const pid_t pid = StartInForeground(tool, dir.path(), {sample, mnt});
        ASSERT_TRUE(WaitUntilMounted(mnt));
        EXPECT_EQ(44, static_cast<int>(ReadWholeFile(mnt + "/readme.txt").size()));
        if (sig != 0) {
            kill(pid, sig);
        } else {
            EXPECT_EQ(0, RunProgram("fusermount3", {"-u", mnt}, dir.path()).status);
        }
        EXPECT_EQ(0, WaitFor(pid));
        EXPECT_FALSE(IsMounted(mnt));
    }
}

TEST_F(Mount, ErrorsSayWhichAndWhyAndMountNothing) {
    Write("ok.rux", {Stored("a", "a")});
    ASSERT_EQ(1, WriteWholeFile(dir / "text.rux", "this is not a resource file"));
    RawFile raw = MakeRawFile({Stored("a", "a")});
    raw.names.overridePacked = true;
    raw.names.packed = "not zlib at all";
    ASSERT_EQ(1, WriteWholeFile(dir / "damaged.rux", raw.Serialize()));
    ASSERT_EQ(1, WriteWholeFile(dir / "plain", "x"));
    ASSERT_EQ(0, mkdir((dir / "full").c_str(), 0755));
    ASSERT_EQ(1, WriteWholeFile(dir / "full/x", "x"));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"missing.rux", mnt}, "rux-mount: cannot mount missing.rux: "},
        {{"text.rux", mnt}, "rux-mount: cannot mount text.rux: not a resource file\n"},
        {{"ok.rux", "damaged.rux", mnt}, "rux-mount: cannot mount damaged.rux: damaged names table"},
        {{"ok.rux", dir / "nowhere"}, "rux-mount: cannot mount at " + dir / "nowhere" + ": No such file or directory\n"},
        {{"ok.rux", dir / "plain"}, "rux-mount: cannot mount at " + dir / "plain" + ": Not a directory\n"},
        {{"ok.rux", dir / "full"}, "rux-mount: cannot mount at " + dir / "full" + ": not empty\n"},
        {{"ok.rux"}, "rux-mount: needs FILE.rux and MOUNTPOINT\n"},
        {{"-o", "umask=999", "ok.rux", mnt}, "rux-mount: bad mount option umask=999\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const RunResult r = ::Run(tool, c.args, dir.path());
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(0u, r.errors.find(c.message)) << r.errors;
        EXPECT_EQ("", r.output);
        EXPECT_FALSE(IsMounted(mnt));
        EXPECT_FALSE(IsMounted(dir / "full"));
    }
    EXPECT_EQ((std::vector<std::string>{"x"}), ListTree(dir / "full"));

    // A mount point in use is named so, and its mount stays as it was.
    MountOk({"ok.rux"});
    const RunResult again = MountFiles({"ok.rux"});
    EXPECT_EQ(1, again.status);
    EXPECT_EQ("rux-mount: cannot mount at " + mnt + ": already a mount point\n", again.errors);
    EXPECT_EQ("a", ReadWholeFile(mnt + "/a"));
    ASSERT_EQ(0, RunProgram("fusermount3", {"-u", mnt}, dir.path()).status);

    // No FUSE device: a mount namespace of its own whose /dev has none.
    std::vector<std::string> args = {"-m", "sh", "-c", "mount -t tmpfs none /dev && exec \"$@\"", "sh"};
    args.insert(args.end(), tool.command.begin(), tool.command.end());
    args.push_back("ok.rux");
    args.push_back(mnt);
    const RunResult r = RunProgram("unshare", args, dir.path());
    if (r.errors.rfind("unshare: ", 0) == 0) {
        // No namespace of its own here (in a chroot whose root is no mount
        // point, unshare cannot make its mounts private): the rest stands.
        std::cout << "[   NOTE   ] the case without a FUSE device is left out: " << r.errors;
        return;
    }
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("rux-mount: cannot mount at " + mnt + ": no FUSE device: /dev/fuse: No such file or directory\n",
              r.errors);
    EXPECT_FALSE(IsMounted(mnt));
}

TEST_F(Mount, HelpAndVersion) {
    const RunResult help = ::Run(tool, {"--help"}, dir.path());
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.output.find("Usage: rux-mount [OPTIONS] FILE.rux [FILE.rux ...] MOUNTPOINT\n"));
    const RunResult version = ::Run(tool, {"-V"}, dir.path());
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("rux-mount " RUX_VERSION "\n", version.output);
}

}  // namespace
