// rux-mount on real mounts: the tree against rux-extract's, reads against
// the source bytes from several threads, damage, the page cache filled
// ahead, several files, and refused writes. Needs /dev/fuse and the right
// to mount (root).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/mount/mount_fixture.h"

namespace {

using namespace mount_test;

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

}  // namespace
