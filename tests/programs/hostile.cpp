#include "tests/programs/hostile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

namespace {

// Everything in the run's directory but the output tree.
std::vector<std::string> OutsideOutput(const HostileRun& run) {
    std::vector<std::string> paths;
    for (const std::string& path : ListTree(run.dir.path(), true)) {
        if (path.rfind("out/", 0) != 0) paths.push_back(path + " " + ReadWholeFile(run.dir / path));
    }
    return paths;
}

std::string Native(std::string name) {
    for (char& c : name) {
        if (c == '\\') c = '/';
    }
    return name;
}

}  // namespace

void RunOnBytes(HostileRun* run, const std::string& bytes, int timeoutSeconds) {
    // In a sanitizer build, any single allocation beyond what a sound read
    // needs ends the child with a report, so unbounded allocations are seen
    // even when they would have failed quietly.
    static const bool limited = [] {
        const char* options = std::getenv("ASAN_OPTIONS");
        std::string limit = options ? std::string(options) + ":" : std::string();
        limit += "max_allocation_size_mb=256";
        return setenv("ASAN_OPTIONS", limit.c_str(), 1) == 0;
    }();
    (void)limited;
    ASSERT_TRUE(WriteWholeFile(run->dir / "f.rux", bytes));
    ASSERT_TRUE(WriteWholeFile(run->dir / (std::string("f.rux") + LOOSE_NAME), LOOSE_DATA));
    const std::vector<std::string> before = OutsideOutput(*run);
    run->result = Run(ProgramFromEnvironment("RUX_EXTRACT"), {run->dir / "f.rux", run->outdir()},
                      run->dir.path(), timeoutSeconds);
    EXPECT_EQ(before, OutsideOutput(*run)) << "changed outside the output directory";
}

void ExpectSound(const HostileRun& run, const std::string& label) {
    const RunResult& r = run.result;
    EXPECT_FALSE(r.timedOut) << label;
    EXPECT_EQ(0, r.signal) << label << "\n" << r.errors;
    EXPECT_TRUE(r.status == 0 || r.status == 1) << label << ": status " << r.status;
    if (r.status != 0) return;

    // Each file's size is the one printed on the last line that named it.
    std::map<std::string, std::uint64_t> sizes;
    std::size_t at = 0;
    while (at < r.output.size()) {
        std::size_t end = r.output.find('\n', at);
        if (end == std::string::npos) end = r.output.size();
        const std::string line = r.output.substr(at, end - at);
        at = end + 1;
        const std::size_t first = line.find(' ');
        const std::size_t last = line.rfind(' ');
        if (first == std::string::npos || first == last) {
            ADD_FAILURE() << label << ": status 0 with the line " << line;
            continue;
        }
        sizes[Native(line.substr(first + 1, last - first - 1))] =
            std::stoull(line.substr(last + 1));
    }
    for (const auto& file : sizes) {
        const std::string path = run.outdir() + "/" + file.first;
        std::error_code ec;
        EXPECT_TRUE(std::filesystem::is_regular_file(path, ec)) << label << ": no " << path;
        EXPECT_EQ(file.second, std::filesystem::file_size(path, ec)) << label << ": " << path;
    }
}
