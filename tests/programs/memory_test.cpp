// The memory bound: no resource file under 1 MiB whose block lengths are at
// most 4 MiB may make rux-extract use more than 64 MiB, whatever sizes and
// lengths it claims; and a real 1000:1 file still extracts correctly.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "resource/blocks.h"
#include "tests/programs/hostile.h"

using namespace rux;

#if defined(__SANITIZE_ADDRESS__)
#define RUX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RUX_ASAN 1
#endif
#endif

namespace {

constexpr long LIMIT_KIB = 64 * 1024;
constexpr std::uint32_t MIB = 1u << 20;

// Checks a run's peak memory against limitKiB. AddressSanitizer's shadow
// memory and quarantine make peak memory meaningless there; under a
// launcher (an emulator) the peak is the launcher's own, so the test is
// reported skipped, saying why. Every other check of the test still runs.
void ExpectPeakBelow(const RunResult& result, long limitKiB, const std::string& what = "") {
    ::testing::Test::RecordProperty(what.empty() ? "maxRssKiB" : what + "MaxRssKiB", std::to_string(result.maxRssKiB));
    if (const char* launcher = Launcher()) {
        GTEST_SKIP() << "peak memory not checked: it is that of the launcher " << launcher
                     << ", not of rux-extract";
    }
#ifdef RUX_ASAN
    (void)limitKiB;
#else
    EXPECT_LT(result.maxRssKiB, limitKiB) << what;
#endif
}

void ExpectWithinLimit(const RunResult& result) { ExpectPeakBelow(result, LIMIT_KIB); }

void ExpectAllZeros(const std::string& path, std::size_t size) {
    const std::string data = ReadWholeFile(path);
    EXPECT_EQ(size, data.size()) << path;
    EXPECT_EQ(std::string::npos, data.find_first_not_of('\0')) << path;
}

int Occurrences(const std::string& text, const std::string& what) {
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Grows a table's inflated bytes with zeros to length (whole elements).
void GrowTable(RawTable* table, std::uint32_t length) {
    length -= length % table->elementSize;
    table->inflated.resize(length, '\0');
    table->count = length / table->elementSize;
    table->level = 9;
}

// The bytes of a resource file written by the project's writer. Only they
// stay in the test's memory while the tool runs.
std::string WrittenFile(const std::vector<PackResource>& resources) {
    TempDir source;
    std::string error;
    EXPECT_TRUE(WriteResourceFile(source / "f.rux", resources, &error)) << error;
    return ReadWholeFile(source / "f.rux");
}

TEST(MemoryBound, SixtyFourMebibytesOfZerosInOneMebibyteBlocks) {
    const std::string bytes = WrittenFile({Deflated("zeros", std::string(64 * MIB, '\0'), MIB, 9)});
    EXPECT_LT(bytes.size(), 100000u);  // about 1000:1

    HostileRun run;
    RunOnBytes(&run, bytes);
    ExpectSound(run, "zeros");
    EXPECT_EQ(0, run.result.status);
    EXPECT_EQ("8 zeros 67108864\n", run.result.output);
    ExpectWithinLimit(run.result);
    ExpectAllZeros(run.outdir() + "/zeros", 64 * MIB);
}

TEST(MemoryBound, HugeClaimsOverTinyBlocks) {
    // Three real blocks of a few bytes each; every record claims far more.
    RawFile file;
    std::vector<std::uint32_t> offsets = {FILE_HEADER_BYTES};
    for (int i = 0; i < 3; ++i) {
        file.data += DeflateZlib("tiny", 6);
        offsets.push_back(FILE_HEADER_BYTES + static_cast<std::uint32_t>(file.data.size()));
    }
    SetBlockOffsets(&file, offsets);
    const std::uint32_t claims[][2] = {// block length, size
                                       {0xFFFFFFFFu, 0xFFFFFFFFu},
                                       {4 * MIB, 0xFFFFFFFFu},
                                       {0x7FFFFFFFu, 0x80000000u},
                                       {4 * MIB, 3 * 4 * MIB},
                                       {MAX_BLOCK_BYTES + 1, 0xFFFFFFFFu}};
    std::vector<DirectoryRecord> records;
    for (std::uint32_t i = 0; i < 5; ++i) {
        const std::string name = "r" + std::to_string(i);
        records.push_back({static_cast<std::uint32_t>(file.names.inflated.size()), KIND_DEFLATED,
                           0, claims[i][1], claims[i][0]});
        file.names.inflated += name + '\0';
    }
    // A stored resource claiming 4 GiB of the file's few bytes.
    records.push_back({static_cast<std::uint32_t>(file.names.inflated.size()), KIND_STORED,
                       FILE_HEADER_BYTES, 0xFFFFFFFFu, 0});
    file.names.inflated += std::string("s") + '\0';
    SetRecords(&file, records);
    file.names.count = static_cast<std::uint32_t>(file.names.inflated.size());

    HostileRun run;
    RunOnBytes(&run, file.Serialize());
    ExpectSound(run, "huge claims");
    EXPECT_EQ(1, run.result.status);
    // Every resource gets its line and fails to read; none is written whole.
    EXPECT_EQ(5, Occurrences(run.result.output, "\nCannot read r")) << run.result.output;
    EXPECT_EQ(1, Occurrences(run.result.output, "\nCannot read s\n")) << run.result.output;
    EXPECT_EQ(1, Occurrences(run.result.output, "\nCannot read r0\n")) << run.result.output;
    EXPECT_EQ(std::string::npos, run.result.output.find("Cannot write")) << run.result.output;
    ExpectWithinLimit(run.result);
}

TEST(MemoryBound, LargestTablesAndFullCacheOfFourMebibyteBlocks) {
    // Nine resources of one 4 MiB block each (the cache holds eight), with
    // each table padded to the most it may inflate to.
    const std::string bytes = [] {
        std::vector<PackResource> resources;
        for (int i = 0; i < 9; ++i) {
            resources.push_back(
                Deflated("r" + std::to_string(i), std::string(4 * MIB, '\0'), 4 * MIB, 9));
        }
        RawFile file = MakeRawFile(resources);
        GrowTable(&file.directory, MAX_TABLE_BYTES);  // the padding: records of kind 0
        GrowTable(&file.names, MAX_TABLE_BYTES);
        GrowTable(&file.blocks, MAX_TABLE_BYTES);
        return file.Serialize();
    }();
    EXPECT_LT(bytes.size(), MIB);

    HostileRun run;
    RunOnBytes(&run, bytes, 120);
    ExpectSound(run, "largest tables");
    EXPECT_EQ(0, run.result.status) << run.result.output;
    ExpectWithinLimit(run.result);
    for (int i = 0; i < 9; ++i) ExpectAllZeros(run.outdir() + "/r" + std::to_string(i), 4 * MIB);
}

TEST(MemoryBound, TablesBeyondTheLimitAreRefused) {
    RawTable RawFile::*tables[] = {&RawFile::directory, &RawFile::names, &RawFile::blocks};
    for (RawTable RawFile::*table : tables) {
        RawFile file = MakeRawFile({Stored("a", "x")});
        GrowTable(&(file.*table), MAX_TABLE_BYTES + (file.*table).elementSize);
        HostileRun run;
        RunOnBytes(&run, file.Serialize());
        ExpectSound(run, "table beyond the limit");
        EXPECT_EQ(1, run.result.status);
        EXPECT_EQ("Could not open resource file: " + (run.dir / "f.rux") + "\n", run.result.output);
    }
}

TEST(MemoryBound, BlocksUpToTheLimitAreRead) {
    const std::string bytes = WrittenFile(
        {Deflated("max", std::string(MAX_BLOCK_BYTES, '\0'), MAX_BLOCK_BYTES, 9),
         Deflated("over", std::string(MAX_BLOCK_BYTES + 1, '\0'), MAX_BLOCK_BYTES + 1, 9)});
    HostileRun run;
    RunOnBytes(&run, bytes);
    ExpectSound(run, "block limit");
    EXPECT_EQ(1, run.result.status);
    EXPECT_NE(std::string::npos, run.result.output.find("8 max 16777216\n")) << run.result.output;
    EXPECT_NE(std::string::npos, run.result.output.find("8 over 16777217\nCannot read over\n"))
        << run.result.output;
    EXPECT_EQ(std::string::npos, run.result.output.find("Cannot read max")) << run.result.output;
    ExpectAllZeros(run.outdir() + "/max", MAX_BLOCK_BYTES);
}

}  // namespace

// Jobs add at most 2 MiB each, on top of 16 MiB, whatever the resources:
// 4000 small ones, and one large deflated one cut into ranges, on 2 jobs,
// extracted and to standard output.
TEST(MemoryBound, JobsAddTwoMebibytesEach) {
    std::vector<PackResource> small;
    for (int i = 0; i < 4000; ++i) small.push_back(Deflated("d" + std::to_string(i % 50) + "/f" + std::to_string(i), std::string(3000, 'a' + i % 26), 4096));
    const std::string many = WrittenFile(small);
    small = std::vector<PackResource>();  // out of the test's own memory
    const std::string one = WrittenFile({Deflated("one", std::string(32 * MIB, 'x'), 65536, 9)});
    for (const std::string* bytes : {&many, &one}) {
        TempDir dir;
        ASSERT_TRUE(WriteWholeFile(dir / "f.rux", *bytes));
        for (const std::vector<std::string>& args : {std::vector<std::string>{"-O", "-j", "2", dir / "f.rux"},
                                                    {"-q", "-j", "2", dir / "f.rux", dir / "out"}}) {
            const RunResult r = ::Run(ProgramFromEnvironment("RUX_EXTRACT"), args, dir.path(), 60);
            EXPECT_EQ(0, r.status) << r.errors;
            ExpectPeakBelow(r, (16 + 2 * 2) * 1024, (bytes == &many ? "many" : "one") + args[0]);
        }
    }
}

// The cache keeps CACHE_BYTES or one block, whichever is larger: with
// blocks of 16 MiB each job holds one block and its packed bytes, not
// eight. Four resources of three such blocks, tested on 1, 2 and 4 jobs:
// of zeros, whose packed bytes are few, and of bytes that pack poorly,
// whose packed bytes are nearly a block more per job.
TEST(MemoryBound, LargeBlocksAddOneBlockAndItsPackedBytesPerJob) {
    for (const int zeros : {1, 0}) {
        TempDir dir;
        {
            // Made and written before the runs, and let go: a child's peak
            // counts the pages of the test it was forked from.
            std::string data(3 * MAX_BLOCK_BYTES, '\0');
            std::uint32_t seed = 1;
            for (char& c : data) {
                seed = seed * 1103515245u + 12345u;
                if (!zeros) c = static_cast<char>('a' + (seed >> 16) % 64);
            }
            std::vector<PackResource> resources;
            for (int i = 0; i < 4; ++i) resources.push_back(Deflated("b" + std::to_string(i), data, MAX_BLOCK_BYTES, zeros ? 9 : 1));
            data = std::string();
            const std::string bytes = WrittenFile(resources);
            resources = std::vector<PackResource>();
            ASSERT_TRUE(WriteWholeFile(dir / "f.rux", bytes));
        }
        for (const char* jobs : {"1", "2", "4"}) {
            const RunResult r = ::Run(ProgramFromEnvironment("RUX_EXTRACT"), {"-t", "-j", jobs, dir / "f.rux"}, dir.path(), 120);
            EXPECT_EQ(0, r.status) << r.errors;
            EXPECT_NE(std::string::npos, r.output.find("4 resources read, 0 failed")) << r.output;
            const long perJob = zeros ? 16 + 2 : 2 * 16 + 2;
            ExpectPeakBelow(r, (16 + std::atol(jobs) * perJob) * 1024, std::string(zeros ? "zeros" : "noisy") + " jobs " + jobs);
        }
    }
}
