// rux-pack's command line: every mistake says what is wrong and points to
// --help, writing nothing; options may come before or after the paths.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/fixture.h"
#include "tests/support/run.h"

namespace fs = std::filesystem;

namespace {

RunResult Pack(const std::vector<std::string>& args, const std::string& cwd) {
    return Run(ProgramFromEnvironment("RUX_PACK"), args, cwd);
}

void MakeFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(PackOptions, BadCommandLines) {
    TempDir tmp;
    MakeFile(tmp / "src/a", "a");
    const std::string blockSize = "takes a whole number from 1 to 16777216 (the longest block rux-extract reads)";
    // The highest level is the back end's: 12 with libdeflate, 9 with zlib.
    const bool libdeflate = std::string(RUX_EXPECTED_DEFLATE) == "libdeflate";
    const std::string levels = libdeflate ? "Option --level takes a level from 0 to 12, not '"
                                          : "Option --level takes a level from 0 to 9, not '";
    std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{}, "needs OUT.rux and DIR"},
        {{"out.rux"}, "needs OUT.rux and DIR"},
        {{"out.rux", "src", "extra"}, "too many arguments: extra"},
        {{"--level", "13", "out.rux", "src"}, levels + "13'"},
        {{"--level=x", "out.rux", "src"}, levels + "x'"},
        {{"--level", "-1", "out.rux", "src"}, levels + "-1'"},
        {{"--block-size", "0", "out.rux", "src"}, "Option --block-size " + blockSize + ", not '0'"},
        {{"--block-size", "4294967296", "out.rux", "src"}, "Option --block-size " + blockSize + ", not '4294967296'"},
        {{"--block-size=12k", "out.rux", "src"}, "Option --block-size " + blockSize + ", not '12k'"},
        {{"--block-size", "16777217", "out.rux", "src"}, "Option --block-size " + blockSize + ", not '16777217'"},
        {{"--bogus=1", "out.rux", "src"}, "Unknown option --bogus"},
        {{"-z", "out.rux", "src"}, "Unknown option -z"},
        {{"-j", "0", "out.rux", "src"}, "Option -j takes a number of jobs from 1 to 256, not '0'"},
        {{"--jobs=257", "out.rux", "src"}, "Option --jobs takes a number of jobs from 1 to 256, not '257'"},
        {{"--update=yes", "out.rux", "src"}, "Option --update takes no value"},
        {{"out.rux", "src", "-x"}, "Option -x needs a value"},
        {{"--backslash=yes", "out.rux", "src"}, "Option --backslash takes no value"},
        {{"out.rux", "src", "--store"}, "Option --store needs a value"},
        {{"", "src"}, "empty path"},
    };
    if (!libdeflate) {
        bad.push_back({{"--level=10", "out.rux", "src"},
                       "Option --level takes a level from 0 to 9 in this build, which deflates "
                       "with zlib (levels 10 to 12 need libdeflate), not '10'"});
    }
    for (const auto& c : bad) {
        std::string joined;
        for (const std::string& a : c.first) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        const RunResult run = Pack(c.first, tmp.path());
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("", run.output);
        EXPECT_EQ("rux-pack: " + c.second + "\nTry 'rux-pack --help' for more information.\n", run.errors);
    }
    EXPECT_FALSE(FileExists(tmp / "out.rux"));
    // Options may follow the paths, in either form; "--" ends them.
    EXPECT_EQ(0, Pack({"out.rux", "src", "--level", libdeflate ? "12" : "9", "--block-size=1"}, tmp.path()).status);
    MakeFile(tmp / "--odd/b", "b");
    const RunResult odd = Pack({"--", "odd.rux", "--odd"}, tmp.path());
    EXPECT_EQ(0, odd.status) << odd.errors;
    EXPECT_EQ("2 b 1\n", odd.output);
}

TEST(PackOptions, HelpAndVersion) {
    TempDir tmp;
    for (const char* option : {"--help", "-h"}) {
        const RunResult help = Pack({option}, tmp.path());
        EXPECT_EQ(0, help.status);
        EXPECT_EQ(0u, help.output.find("Usage: rux-pack [OPTIONS] OUT.rux DIR\n"));
        EXPECT_NE(std::string::npos, help.output.find("--block-size"));
    }
    for (const char* option : {"--version", "-V"}) {
        const RunResult version = Pack({option}, tmp.path());
        EXPECT_EQ(0, version.status);
        EXPECT_EQ(std::string("rux-pack ") + RUX_VERSION + "\n", version.output);
    }
}

}  // namespace
