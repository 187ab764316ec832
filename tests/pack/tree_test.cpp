// The packer's rules, called directly: which files a walk takes, which kind
// each gets, and which trees are refused before anything is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "pack/tree.h"
#include "resource/format.h"
#include "resource/index.h"
#include "tests/support/fixture.h"

namespace fs = std::filesystem;

namespace {

PackEntry Entry(const std::string& name, std::uint64_t size = 1) {
    return {name, name, "/nonexistent/" + name, size};
}

TEST(PackTree, WalkSortsExcludesAndChoosesKinds) {
    TempDir tmp;
    for (const char* file : {"b/z.txt", "a.bin", "B/skip/x", "c.LOG", "b/y.raw"}) {
        fs::create_directories(fs::path(tmp / file).parent_path());
        std::ofstream(tmp / file) << file;
    }
    PackOptions options;
    options.dir = tmp.path();
    options.exclude = {"b/SKIP", "*.log"};
    options.store = {"*.raw"};
    options.loose = {"*.bin", "*.raw"};  // --loose wins over --store
    options.backslash = true;
    std::vector<PackEntry> entries;
    std::vector<PackWarning> warnings;
    std::string error;
    ASSERT_EQ(1, WalkPackTree(options, &entries, &warnings, &error)) << error;
    EXPECT_TRUE(warnings.empty());
    std::vector<std::string> seen;
    for (const PackEntry& entry : entries) {
        seen.push_back(entry.relative + "|" + entry.name + "|" +
                       std::to_string(PackKind(options, entry)) + "|" + std::to_string(entry.size));
    }
    EXPECT_EQ((std::vector<std::string>{"a.bin|a.bin|1|5", "b/y.raw|b\\y.raw|1|7",
                                        "b/z.txt|b\\z.txt|8|7"}),
              seen);
}

TEST(PackTree, Refusals) {
    PackOptions options;
    options.dir = "src";
    options.out = "/nonexistent/out.rux";
    const struct {
        std::vector<PackEntry> entries;
        std::vector<std::string> refusals;
    } cases[] = {
        {{Entry("a"), Entry("b/c")}, {}},
        {{Entry("Data/X"), Entry("data/x")}, {"refused names Data/X and data/x: they differ only in case"}},
        {{Entry("a\\b")}, {"refused name a\\b: rux-extract reads '\\' as a directory separator"}},
        {{Entry("con"), Entry("../up")},
         {"refused unsafe name con: rux-extract would not write it on every platform",
          "refused unsafe name ../up: rux-extract would not write it on every platform"}},
        {{Entry("out.rux")}, {"refused to overwrite /nonexistent/out.rux, one of the files being packed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries[0].name);
        EXPECT_EQ(c.refusals, PackRefusals(options, c.entries));
    }
    // A loose copy is a target too.
    options.out = "/nonexistent/o";
    options.loose = {"*"};
    EXPECT_EQ((std::vector<std::string>{"refused to overwrite /nonexistent/oa, one of the files being packed"}),
              PackRefusals(options, {Entry("a"), Entry("oa")}));
}

TEST(PackTree, IndexAndTableLimits) {
    PackOptions options;
    options.dir = "src";
    std::vector<PackEntry> full;
    for (int i = 0; i <= INDEX_SLOTS; ++i) full.push_back(Entry("f" + std::to_string(i)));
    const std::vector<std::string> tooMany = PackRefusals(options, full);
    ASSERT_EQ(1u, tooMany.size());
    EXPECT_EQ("src holds 4097 files; a resource file holds at most 4096 (-x leaves files out)", tooMany[0]);
    full.pop_back();
    EXPECT_TRUE(PackRefusals(options, full).empty());
    // One block offset per block: 2^21 one-byte blocks pass the table limit.
    options.blockSize = 1;
    const std::vector<std::string> offsets = PackRefusals(options, {Entry("big", 1u << 21)});
    ASSERT_EQ(1u, offsets.size());
    EXPECT_EQ(0u, offsets[0].find("the block offset table would inflate to ")) << offsets[0];
}

}  // namespace
