// What only the Win32 DiskFile does: its sharing flags, its handle values,
// mixed separators, and pipes that end with an error rather than a 0 read.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "platform/disk_file.h"
#include "tests/support/fixture.h"

using namespace rux;

TEST(Win32DiskFile, InvalidHandleIsTheSystemsInvalidHandle) {
    EXPECT_EQ(INVALID_FILE_HANDLE, reinterpret_cast<FileHandle>(INVALID_HANDLE_VALUE));
    DiskFile f;
    EXPECT_EQ(0, f.Open("Z:\\no\\such\\dir\\file", 0));
    EXPECT_EQ(INVALID_FILE_HANDLE, f.handle);
}

TEST(Win32DiskFile, ReadersShareButKeepWritersOut) {
    TempDir dir;
    const std::string path = dir / "shared.rux";
    ASSERT_TRUE(WriteWholeFile(path, "data"));

    DiskFile reader;
    ASSERT_EQ(1, reader.Open(path.c_str(), 0));
    DiskFile second;
    EXPECT_EQ(1, second.Open(path.c_str(), 0));
    second.Close();
    // The reader shares reading only: no one may open the file to write.
    EXPECT_EQ(0, second.Open(path.c_str(), OPEN_WRITE));
    EXPECT_EQ(0, second.Open(path.c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_FALSE(second.IsValid());
    reader.Close();

    // Nothing was truncated by the refused create.
    EXPECT_EQ("data", ReadWholeFile(path));
    EXPECT_EQ(1, second.Open(path.c_str(), OPEN_WRITE));
    second.Close();
}

TEST(Win32DiskFile, WriterSharesWithOtherWriters) {
    TempDir dir;
    const std::string path = dir / "out.bin";
    DiskFile first;
    ASSERT_EQ(1, first.Open(path.c_str(), OPEN_WRITE | OPEN_CREATE));
    DiskFile second;
    EXPECT_EQ(1, second.Open(path.c_str(), OPEN_WRITE));
    // A plain reader does not share writing, so it cannot join a writer.
    DiskFile reader;
    EXPECT_EQ(0, reader.Open(path.c_str(), 0));
    second.Close();
    first.Close();
}

TEST(Win32DiskFile, BothSeparatorsReachTheSameFile) {
    TempDir dir;
    ASSERT_EQ(1, MakeDirectory((dir.path() + "\\sub").c_str()));
    EXPECT_EQ(0, MakeDirectory((dir.path() + "/sub").c_str()));  // exists already
    ASSERT_TRUE(WriteWholeFile(dir.path() + "\\sub/mixed.txt", "xyz"));
    DiskFile f;
    ASSERT_EQ(1, f.Open((dir.path() + "/sub\\mixed.txt").c_str(), 0));
    EXPECT_EQ(3, f.Size());
    f.Close();
}

TEST(Win32DiskFile, PipeReadEndsWhenTheWriterCloses) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    // Two separate writes arrive as two transfers; Read joins them.
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(writeEnd, "abc", 3, &put, nullptr));
    ASSERT_TRUE(WriteFile(writeEnd, "de", 2, &put, nullptr));
    CloseHandle(writeEnd);

    DiskFile f;
    f.handle = reinterpret_cast<FileHandle>(readEnd);
    char buffer[16] = {};
    EXPECT_EQ(5u, f.Read(buffer, sizeof buffer));
    EXPECT_EQ(std::string("abcde"), std::string(buffer, 5));
    EXPECT_EQ(0u, f.Read(buffer, sizeof buffer));
    // A pipe has no size.
    EXPECT_EQ(-1, f.Size());
    EXPECT_EQ(1, f.Close());
}
