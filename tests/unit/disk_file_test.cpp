#include <gtest/gtest.h>

#include "platform/disk_file.h"

TEST(DiskFile, MissingFileInModeZero) {
    DiskFile f;
    EXPECT_EQ(0, f.Open("/nonexistent/definitely/missing", 0));
    EXPECT_FALSE(f.IsValid());
}
