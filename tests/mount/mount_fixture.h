// What the tests of rux-mount on real mounts share: whether a path is a
// mount point, and the fixture that mounts with the real executable in a
// fresh directory (skipped where /dev/fuse cannot be used) and unmounts
// whatever is left mounted.
#ifndef RUX_TESTS_MOUNT_MOUNT_FIXTURE_H
#define RUX_TESTS_MOUNT_MOUNT_FIXTURE_H

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/fixture.h"
#include "tests/support/run.h"

namespace mount_test {

inline bool IsMounted(const std::string& path) {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, rest;
    while (mounts >> device >> point && std::getline(mounts, rest)) {
        if (point == path) return true;
    }
    return false;
}

class Mount : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable FUSE device: /dev/fuse";
        mnt = dir / "mnt";
        ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
    }
    ~Mount() override {
        if (!mnt.empty() && IsMounted(mnt)) RunProgram("fusermount3", {"-u", mnt}, dir.path());
    }
    RunResult MountFiles(std::vector<std::string> args) {
        args.push_back(mnt);
        return ::Run(tool, args, dir.path());
    }
    void MountOk(const std::vector<std::string>& args) {
        const RunResult r = MountFiles(args);
        ASSERT_EQ(0, r.status) << r.errors;
        ASSERT_TRUE(IsMounted(mnt));
    }
    void Write(const std::string& name, const std::vector<PackResource>& resources) {
        std::string error;
        ASSERT_EQ(1, WriteResourceFile(dir / name, resources, &error)) << error;
    }
    // diff -r of the mount against rux-extract's tree of the same file.
    void ExpectExtractTree(const std::string& file) {
        const RunResult x = ::Run(extract, {"-q", file, dir / "out"}, dir.path());
        ASSERT_NE(-1, x.status);
        const RunResult d = RunProgram("diff", {"-r", mnt, dir / "out"}, dir.path());
        EXPECT_EQ(0, d.status) << d.output << d.errors;
    }

    TempDir dir;
    std::string mnt;
    Program tool = ProgramFromEnvironment("RUX_MOUNT");
    Program extract = ProgramFromEnvironment("RUX_EXTRACT");
};

}  // namespace mount_test

#endif
