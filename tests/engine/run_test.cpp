// The whole run in-process, as a program embedding the engine calls it:
// runs that share the process share no state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/extract.h"
#include "programs/extract_print.h"
#include "tests/support/fixture.h"

namespace {

struct RunOutput {
    int status = -1;
    std::string out;
    std::string err;
};

// ExtractAll of file into outdir, its streams caught in files below dir.
RunOutput ExtractInProcess(const TempDir& dir, const std::string& tag, const ExtractOptions& options,
                           const std::string& file, const std::string& outdir) {
    RunOutput result;
    std::FILE* out = std::fopen((dir / (tag + ".out")).c_str(), "w+b");
    std::FILE* err = std::fopen((dir / (tag + ".err")).c_str(), "w+b");
    if (!out || !err) return result;
    result.status = ExtractAndPrint("rux-extract", options, file.c_str(), outdir.c_str(), out, err);
    std::fclose(out);
    std::fclose(err);
    result.out = ReadWholeFile(dir / (tag + ".out"));
    result.err = ReadWholeFile(dir / (tag + ".err"));
    return result;
}

// Resources of every kind, nested, some large enough to be cut into
// ranges under several jobs; seed makes each set its own.
std::vector<PackResource> Resources(std::uint32_t seed) {
    std::vector<PackResource> resources = {
        Deflated("big/deflated.bin", TextBytes((9u << 19) + 7, seed), 65536),
        Stored("big/stored.bin", RandomBytes((5u << 20) + 3, seed + 1)),
    };
    for (std::uint32_t i = 0; i < 24; ++i) {
        const std::string name = "dir" + std::to_string(i % 5) + "/f" + std::to_string(seed) + "-" + std::to_string(i);
        const std::string data = TextBytes(1000 * i + seed, seed + i);
        resources.push_back(i % 2 ? Stored(name, data) : Deflated(name, data, 4096));
    }
    return resources;
}

void ExpectTree(const std::string& root, const std::vector<PackResource>& resources) {
    std::vector<std::string> names;
    for (const PackResource& r : resources) {
        names.push_back(r.name);
        EXPECT_EQ(r.data, ReadWholeFile(root + "/" + r.name)) << root << "/" << r.name;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, ListTree(root));
}

TEST(ExtractRun, TwoRunsAtOnceInOneProcessEachWriteTheirWholeTree) {
    TempDir dir;
    const std::vector<PackResource> first = Resources(1), second = Resources(2);
    std::string error;
    ASSERT_EQ(1, WriteResourceFile(dir / "first.rux", first, &error)) << error;
    ASSERT_EQ(1, WriteResourceFile(dir / "second.rux", second, &error)) << error;

    for (const int jobs : {1, 3, 64}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        ExtractOptions options;
        options.jobs = jobs;
        const std::string n = std::to_string(jobs);
        // Each alone first: what the runs at once must print too.
        const RunOutput alone = ExtractInProcess(dir, "alone" + n, options, dir / "first.rux", dir / ("alone" + n));
        ASSERT_EQ(0, alone.status) << alone.err;

        RunOutput a, b;
        std::thread other([&] { b = ExtractInProcess(dir, "b" + n, options, dir / "second.rux", dir / ("b" + n)); });
        a = ExtractInProcess(dir, "a" + n, options, dir / "first.rux", dir / ("a" + n));
        other.join();
        EXPECT_EQ(0, a.status) << a.err;
        EXPECT_EQ(0, b.status) << b.err;
        EXPECT_EQ(alone.out, a.out);
        EXPECT_EQ("", a.err + b.err);
        EXPECT_EQ(std::count(b.out.begin(), b.out.end(), '\n'), static_cast<long>(second.size()));
        ExpectTree(dir / ("a" + n), first);
        ExpectTree(dir / ("b" + n), second);
    }
}

}  // namespace
