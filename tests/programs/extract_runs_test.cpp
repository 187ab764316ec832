// rux-extract end to end: whole runs under stress: any number of jobs
// against the sequential result, standard output that fails, and fatal
// signals in the middle of a resource.
#include "tests/programs/extract_fixture.h"

using namespace extract_test;

namespace {

// Any number of jobs gives the sequential run's output, tree and status: on
// a file whose resources run in parallel (many small ones, a large deflated
// one with a damaged block in the middle, a large stored one, unsafe names,
// a missing loose file), on one whose names collide (duplicates, names
// equal but for case, a name that is a directory of another), on one of
// a single large resource, and on one whose first bytes are of a resource
// late in slot order that cannot be written.
TEST_F(Extract, JobsGiveTheSequentialResult) {
    // Large deflated and stored resources are cut into ranges.
    std::vector<PackResource> spread = {Deflated("big/deflated.txt", TextBytes(1200 * 4096, 3), 4096),
                                        Deflated("big/whole.txt", TextBytes(1100 * 4096 + 5, 6), 4096),
                                        Stored("big/stored.bin", RandomBytes(5 << 20, 4)),
                                        Loose("gone.txt", "never written"), Stored("../up", "up"),
                                        Stored("ctl\001x", "ctl")};
    for (int i = 0; i < 150; ++i) {
        const std::string name = "d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt";
        spread.push_back(i % 2 ? Stored(name, TextBytes(100 + i, i)) : Deflated(name, TextBytes(5000 + i, i), 4096));
    }
    RawFile raw = MakeRawFile(spread);
    const std::uint32_t middle = LoadLE32(reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data()) + 4 * 300);
    raw.data[middle - FILE_HEADER_BYTES] ^= 0x55;  // that block's zlib header
    WriteBytes(raw.Serialize(), "spread.rux");
    std::vector<PackResource> collide = {Stored("twice.txt", "one"), Stored("twice.txt", "two"),
                                         Stored("Case.TXT", "upper"), Deflated("case.txt", TextBytes(9000), 4096),
                                         Stored("dir", "a file"), Stored("dir/inner.txt", "inner"),
                                         Stored("DIR\\other.txt", "other"), Stored("dir/deeper/x", "x"),
                                         Stored("Dir/Deeper", "y")};
    for (int i = 0; i < 40; ++i) collide.push_back(Stored("free" + std::to_string(i), TextBytes(3000 + i, i)));
    // Extraction ends at "dir" (a directory by then). A large stored
    // resource right after it is cut into more ranges than two jobs start
    // at once: the rest are never run, and its temporary must go.
    collide.push_back(Stored(NameAtHome(HomeSlot("dir") + 1, "late"), RandomBytes(12 << 20, 9)));
    Write(collide, "collide.rux");

    Write({Deflated("one.txt", TextBytes(5 << 20, 7), 65536)}, "one.rux");
    // Blocks of a length that is no multiple of 4096, one of them damaged:
    // standard output gets the same bytes before the failure with any jobs.
    RawFile odd = MakeRawFile({Deflated("odd.txt", TextBytes(6 << 20, 8), 5000), Stored("after.txt", "after")});
    const std::uint32_t oddBlock = LoadLE32(reinterpret_cast<const std::uint8_t*>(odd.blocks.inflated.data()) + 4 * 700);
    odd.data[oddBlock - FILE_HEADER_BYTES] ^= 0x55;
    WriteBytes(odd.Serialize(), "odd.rux");
    // Workers take resources in the order of their bytes: the one that ends
    // the run (a name too long for the system) comes first, and those before
    // it in slot order, a large one cut into ranges among them, are read
    // after it.
    const std::string late = NameAtHome(5, "big/late");
    std::vector<PackResource> early = {Stored(NameAtHome(INDEX_SLOTS - 90, "w/" + std::string(300, 'n')), "x"),
                                       Stored(late, RandomBytes(12 << 20, 2))};
    for (int i = 0; i < 60; ++i) {
        const std::string name = "e" + std::to_string(i % 5) + "/f" + std::to_string(i);
        early.push_back(i % 2 ? Stored(name, TextBytes(200 + i, i)) : Deflated(name, TextBytes(3000 + i, i), 4096));
    }
    Write(early, "early.rux");

    for (const std::string file : {"spread.rux", "collide.rux", "one.rux", "odd.rux", "early.rux"}) {
        for (const std::string mode : {"", "-t", "-O"}) {
            SCOPED_TRACE(file + " " + mode);
            std::vector<std::string> args = {"-j", "1", file, "out"};
            if (!mode.empty()) args.insert(args.begin(), mode);
            if (mode == "-O") args.pop_back();
            fs::remove_all(At("out"));
            const RunResult sequential = Run(args);
            const Files tree = Tree();
            if (file == "spread.rux" || file == "odd.rux") {
                EXPECT_EQ(1, sequential.status);
                const std::string damaged = file == "odd.rux" ? "odd.txt" : "big/deflated.txt";
                EXPECT_NE(std::string::npos, (sequential.output + sequential.errors).find("Cannot read " + damaged));
            }
            if (file == "early.rux" && mode.empty()) {
                EXPECT_NE(std::string::npos, sequential.output.find("Cannot write")) << sequential.output;
                EXPECT_EQ(1u, tree.count(late)) << sequential.output;
            }
            if (file == "odd.rux" && mode == "-O") {
                // Every piece of 4096 bytes before the damaged block, then "after.txt".
                EXPECT_EQ(700u * 5000 / 4096 * 4096 + 5, sequential.output.size());
            }
            for (const std::string jobs : {"2", "3", "8"}) {
                SCOPED_TRACE(jobs);
                args[mode.empty() ? 1 : 2] = jobs;
                fs::remove_all(At("out"));
                const RunResult r = Run(args);
                EXPECT_EQ(sequential.status, r.status) << r.errors;
                EXPECT_EQ(sequential.output, r.output);
                if (!Launcher()) {
                    EXPECT_EQ(sequential.errors, r.errors);
                }
                // After a "Cannot write" that ends the run, files of later
                // resources may be complete too; never a partial one.
                const Files now = Tree();
                if (sequential.output.find("Cannot write") == std::string::npos) {
                    EXPECT_EQ(tree, now);
                    continue;
                }
                for (const auto& file : tree) EXPECT_EQ(file.second, now.count(file.first) ? now.at(file.first) : "-");
                for (const auto& file : now) EXPECT_EQ(std::string::npos, file.first.find(".rux-")) << file.first;
            }
        }
        // Standard output that takes nothing ends the run at the same
        // resource (through an emulator too; Windows has no /dev/full).
        if (Windows()) continue;
        std::vector<std::string> full = {"-c", "exec \"$0\" \"$@\" >/dev/full"};
        for (const std::string& word : ProgramFromEnvironment("RUX_EXTRACT").command) full.push_back(word);
        const std::size_t jobsAt = full.size() + 2;
        full.insert(full.end(), {"-O", "-j", "1", file});
        const RunResult sequential = RunProgram("/bin/sh", full, temp->path());
        EXPECT_EQ(1, sequential.status);
        EXPECT_NE(std::string::npos, sequential.errors.find("Cannot write standard output\n")) << sequential.errors;
        for (const std::string jobs : {"2", "8"}) {
            full[jobsAt] = jobs;
            const RunResult r = RunProgram("/bin/sh", full, temp->path());
            EXPECT_EQ(sequential.status, r.status) << file << " " << jobs;
            EXPECT_EQ(sequential.errors, r.errors) << file << " " << jobs;
        }
    }
}

// Standard output that takes nothing fails the run, in every mode, after
// all else was done; a run that prints nothing does not fail.
TEST_F(Extract, StandardOutputThatFailsFailsTheRun) {
    if (Windows()) GTEST_SKIP() << "needs /dev/full";
    Write(kKinds);
    const std::string full = "rux-extract: standard output: No space left on device\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string errors;
    };
    for (const Case& c : {Case{{"-l", "in.rux"}, 1, full}, Case{{"-t", "in.rux"}, 1, full},
                          Case{{"in.rux", "out"}, 1, full}, Case{{"-O", "in.rux"}, 1, "Cannot write standard output\n" + full},
                          Case{{"--help"}, 1, full}, Case{{"-q", "in.rux", "quiet"}, 0, ""}}) {
        SCOPED_TRACE(c.args[0]);
        const RunResult r = RunWithOutputTo(ProgramFromEnvironment("RUX_EXTRACT"), c.args, temp->path(), "/dev/full");
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.errors, r.errors);
    }
    EXPECT_EQ(FilesOf(kKinds), Tree("out"));
    EXPECT_EQ(FilesOf(kKinds), Tree("quiet"));
}

// A fatal signal in the middle of a large resource leaves nothing of it,
// an existing file of its name stays as it was, and the process ends by
// that signal: SIGKILL too, whose temporary never had a name.
TEST_F(Extract, FatalSignalsLeaveNoTemporaries) {
    if (Windows()) GTEST_SKIP() << "POSIX signals";
    // 512 MiB of zeros deflate to little, and take a while to write.
    ASSERT_TRUE(WriteWholeFile(At("zeros"), ""));
    fs::resize_file(At("zeros"), std::uint64_t{512} << 20);
    {
        PackWriter writer;
        std::string error;
        DiskFile zeros;
        ASSERT_TRUE(zeros.Open(At("zeros").c_str(), 0));
        ASSERT_TRUE(BeginPackFile(&writer, At("in.rux"), &error)) << error;
        ASSERT_TRUE(AddResource(&writer, "big.bin", KIND_DEFLATED, 1 << 20, 1, FileSource(&zeros), &error)) << error;
        ASSERT_TRUE(FinishPackFile(&writer, 6, &error)) << error;
        zeros.Close();
        fs::remove(At("zeros"));
    }
    int round = 0;
    for (const int signal : {SIGKILL, SIGQUIT, SIGPIPE, SIGTERM, SIGUSR1, SIGALRM}) {
        SCOPED_TRACE(signal);
        fs::remove_all(At("out"));
        fs::create_directory(At("out"));
        const bool replacing = ++round % 2 == 0;
        if (replacing) WriteBytes("old", "out/big.bin");
        EXPECT_EQ(signal, KillWhileWriting(ProgramFromEnvironment("RUX_EXTRACT"), {"in.rux", "out"}, temp->path(), "out", signal));
        const Files left = replacing ? Files{{"big.bin", "old"}} : Files{};
        EXPECT_EQ(left, Tree());
    }
    // Standard output closed by its reader while files are being written.
    std::vector<PackResource> many;
    for (int i = 0; i < 3000; ++i) many.push_back(Stored("f" + std::to_string(i), "x"));
    Write(many, "many.rux");
    fs::remove_all(At("out"));
    std::vector<std::string> args = {"-c", "\"$@\" | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}", "bash"};
    for (const std::string& word : ProgramFromEnvironment("RUX_EXTRACT").command) args.push_back(word);
    for (const char* word : {"-j", "2", "many.rux", "out"}) args.push_back(word);
    const RunResult piped = RunProgram("/bin/bash", args, temp->path());
    EXPECT_EQ(128 + SIGPIPE, piped.status);
    for (const std::string& file : ListTree(At("out"))) ASSERT_EQ("x", ReadWholeFile(At("out/" + file))) << file;
}


}  // namespace
