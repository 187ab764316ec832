#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "resource/stream.h"
#include "tests/resource/resource_support.h"

using namespace rux;

namespace {

// The nth name of the form prefix<number> whose home slot is slot.
std::string NameAtHome(int slot, const std::string& prefix, int nth = 0) {
    for (int i = 0;; ++i) {
        std::string name = prefix + std::to_string(i);
        if (HomeSlot(name.c_str()) == slot && nth-- == 0) return name;
    }
}

// What a mount must not change when it fails.
struct Snapshot {
    std::vector<std::string> slots;
    std::vector<int> mounts;
    bool operator==(const Snapshot& o) const { return slots == o.slots && mounts == o.mounts; }
};

Snapshot Take() {
    Snapshot s;
    for (int i = 0; i < INDEX_SLOTS; ++i) {
        const ResourceEntry& e = IndexSlots()[i];
        if (e.kind) s.slots.push_back(std::to_string(i) + ":" + e.name + ":" + std::to_string(e.kind));
    }
    for (int i = 0; i < MOUNT_SLOTS; ++i) s.mounts.push_back(MountSlots()[i].inUse);
    return s;
}

}  // namespace

using Index = ResourceTest;

TEST_F(Index, HomeSlotsAreTheLow12BitsOfTheCrc) {
    EXPECT_EQ(2128, HomeSlot("abc"));
    EXPECT_EQ(1324, HomeSlot("ABC"));
    ASSERT_EQ(1, Mount({Stored("abc", "1"), Stored("ABC", "2")}));
    EXPECT_EQ("abc", std::string(Entry(2128).name));
    EXPECT_EQ("ABC", std::string(Entry(1324).name));
}

TEST_F(Index, CollisionChainsWrapFrom4095ToZero) {
    const std::string a = NameAtHome(4095, "a"), b = NameAtHome(4095, "b"),
                      c = NameAtHome(0, "c"), d = NameAtHome(100, "d"), e = NameAtHome(100, "e");
    ASSERT_EQ(1, Mount({Stored(a, "a"), Stored(b, "b"), Stored(c, "c"), Stored(d, "d"),
                        Stored(e, "e")}));
    const std::pair<std::string, int> expected[] = {{a, 4095}, {b, 0}, {c, 1}, {d, 100}, {e, 101}};
    for (const auto& x : expected) {
        EXPECT_EQ(x.first, std::string(Entry(x.second).name));
        EXPECT_EQ(x.second, LookupResource(x.first.c_str())) << x.first;
    }
    EXPECT_EQ(-1, LookupResource(NameAtHome(4095, "z").c_str()));
}

TEST_F(Index, LookupIgnoresTheCaseOfAsciiLettersOnly) {
    ASSERT_EQ(1, Mount({Stored("Dir\\File.TXT", "1"), Stored("\xC4rger", "2")}));
    const int slot = LookupResource("Dir\\File.TXT");
    ASSERT_GE(slot, 0);
    EXPECT_EQ(slot, LookupResource("dir\\file.txt"));
    EXPECT_EQ(slot, LookupResource("DIR\\FILE.txt"));
    EXPECT_EQ(-1, LookupResource("Dir/File.TXT"));
    EXPECT_EQ(-1, LookupResource("Dir\\File.TX"));
    EXPECT_GE(LookupResource("\xC4RGER"), 0);
    EXPECT_EQ(-1, LookupResource("\xE4rger"));  // not an ASCII letter: no folding
    EXPECT_EQ(-1, LookupResource("missing"));
}

TEST_F(Index, EmptyDirectoryMountsAndTheSeventeenthMountFails) {
    const std::string path = Write("empty.rux", MakeRawFile({}).Serialize());
    for (int i = 0; i < MOUNT_SLOTS; ++i) {
        ASSERT_EQ(1, MountResourceFile(path.c_str())) << i;
        EXPECT_EQ(1, MountSlots()[i].inUse);
    }
    EXPECT_EQ(0, OccupiedSlots());
    EXPECT_EQ(0, MountResourceFile(path.c_str()));
    EXPECT_EQ("no free mount slot: 16 files are mounted",
              MountErrorText(DefaultResourceSet().Mount(path.c_str())));
}

TEST_F(Index, KindZeroRecordsLeaveTheirSlotFree) {
    PackResource none = Stored("q", "zero");
    none.kind = 0;
    ASSERT_EQ(1, Mount({none, Stored("other", "kept")}));
    EXPECT_EQ(-1, LookupResource("q"));
    EXPECT_EQ(1, OccupiedSlots());
    // A later record takes the slot that kind 0 left free.
    ASSERT_EQ(1, Mount({Stored("q", "later")}, "second.rux"));
    EXPECT_EQ(HomeSlot("q"), LookupResource("q"));
    EXPECT_EQ(KIND_STORED, Entry(HomeSlot("q")).kind);
    EXPECT_EQ(1, Entry(HomeSlot("q")).fileSlot);
}

TEST_F(Index, ResourceBeyondAFullIndexReplacesItsHomeSlotAndItsState) {
    std::vector<PackResource> many;
    for (int i = 0; i < INDEX_SLOTS; ++i) {
        many.push_back(Deflated("r" + std::to_string(i), "data " + std::to_string(i), 16));
    }
    ASSERT_EQ(1, Mount(many));
    ASSERT_EQ(INDEX_SLOTS, OccupiedSlots());

    const char* newcomer = "newcomer";
    const int home = HomeSlot(newcomer);
    const std::string old = Entry(home).name;
    ASSERT_EQ(1, OpenSlot(home));
    ASSERT_FALSE(ReadAllDeflated(home).empty());
    ASSERT_NE(nullptr, CacheLookup(home, 0));

    std::string error;
    ASSERT_TRUE(WriteResourceFile(dir / "second.rux", {Stored(newcomer, "new data"), Stored("other", "x")}, &error));
    const MountResult second = DefaultResourceSet().Mount((dir / "second.rux").c_str());
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(2u, second.records);
    EXPECT_EQ(2u, second.replaced);  // the caller can tell that two resources are gone
    EXPECT_EQ(INDEX_SLOTS, OccupiedSlots());
    EXPECT_EQ(home, LookupResource(newcomer));
    EXPECT_EQ(-1, LookupResource(old.c_str()));
    EXPECT_EQ(0, State(home).open);
    EXPECT_EQ(nullptr, CacheLookup(home, 0));
    ResourceStream s;
    ASSERT_EQ(1, s.Open(newcomer));
    char buffer[16];
    EXPECT_EQ("new data", std::string(buffer, s.Read(buffer, sizeof buffer)));
}

TEST_F(Index, UntrustworthyDirectoriesAreRefusedForTheirReasonLeavingTheTablesAlone) {
    ASSERT_EQ(1, Mount({Stored("prior", "p")}, "prior.rux"));
    const RawFile good = MakeRawFile({Stored("a", "x"), Deflated("b", "yy"), Stored("c", "z")});
    // Where a cut-short table's bytes end: after the header (8 bytes), the
    // data and the tables before it, 12 header bytes and the claimed length.
    const std::string fileSize = Grouped(good.Serialize().size());
    const std::uint64_t namesAt = 8 + good.data.size() + SerializeTable(good.directory).size() + 12;
    struct Case {
        std::string reason;
        std::function<std::string(RawFile&)> damage;
    };
    auto fileOf = [](RawFile& f) { return f.Serialize(); };
    auto edit = [fileOf](std::function<void(RawFile&)> change) {
        return [fileOf, change](RawFile& f) { change(f); return fileOf(f); };
    };
    const Case cases[] = {
        {"not a resource file", edit([](RawFile& f) { f.magic = "RUXB"; })},
        {"not a resource file", [](RawFile&) { return std::string(); }},
        {"cut short: the file ends at byte 7, and its header needs bytes up to 8",
         [](RawFile& f) { return f.Serialize().substr(0, 7); }},
        {"cut short: the file ends at byte " + fileSize + ", and its directory table needs bytes up to " +
             Grouped(8 + (1u << 20) + 12),
         edit([](RawFile& f) { f.overrideSkip = true; f.skip = 1u << 20; })},
        {"damaged directory table: its records are not 20 bytes",
         edit([](RawFile& f) { f.directory.count = 1; f.directory.elementSize = 60; })},
        {"damaged block offset table: its offsets are not 4 bytes",
         edit([](RawFile& f) { f.blocks.count = 1; f.blocks.elementSize = 8; })},
        {"damaged directory: record 2 names a place outside the names table",
         edit([](RawFile& f) { SetRecordField(&f, 2, &DirectoryRecord::nameOffset, f.names.count); })},
        {"damaged names table: the name of record 2 does not end",
         edit([](RawFile& f) { f.names.inflated.pop_back(); --f.names.count; })},
        {"damaged directory table: its data does not inflate to its length",
         edit([](RawFile& f) { f.directory.count = 2; })},
        {"damaged names table: its data does not inflate to its length",
         edit([](RawFile& f) { f.names.overridePacked = true; f.names.packed = "xx"; })},
        {"damaged block offset table: its data does not inflate to its length",
         edit([](RawFile& f) { f.blocks.overridePackedLength = true; f.blocks.packedLength = 5; })},
        {"cut short: the file ends at byte " + fileSize + ", and its names table needs bytes up to " +
             Grouped(namesAt + (1u << 20)),
         edit([](RawFile& f) { f.names.overridePackedLength = true; f.names.packedLength = 1u << 20; })},
        {"damaged directory table: it claims more than 8 MiB",
         edit([](RawFile& f) { f.directory.count = (8u << 20) / 20 + 1; })},
    };
    const Snapshot before = Take();
    for (const Case& c : cases) {
        RawFile damaged = good;
        const std::string path = Write("damaged.rux", c.damage(damaged));
        EXPECT_EQ(0, MountResourceFile(path.c_str())) << c.reason;
        EXPECT_EQ(c.reason, MountErrorText(DefaultResourceSet().Mount(path.c_str())));
        EXPECT_TRUE(before == Take()) << c.reason;
    }
    // Files that cannot be opened give the system's reason.
    EXPECT_EQ("cannot open: " + ErrorText(ENOENT),
              MountErrorText(DefaultResourceSet().Mount((dir / "missing.rux").c_str())));
    EXPECT_EQ(MountError::CANNOT_OPEN, DefaultResourceSet().Mount(dir.path().c_str()).error);
    EXPECT_TRUE(before == Take());
    // The undamaged file mounts, into the next slot.
    ASSERT_EQ(1, Mount(good, "good.rux"));
    EXPECT_EQ(1, Entry(LookupResource("b")).fileSlot);
}

TEST_F(Index, PathsTooLongForTheMountSlotAreRefused) {
    const std::string base = dir.path() + "/", name = "f.rux";
    Write(name, MakeRawFile({Stored("s", "1")}).Serialize());
    auto pathOfLength = [&](std::size_t length) {
        const std::size_t fill = length - base.size() - name.size();
        std::string padding = fill % 2 ? "/" : "";
        for (std::size_t i = 0; i < fill / 2; ++i) padding += "./";
        return base + padding + name;
    };
    const std::string longest = pathOfLength(MOUNT_PATH_BYTES - 1);
    const std::string tooLong = pathOfLength(MOUNT_PATH_BYTES);
    ASSERT_EQ(static_cast<std::size_t>(MOUNT_PATH_BYTES), tooLong.size());
    EXPECT_EQ(0, MountResourceFile(tooLong.c_str()));
    EXPECT_EQ("path too long", MountErrorText(DefaultResourceSet().Mount(tooLong.c_str())));
    EXPECT_EQ(0, MountSlots()[0].inUse);
    ASSERT_EQ(1, MountResourceFile(longest.c_str()));
    EXPECT_EQ(longest, std::string(MountSlots()[0].path));
}
