// rux-mount on real mounts: the tree against rux-extract's, reads against
// the source bytes, damage, several files, refused writes, the signals that
// unmount, and every error. Needs /dev/fuse and the right to mount (root).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "resource/format.h"
#include "tests/support/fixture.h"
#include "tests/support/run.h"

namespace {

bool IsMounted(const std::string& path) {
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

// Every kind, nested names with both separators, unsafe names, and names
// equal but for case.
std::vector<PackResource> Generated(std::string* big) {
    *big = TextBytes(300000, 9) + RandomBytes(70000, 4);
    return {Stored("docs/Read.me", "read me"),
            Deflated("docs\\deep\\big.bin", *big, 4096),
            Deflated("docs/deep/one-block.txt", "just one block", 65536),
            Stored("empty", ""),
            Loose("loose/One.txt", "loose bytes"),
            Stored("Case/File.txt", "upper"),
            Stored("case/file.txt", "lower"),
            Stored("../evil", "outside"),
            Stored("a/../../b", "outside")};
}

TEST_F(Mount, TreeIsRuxExtractsForTheSampleAndAGeneratedFile) {
    MountOk({std::string(RUX_SOURCE_DIR) + "/examples/sample.rux"});
    ExpectExtractTree(std::string(RUX_SOURCE_DIR) + "/examples/sample.rux");
    ASSERT_EQ(0, RunProgram("fusermount3", {"-u", mnt}, dir.path()).status);
    RunProgram("rm", {"-rf", dir / "out"}, dir.path());

    std::string big;
    Write("gen.rux", Generated(&big));
    const RunResult r = MountFiles({"gen.rux"});
    ASSERT_EQ(0, r.status) << r.errors;
    EXPECT_NE(std::string::npos, r.errors.find("Refused unsafe name ../evil\n")) << r.errors;
    EXPECT_NE(std::string::npos, r.errors.find("Refused unsafe name a/../../b\n")) << r.errors;
    ExpectExtractTree("gen.rux");
    // Both spellings listed; a name in any case finds its file.
    EXPECT_EQ("upper", ReadWholeFile(mnt + "/Case/File.txt"));
    EXPECT_EQ(ReadWholeFile(dir / "out/case/file.txt"), ReadWholeFile(mnt + "/case/file.txt"));
    EXPECT_EQ("read me", ReadWholeFile(mnt + "/DOCS/READ.ME"));
    struct stat st;
    ASSERT_EQ(0, stat((mnt + "/docs/deep/big.bin").c_str(), &st));
    EXPECT_EQ(static_cast<mode_t>(S_IFREG | 0444), st.st_mode);
    EXPECT_GT(st.st_blocks, 0);
    struct stat source;
    ASSERT_EQ(0, stat((dir / "gen.rux").c_str(), &source));
    EXPECT_EQ(source.st_mtime, st.st_mtime);
    ASSERT_EQ(0, stat((mnt + "/docs").c_str(), &st));
    EXPECT_EQ(static_cast<mode_t>(S_IFDIR | 0555), st.st_mode);
}

TEST_F(Mount, RandomReadsFromSeveralThreadsGiveTheSourceBytes) {
    std::string big;
    Write("gen.rux", Generated(&big));
    MountOk({"-o", "umask=027,uid=1234,gid=5678", "gen.rux"});
    struct stat st;
    ASSERT_EQ(0, stat((mnt + "/docs/deep/big.bin").c_str(), &st));
    EXPECT_EQ(static_cast<mode_t>(S_IFREG | 0750), st.st_mode);
    EXPECT_EQ(1234u, st.st_uid);
    EXPECT_EQ(5678u, st.st_gid);
    EXPECT_EQ("loose bytes", ReadWholeFile(mnt + "/Loose/one.TXT"));
    std::vector<std::thread> readers;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            const int fd = open((mnt + "/DOCS/Deep/BIG.BIN").c_str(), O_RDONLY);
            if (fd < 0) {
                wrong[t] = -1;
                return;
            }
            std::mt19937 random(static_cast<unsigned>(t));
            std::string buffer(70000, '\0');
            for (int i = 0; i < 300; ++i) {
                const std::size_t offset = random() % (big.size() + 100);
                const std::size_t size = random() % buffer.size();
                const ssize_t got = pread(fd, &buffer[0], size, static_cast<off_t>(offset));
                const std::string want = offset < big.size() ? big.substr(offset, size) : "";
                if (got != static_cast<ssize_t>(want.size()) || buffer.compare(0, want.size(), want) != 0) ++wrong[t];
            }
            close(fd);
        });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(std::vector<int>(4, 0), wrong);
}

TEST_F(Mount, ADamagedBlockFailsOnlyTheReadsThatTouchIt) {
    const std::string text = TextBytes(16 * 4096, 5);
    RawFile raw = MakeRawFile({Deflated("bad.bin", text, 4096), Stored("fine", "fine")});
    const auto* offsets = reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data());
    raw.data[LoadLE32(offsets + 4 * (GetRecords(raw)[0].placement + 5)) - FILE_HEADER_BYTES] ^= 0x55;
    ASSERT_EQ(1, WriteWholeFile(dir / "bad.rux", raw.Serialize()));
    MountOk({"bad.rux"});
    const int fd = open((mnt + "/bad.bin").c_str(), O_RDONLY);
    ASSERT_LE(0, fd);
    std::string buffer(4096, '\0');
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t block = 0; block < 16; ++block) {
            const ssize_t got = pread(fd, &buffer[0], 4096, static_cast<off_t>(block * 4096));
            if (block == 5) {
                EXPECT_EQ(-1, got);
                EXPECT_EQ(EIO, errno);
            } else {
                ASSERT_EQ(4096, got) << block;
                EXPECT_EQ(text.substr(block * 4096, 4096), buffer) << block;
            }
        }
    }
    // A read across it gives the bytes before it, as read(2) does.
    EXPECT_EQ(100, pread(fd, &buffer[0], 4096, 5 * 4096 - 100));
    close(fd);
    EXPECT_EQ("fine", ReadWholeFile(mnt + "/fine"));
}

// A file cut short, its tables first: what lies before the cut is served,
// page by page, and then the read fails with EIO, for stored data and for
// a block alike; what lies wholly before it reads whole.
TEST_F(Mount, ACutFileServesTheBytesBeforeTheCutThenEio) {
    const std::string stored = RandomBytes(6 * 4096, 8), deflated = TextBytes(6 * 4096, 9);
    RawFile raw = MakeRawFile({Stored("s.bin", stored), Deflated("t.txt", deflated, 4096), Stored("u", "before")});
    const std::string bytes = TablesFirst(&raw);
    const std::vector<DirectoryRecord> records = GetRecords(raw);
    const std::vector<std::uint32_t> offsets = GetBlockOffsets(raw);
    const std::string names = raw.names.inflated;
    struct Case {
        std::string name, data;
        std::uint64_t cut;
        std::size_t served;
    };
    std::vector<Case> cases;
    std::uint64_t uEnd = 0;
    for (const DirectoryRecord& record : records) {
        const std::string name = names.c_str() + record.nameOffset;
        if (name == "u") uEnd = record.placement + 6;
        if (name == "s.bin") cases.push_back({name, stored, record.placement + 2 * 4096 + 100, 2 * 4096});
        if (name == "t.txt") cases.push_back({name, deflated, offsets.at(record.placement + 3) + 5, 3 * 4096});
    }
    ASSERT_EQ(2u, cases.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(1, WriteWholeFile(dir / "cut.rux", bytes.substr(0, c.cut)));
        MountOk({"cut.rux"});
        const int fd = open((mnt + "/" + c.name).c_str(), O_RDONLY);
        ASSERT_LE(0, fd);
        std::string got, buffer(65536, '\0');
        ssize_t n;
        while ((n = read(fd, &buffer[0], buffer.size())) > 0) got.append(buffer, 0, static_cast<std::size_t>(n));
        EXPECT_EQ(-1, n);
        EXPECT_EQ(EIO, errno);
        close(fd);
        EXPECT_EQ(c.data.substr(0, c.served), got);
        if (uEnd <= c.cut) {
            EXPECT_EQ("before", ReadWholeFile(mnt + "/u"));
        }
        ASSERT_EQ(0, RunProgram("fusermount3", {"-u", mnt}, dir.path()).status);
    }
}

// Reading a file's start puts the files after it in the kernel's page
// cache before anyone reads them; their bytes are right. A damaged file
// among them is never pushed and still fails its own read, and a file
// over 1 MiB is left to the kernel's readahead.
TEST_F(Mount, FilesAfterAReadArePushedIntoThePageCache) {
    std::vector<PackResource> resources;
    std::vector<std::string> texts;
    for (int i = 0; i < 6; ++i) {
        texts.push_back(TextBytes(9000 + 100 * i, 20 + i));
        resources.push_back(Deflated("d/f" + std::to_string(10 + i), texts.back(), 4096));
    }
    resources.push_back(Deflated("d/big", TextBytes(1100000, 3), 65536));
    RawFile raw = MakeRawFile(resources);
    const auto* offsets = reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data());
    raw.data[LoadLE32(offsets + 4 * (GetRecords(raw)[3].placement + 1)) - FILE_HEADER_BYTES] ^= 0x55;
    ASSERT_EQ(1, WriteWholeFile(dir / "many.rux", raw.Serialize()));
    MountOk({"many.rux"});
    // The files in listing order, which is the order pushed in; listing
    // them makes their inodes known to the kernel.
    std::vector<std::string> listed;
    for (const auto& entry : std::filesystem::directory_iterator(mnt + "/d")) listed.push_back(entry.path().filename().string());
    ASSERT_EQ((std::vector<std::string>{"f14", "f15", "f11", "f10", "f13", "big", "f12"}), listed);
    const auto resident = [this](const std::string& name) {
        const int fd = open((mnt + "/d/" + name).c_str(), O_RDONLY);
        void* map = fd < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
        unsigned char page = 0;
        const bool in = map != MAP_FAILED && mincore(map, 4096, &page) == 0 && (page & 1);
        if (map != MAP_FAILED) munmap(map, 4096);
        if (fd >= 0) close(fd);
        return in;
    };
    EXPECT_FALSE(resident("f12"));
    EXPECT_EQ(texts[4], ReadWholeFile(mnt + "/d/f14"));
    for (int wait = 0; wait < 200 && !resident("f12"); ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(resident("f12"));
    EXPECT_TRUE(resident("f15"));
    EXPECT_FALSE(resident("f13"));
    EXPECT_FALSE(resident("big"));
    for (int i = 0; i < 6; ++i) {
        if (i == 3) {
            const int fd = open((mnt + "/d/f13").c_str(), O_RDONLY);
            ASSERT_LE(0, fd);
            std::string buffer(65536, '\0');
            ssize_t got;
            while ((got = read(fd, &buffer[0], buffer.size())) > 0) {
            }
            EXPECT_EQ(-1, got);
            EXPECT_EQ(EIO, errno);
            close(fd);
        } else {
            EXPECT_EQ(texts[static_cast<std::size_t>(i)], ReadWholeFile(mnt + "/d/f" + std::to_string(10 + i))) << i;
        }
    }
}

TEST_F(Mount, TheFileGivenFirstWinsWhereNamesMeet) {
    Write("patch.rux", {Stored("text/poem.txt", "patched"), Stored("new.txt", "new")});
    Write("base.rux", {Stored("text/poem.txt", "base"), Deflated("Other/File.txt", "other", 4096)});
    MountOk({"patch.rux", "base.rux"});
    EXPECT_EQ("patched", ReadWholeFile(mnt + "/text/poem.txt"));
    EXPECT_EQ("patched", ReadWholeFile(mnt + "/Text/POEM.txt"));
    EXPECT_EQ("new", ReadWholeFile(mnt + "/new.txt"));
    EXPECT_EQ("other", ReadWholeFile(mnt + "/OTHER/file.TXT"));
    EXPECT_EQ((std::vector<std::string>{"Other/File.txt", "new.txt", "text/poem.txt"}),
              ListTree(mnt));
}

TEST_F(Mount, EveryWriteIsRefusedAndTheFileStaysAsItWas) {
    std::string big;
    Write("gen.rux", Generated(&big));
    const std::string before = ReadWholeFile(dir / "gen.rux");
    const std::string looseBefore = ReadWholeFile(dir / "gen.ruxloose/One.txt");
    MountOk({"gen.rux"});
    const std::string file = mnt + "/docs/Read.me", loose = mnt + "/loose/One.txt", sub = mnt + "/docs";
    struct Op {
        const char* what;
        std::function<int()> call;
    };
    const auto fails = [](int result) { return result < 0 ? errno : 0; };
    const std::vector<Op> ops = {
        {"open for writing", [&] { return fails(open(file.c_str(), O_WRONLY)); }},
        {"open for reading and writing", [&] { return fails(open(loose.c_str(), O_RDWR)); }},
        {"open to truncate", [&] { return fails(open(file.c_str(), O_RDONLY | O_TRUNC)); }},
        {"create", [&] { return fails(open((sub + "/new").c_str(), O_WRONLY | O_CREAT, 0644)); }},
        {"truncate", [&] { return fails(truncate(file.c_str(), 0)); }},
        {"mkdir", [&] { return fails(mkdir((mnt + "/d").c_str(), 0755)); }},
        {"mknod", [&] { return fails(mknod((mnt + "/fifo").c_str(), S_IFIFO | 0644, 0)); }},
        {"unlink", [&] { return fails(unlink(file.c_str())); }},
        {"rmdir", [&] { return fails(rmdir((mnt + "/empty").c_str()) == 0 ? 0 : rmdir((sub + "/deep").c_str())); }},
        {"rename", [&] { return fails(rename(file.c_str(), (sub + "/moved").c_str())); }},
        {"link", [&] { return fails(link(file.c_str(), (sub + "/linked").c_str())); }},
        {"symlink", [&] { return fails(symlink("x", (sub + "/sym").c_str())); }},
        {"chmod", [&] { return fails(chmod(file.c_str(), 0666)); }},
        {"chown", [&] { return fails(chown(file.c_str(), 1, 1)); }},
        {"utimes", [&] { return fails(utimensat(AT_FDCWD, file.c_str(), nullptr, 0)); }},
        {"setxattr", [&] { return fails(setxattr(file.c_str(), "user.x", "1", 1, 0)); }},
        {"removexattr", [&] { return fails(removexattr(file.c_str(), "user.x")); }},
    };
    for (const Op& op : ops) EXPECT_EQ(EROFS, op.call()) << op.what;
    EXPECT_EQ("read me", ReadWholeFile(file));
    EXPECT_EQ((std::vector<std::string>{"Case/File.txt", "case/file.txt", "docs/Read.me", "docs/deep/big.bin",
                                        "docs/deep/one-block.txt", "empty", "loose/One.txt"}),
              ListTree(mnt));
    ASSERT_EQ(0, RunProgram("fusermount3", {"-u", mnt}, dir.path()).status);
    EXPECT_EQ(before, ReadWholeFile(dir / "gen.rux"));
    EXPECT_EQ(looseBefore, ReadWholeFile(dir / "gen.ruxloose/One.txt"));
}

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
