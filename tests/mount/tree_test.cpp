// rux-mount's tree and requests, answered without a FUSE device: the
// layout rules, lookups in any case, attributes, reads and refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mount/fs.h"
#include "mount/tree.h"
#include "resource/cache.h"
#include "resource/format.h"
#include "resource/index.h"
#include "tests/support/fixture.h"

namespace {

// The tree as lines: "dir/" for a directory, "path=data" for a file,
// depth first in listing order.
void Describe(const ResourceSet& set, const MountTree& tree, int node, const std::string& prefix,
              std::vector<std::string>* lines) {
    for (int child : tree.Nodes()[static_cast<std::size_t>(node)].children) {
        const MountNode& c = tree.Nodes()[static_cast<std::size_t>(child)];
        const std::string path = prefix + c.name;
        if (c.IsDirectory()) {
            lines->push_back(path + "/");
            Describe(set, tree, child, path + "/", lines);
            continue;
        }
        std::string data(c.size, '\0');
        EXPECT_EQ(static_cast<std::int64_t>(c.size), set.ReadAt(c.slot, 0, &data[0], static_cast<std::uint32_t>(c.size)));
        lines->push_back(path + "=" + data);
    }
}

struct Mounted {
    TempDir dir;
    ResourceSet set;
    MountTree tree;
    std::string messages;

    // Each list of resources is one file, mounted in order.
    explicit Mounted(const std::vector<std::vector<PackResource>>& files) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string path = dir / ("f" + std::to_string(i) + ".rux");
            std::string error;
            EXPECT_EQ(1, WriteResourceFile(path, files[i], &error)) << error;
            EXPECT_TRUE(set.Mount(path.c_str()).ok());
        }
        tree.Build(set, &messages);
    }
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        Describe(set, tree, 0, "", &lines);
        return lines;
    }
};

TEST(MountTree, FollowsTheLayoutRules) {
    struct Case {
        const char* what;
        std::vector<std::vector<PackResource>> files;
        std::vector<std::string> lines;
        std::string messages;
    };
    const std::vector<Case> cases = {
        {"both separators, every kind",
         {{Stored("a/b.txt", "B"), Deflated("a\\c\\d.txt", "D", 4096), Loose("e.txt", "E")}},
         {"a/", "a/b.txt=B", "a/c/", "a/c/d.txt=D", "e.txt=E"},
         ""},
        {"unsafe names, as rux-extract refuses them",
         {{Stored("../up", "x"), Stored("/abs", "x"), Stored("c:/d", "x"), Stored("bell\a", "x"), Stored("ok", "K")}},
         {"ok=K"},
         "Refused unsafe name ../up\nRefused unsafe name /abs\nRefused unsafe name c:/d\n"
         "Refused unsafe name bell\\007\n"},
        {"a path that is also a directory is the directory",
         {{Stored("x", "file"), Stored("x/y", "Y"), Stored("p\\q\\r", "R"), Stored("p/q", "file")}},
         {"x/", "x/y=Y", "p/", "p/q/", "p/q/r=R"},
         "Not shown x: other resources make that path a directory\n"
         "Not shown p/q: other resources make that path a directory\n"},
        {"names equal but for case are files of their own, with the data a lookup of each finds",
         {{Stored("Text/Poem.txt", "first"), Stored("text/poem.txt", "second")}},
         {"Text/", "Text/Poem.txt=first", "text/", "text/poem.txt=second"},
         ""},
        {"the first file given wins a name",
         {{Stored("Same.txt", "patch"), Stored("new", "N")}, {Stored("Same.txt", "base"), Stored("old", "O")}},
         {"Same.txt=patch", "new=N", "old=O"},
         ""},
        {"one path from two names: the first file's",
         {{Stored("d/k", "patch")}, {Stored("d\\k", "base")}},
         {"d/", "d/k=patch"},
         "Not shown d\\k: d/k of an earlier file is the same resource\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Mounted m(c.files);
        std::vector<std::string> lines = m.Lines(), expected = c.lines;
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, lines);
        // The messages come in slot order; compare them as a set of lines.
        std::vector<std::string> said, want;
        for (std::size_t at = 0, end; (end = m.messages.find('\n', at)) != std::string::npos; at = end + 1) {
            said.push_back(m.messages.substr(at, end - at));
        }
        for (std::size_t at = 0, end; (end = c.messages.find('\n', at)) != std::string::npos; at = end + 1) {
            want.push_back(c.messages.substr(at, end - at));
        }
        std::sort(said.begin(), said.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(want, said);
    }
}

// A directory's link count is 2 and one per subdirectory: a file counts
// for none, whichever index slot it sits in (slot 0 too).
TEST(MountTree, LinkCountsCountSubdirectoriesOnly) {
    std::string first;
    for (int i = 0; first.empty(); ++i) {
        const std::string name = "s/f" + std::to_string(i);
        if (HomeSlot(name.c_str()) == 0) first = name;
    }
    Mounted m({{Stored(first, "0"), Stored("top", "1"), Stored("s/x/y", "Y"), Stored("s/z", "Z")}});
    ASSERT_EQ(0, m.set.Find(first.c_str()));
    MountSettings settings;
    MountFs fs(m.set, m.tree, settings);
    struct stat st;
    ASSERT_EQ(0, fs.Attributes(FUSE_ROOT_ID, &st));
    EXPECT_EQ(3u, st.st_nlink);  // ".", its entry, "s"
    struct fuse_entry_param entry;
    ASSERT_EQ(0, fs.Lookup(FUSE_ROOT_ID, "s", &entry));
    ASSERT_EQ(0, fs.Attributes(entry.ino, &st));
    EXPECT_EQ(3u, st.st_nlink);  // ".", its entry, "x"
}

TEST(MountTree, LeavesOutAResourceWhoseLooseFileIsMissing) {
    TempDir dir;
    RawFile raw = MakeRawFile({Loose("gone.txt", "never written"), Stored("here", "H")});
    ASSERT_EQ(1, WriteWholeFile(dir / "in.rux", raw.Serialize()));
    ResourceSet set;
    ASSERT_TRUE(set.Mount((dir / "in.rux").c_str()).ok());
    MountTree tree;
    std::string messages;
    tree.Build(set, &messages);
    ASSERT_EQ(2u, tree.Nodes().size());
    EXPECT_EQ("here", tree.Nodes()[1].name);
    EXPECT_EQ(0u, messages.find("Not shown gone.txt: cannot open loose file ")) << messages;
}

class MountRequests : public ::testing::Test {
protected:
    void SetUp() override {
        text = TextBytes(10 * 4096 + 123, 3);
        RawFile raw = MakeRawFile({Deflated("Big/Text.bin", text, 4096), Stored("dir/Stored", "stored bytes"),
                                   Deflated("bad", text, 4096)});
        // Block 2 of "bad" cannot inflate: its zlib header is broken.
        const std::vector<DirectoryRecord> records = GetRecords(raw);
        const std::uint32_t first = records[2].placement;
        const auto* offsets = reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data());
        raw.data[LoadLE32(offsets + 4 * (first + 2)) - FILE_HEADER_BYTES] ^= 0x55;
        ASSERT_EQ(1, WriteWholeFile(dir / "in.rux", raw.Serialize()));
        ASSERT_TRUE(set.Mount((dir / "in.rux").c_str()).ok());
        tree.Build(set, &messages);
        settings.uid = 123;
        settings.gid = 456;
        settings.times[0][1].tv_sec = 1000000;
        fs.reset(new MountFs(set, tree, settings));
    }
    fuse_ino_t Find(fuse_ino_t dir, const char* name) {
        struct fuse_entry_param entry;
        EXPECT_EQ(0, fs->Lookup(dir, name, &entry));
        return entry.ino;
    }
    std::string Read(fuse_ino_t ino, std::uint64_t offset, std::size_t size, long* got) {
        std::string buffer(size, '\0');
        *got = fs->Read(ino, offset, size, &buffer[0]);
        return buffer.substr(0, *got > 0 ? static_cast<std::size_t>(*got) : 0);
    }

    TempDir dir;
    std::string text, messages;
    ResourceSet set;
    MountTree tree;
    MountSettings settings;
    std::unique_ptr<MountFs> fs;
};

TEST_F(MountRequests, LookupsIgnoreCaseAndMissesAreCached) {
    const fuse_ino_t big = Find(FUSE_ROOT_ID, "BIG");
    ASSERT_NE(0u, big);
    EXPECT_EQ(big, Find(FUSE_ROOT_ID, "Big"));
    const fuse_ino_t file = Find(big, "text.BIN");
    ASSERT_NE(0u, file);
    EXPECT_EQ(file, Find(big, "Text.bin"));
    struct fuse_entry_param entry;
    EXPECT_EQ(0, fs->Lookup(FUSE_ROOT_ID, "nothing", &entry));
    EXPECT_EQ(0u, entry.ino);
    EXPECT_GT(entry.entry_timeout, 0.0);
    EXPECT_EQ(ENOTDIR, fs->Lookup(file, "x", &entry));
    EXPECT_EQ(ENOENT, fs->Lookup(9999, "x", &entry));
}

TEST_F(MountRequests, AttributesAndListings) {
    const fuse_ino_t big = Find(FUSE_ROOT_ID, "Big");
    const fuse_ino_t file = Find(big, "Text.bin");
    struct stat st;
    ASSERT_EQ(0, fs->Attributes(file, &st));
    EXPECT_EQ(static_cast<mode_t>(S_IFREG | 0444), st.st_mode);
    EXPECT_EQ(static_cast<off_t>(text.size()), st.st_size);
    EXPECT_EQ(static_cast<blkcnt_t>((set.Slots()[tree.Nodes()[file - 1].slot].packedSize + 511) / 512), st.st_blocks);
    EXPECT_GT(st.st_blocks, 0);
    EXPECT_EQ(123u, st.st_uid);
    EXPECT_EQ(456u, st.st_gid);
    EXPECT_EQ(1000000, st.st_mtim.tv_sec);
    ASSERT_EQ(0, fs->Attributes(FUSE_ROOT_ID, &st));
    EXPECT_EQ(static_cast<mode_t>(S_IFDIR | 0555), st.st_mode);
    EXPECT_EQ(4u, st.st_nlink);  // ".", its entry, "Big" and "dir"

    std::vector<MountDirEntry> entries;
    ASSERT_EQ(0, fs->ReadDirectory(FUSE_ROOT_ID, 0, &entries));
    std::vector<std::string> names;
    for (const MountDirEntry& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{".", "..", "Big", "bad", "dir"}), names);
    // A listing resumed at an entry's next offset gives what follows it.
    std::vector<MountDirEntry> rest;
    ASSERT_EQ(0, fs->ReadDirectory(FUSE_ROOT_ID, entries[2].next, &rest));
    ASSERT_EQ(entries.size() - 3, rest.size());
    EXPECT_EQ(entries[3].name, rest[0].name);
    EXPECT_EQ(ENOTDIR, fs->ReadDirectory(file, 0, &entries));
    struct statvfs vfs;
    fs->StatFs(&vfs);
    EXPECT_TRUE(vfs.f_flag & ST_RDONLY);
}

TEST_F(MountRequests, ReadsGiveTheSourceBytesAndEioOnlyWhereABlockIsDamaged) {
    const fuse_ino_t good = Find(Find(FUSE_ROOT_ID, "Big"), "Text.bin");
    const fuse_ino_t bad = Find(FUSE_ROOT_ID, "bad");
    std::mt19937 random(7);
    long got = 0;
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t offset = random() % (text.size() + 10);
        const std::size_t size = random() % 20000;
        const std::string bytes = Read(good, offset, size, &got);
        const std::string want = offset < text.size() ? text.substr(offset, size) : "";
        ASSERT_EQ(static_cast<long>(want.size()), got) << offset << " " << size;
        ASSERT_EQ(want, bytes);
        // The damaged copy: block 2 holds bytes 8192 to 12287.
        const bool touches = offset < text.size() && size > 0 && offset < 3 * 4096 && offset + size > 2 * 4096;
        const std::string other = Read(bad, offset, size, &got);
        if (touches) {
            ASSERT_EQ(-EIO, got) << offset << " " << size;
        } else {
            ASSERT_EQ(want, other) << offset << " " << size;
        }
    }
    EXPECT_EQ(-EISDIR, fs->Read(FUSE_ROOT_ID, 0, 10, &text[0]));
}

TEST_F(MountRequests, AnAlignedPageReadInflatesAtMostOneBlock) {
    const fuse_ino_t good = Find(Find(FUSE_ROOT_ID, "Big"), "Text.bin");
    std::mt19937 random(11);
    long got = 0;
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t before = TheBlockCache().inflations;
        const std::uint64_t offset = (random() % (text.size() / 4096 + 1)) * 4096;
        const std::string bytes = Read(good, offset, 4096, &got);
        ASSERT_LE(TheBlockCache().inflations - before, 1u);
        ASSERT_EQ(text.substr(offset, 4096), bytes);
    }
    CacheFree();
}

}  // namespace
