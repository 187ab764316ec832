#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/disk_file.h"
#include "tests/support/fixture.h"

using namespace rux;

namespace {

std::string ReadAt(DiskFile& f, std::int64_t offset, std::uint32_t count) {
    std::string out(count, '\0');
    if (f.Seek(offset, SEEK_FROM_BEGIN) != offset) return "<seek failed>";
    out.resize(f.Read(&out[0], count));
    return out;
}

}  // namespace

TEST(DiskFile, MissingFileInModeZeroStaysInvalid) {
    TempDir dir;
    DiskFile f;
    EXPECT_EQ(0, f.Open((dir / "missing").c_str(), 0));
    EXPECT_FALSE(f.IsValid());
    EXPECT_EQ(0, f.Open((dir / "missing").c_str(), OPEN_WRITE));
    EXPECT_FALSE(FileExists(dir / "missing"));
}

TEST(DiskFile, CreateModeTruncatesAnExistingFile) {
    TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir / "f", "old contents"));
    DiskFile f;
    ASSERT_EQ(1, f.Open((dir / "f").c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_EQ(0, f.Size());
    f.Close();
    EXPECT_EQ("", ReadWholeFile(dir / "f"));
}

TEST(DiskFile, ModeZeroIsReadOnlyAndWriteAloneKeepsTheContents) {
    TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir / "f", "abcdef"));
    DiskFile f;
    ASSERT_EQ(1, f.Open((dir / "f").c_str(), 0));
    EXPECT_EQ(0u, f.Write("XY", 2));
    f.Close();
    ASSERT_EQ(1, f.Open((dir / "f").c_str(), OPEN_WRITE));
    EXPECT_EQ(2u, f.Write("XY", 2));
    f.Close();
    EXPECT_EQ("XYcdef", ReadWholeFile(dir / "f"));
}

TEST(DiskFile, ADirectoryIsNotAFile) {
    TempDir dir;
    DiskFile f;
    EXPECT_EQ(0, f.Open(dir.path().c_str(), 0));
    EXPECT_FALSE(f.IsValid());
}

TEST(DiskFile, RoundTripSeekSizeAndEndOfFile) {
    TempDir dir;
    DiskFile f;
    ASSERT_EQ(1, f.Open((dir / "f").c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_EQ(10u, f.Write("0123456789", 10));
    EXPECT_EQ(10, f.Size());
    EXPECT_EQ("3456", ReadAt(f, 3, 4));
    EXPECT_EQ(9, f.Seek(2, SEEK_FROM_CURRENT));
    char c[4];
    EXPECT_EQ(1u, f.Read(c, 4));  // short at the end
    EXPECT_EQ(0u, f.Read(c, 4));  // then nothing
    // A target before the start fails and leaves the position alone.
    EXPECT_EQ(-1, f.Seek(-11, SEEK_FROM_CURRENT));
    EXPECT_EQ(10, f.Seek(0, SEEK_FROM_CURRENT));
    // Positioned transfers: past the end leaves a hole; reads stop at the end.
    EXPECT_EQ(3u, f.WriteAt("abc", 3, 12));
    EXPECT_EQ(2u, f.WriteAt("XY", 2, 1));
    char d[20];
    EXPECT_EQ(15u, f.ReadAt(d, 20, 0));
    EXPECT_EQ(std::string("0XY3456789\0\0abc", 15), std::string(d, 15));
    EXPECT_EQ(2u, f.ReadAt(d, 4, 13));
    EXPECT_EQ("bc", std::string(d, 2));
    EXPECT_EQ(0u, f.ReadAt(d, 4, 15));
    EXPECT_EQ(0u, f.ReadAt(d, 4, -1));
    EXPECT_EQ(0u, f.WriteAt("Z", 1, -1));
    EXPECT_EQ(15, f.Size());
    EXPECT_EQ(1, f.Flush());
    EXPECT_EQ(1, f.Close());
    EXPECT_EQ(1, SyncDirectory(dir.path().c_str()));
    EXPECT_EQ(std::string("0XY3456789\0\0abc", 15), ReadWholeFile(dir / "f"));
}

// A call that fails keeps the system's reason, and fails whatever the
// path: one longer than the system takes fails every call, never opens.
TEST(DiskFile, FailuresKeepTheirReasonAndPathsTooLongFail) {
    TempDir dir;
    const std::string tooLong = dir.path() + "/" + std::string(5000, 'n');
    DiskFile f;
    KeepError(0);
    EXPECT_EQ(0, f.Open(tooLong.c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_FALSE(f.IsValid());
    EXPECT_NE(0, LastError());
    EXPECT_EQ(0, f.Open(tooLong.c_str(), 0));
    EXPECT_EQ(0, MakeDirectory(tooLong.c_str()));
    EXPECT_EQ(0, RenameReplacing(tooLong.c_str(), (dir / "x").c_str()));
#ifndef _WIN32
    const std::string f2 = dir / "f";
    for (int call = 0; call < 4; ++call) {
        SCOPED_TRACE(call);
        KeepError(0);
        const int done = call == 0   ? f.Open(tooLong.c_str(), 0)
                         : call == 1 ? MakeDirectory(tooLong.c_str())
                         : call == 2 ? SyncDirectory(tooLong.c_str())
                                     : RenameReplacing(f2.c_str(), tooLong.c_str());
        EXPECT_EQ(0, done);
        EXPECT_EQ(PathTooLongError(), LastError());
    }
    // The system's own reasons.
    EXPECT_EQ(0, f.Open((dir / "missing").c_str(), 0));
    EXPECT_EQ(ENOENT, LastError());
    ASSERT_EQ(1, MakeDirectory((dir / "d").c_str()));
    EXPECT_EQ(0, MakeDirectory((dir / "d").c_str()));
    EXPECT_EQ(AlreadyExistsError(), LastError());
    EXPECT_EQ(0, RenameReplacing((dir / "missing").c_str(), (dir / "x").c_str()));
    EXPECT_EQ(ENOENT, LastError());
    // A character device takes no sync.
    ASSERT_EQ(1, f.Open("/dev/null", OPEN_WRITE));
    KeepError(0);
    EXPECT_EQ(0, f.Flush());
    EXPECT_EQ(EINVAL, LastError());
    f.Close();
#endif
    // The first byte is a position like any other.
    ASSERT_EQ(1, f.Open((dir / "w").c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_EQ(2u, f.WriteAt("ab", 2, 0));
    EXPECT_EQ(-1, f.Seek(-1, SEEK_FROM_BEGIN));
    f.Close();
    EXPECT_EQ("ab", ReadWholeFile(dir / "w"));
}

TEST(DiskFile, CloseTwiceAndInvalidObjects) {
    TempDir dir;
    DiskFile f;
    ASSERT_EQ(1, f.Open((dir / "f").c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_EQ(1, f.Close());
    EXPECT_EQ(0, f.Close());
    EXPECT_FALSE(f.IsValid());
    char c;
    EXPECT_EQ(0u, f.Read(&c, 1));
    EXPECT_EQ(0u, f.Write(&c, 1));
    EXPECT_EQ(0u, f.ReadAt(&c, 1, 0));
    EXPECT_EQ(0u, f.WriteAt(&c, 1, 0));
    EXPECT_EQ(-1, f.Seek(0, SEEK_FROM_BEGIN));
    EXPECT_EQ(-1, f.Size());
    EXPECT_EQ(0, f.Flush());
}

// Every 32-bit offset is reachable: beyond 2 GiB and up to 4 GiB - 1.
TEST(DiskFile, OffsetsBeyondTwoGiBInASparseFile) {
    TempDir dir;
    DiskFile f;
    ASSERT_TRUE(WriteWholeFile(dir / "sparse", ""));
    ASSERT_TRUE(ResizeFile(dir / "sparse", 0xC0000000ll));
    ASSERT_EQ(1, f.Open((dir / "sparse").c_str(), OPEN_WRITE));
    EXPECT_EQ(0xC0000000ll, f.Size());
    ASSERT_EQ(0x80000010ll, f.Seek(0x80000010ll, SEEK_FROM_BEGIN));
    EXPECT_EQ(4u, f.Write("2GiB", 4));
    ASSERT_EQ(0xFFFFFFF0ll, f.Seek(0xFFFFFFF0ll, SEEK_FROM_BEGIN));
    EXPECT_EQ(16u, f.Write("last sixteen b..", 16));
    EXPECT_EQ(0x100000000ll, f.Size());  // the whole size, not its low 32 bits
    EXPECT_EQ(4u, f.WriteAt("3GiB", 4, 0xC0000004ll));
    f.Close();

    ASSERT_EQ(1, f.Open((dir / "sparse").c_str(), 0));
    EXPECT_EQ("2GiB", ReadAt(f, 0x80000010ll, 4));
    EXPECT_EQ(std::string(4, '\0'), ReadAt(f, 0x8000000Cll, 4));  // the hole before it
    EXPECT_EQ("last sixteen b..", ReadAt(f, 0xFFFFFFF0ll, 100));
    char d[8];
    EXPECT_EQ(8u, f.ReadAt(d, 8, 0xC0000000ll));
    EXPECT_EQ(std::string("\0\0\0\0003GiB", 8), std::string(d, 8));
    f.Close();
}

TEST(DiskFile, BackslashesAreSeparators) {
    TempDir dir;
    ASSERT_EQ(1, MakeDirectory((dir.path() + "\\sub").c_str()));
    DiskFile f;
    ASSERT_EQ(1, f.Open((dir.path() + "\\sub\\file").c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_EQ(2u, f.Write("ok", 2));
    f.Close();
    EXPECT_EQ("ok", ReadWholeFile(dir / "sub/file"));
}

TEST(MakeDirectory, CreatesOneLevelOnly) {
    TempDir dir;
    EXPECT_EQ(1, MakeDirectory((dir / "a").c_str()));
    EXPECT_TRUE(IsDirectory(dir / "a"));
    EXPECT_EQ(0, MakeDirectory((dir / "a").c_str()));  // exists already
    EXPECT_EQ(0, MakeDirectory((dir / "x/y").c_str()));  // missing parent
    EXPECT_FALSE(FileExists(dir / "x"));
}
