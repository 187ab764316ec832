// Resource sets: independence, positioned reads from many threads, no
// stale cached block after a remount, the reasons of failed reads, and
// lookups that stop early but answer as a scan of every slot would.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <cctype>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "resource/stream.h"
#include "tests/resource/resource_support.h"

using namespace rux;

namespace {

// Writes a resource file with its loose files; its path.
std::string WriteSet(const TempDir& dir, const std::string& name, const std::vector<PackResource>& resources) {
    std::string error;
    EXPECT_TRUE(WriteResourceFile(dir / name, resources, &error)) << error;
    return dir / name;
}

// The whole resource through ResourceReader, in pieces.
std::string ReadWhole(const ResourceSet& set, const char* name, std::uint32_t piece = 5000) {
    ResourceReader reader;
    if (!reader.Open(set, name)) return "(cannot open)";
    std::string out, buffer(piece, '\0');
    for (std::int64_t got; (got = reader.Read(&buffer[0], piece)) > 0;) out.append(buffer, 0, got);
    return out;
}

// A thread kept for the whole test, as a pool's would be: it runs each
// task it is handed, in order, and keeps its block cache in between.
class PoolThread {
public:
    PoolThread() : thread_([this] { Loop(); }) {}
    ~PoolThread() {
        Run(nullptr);
        thread_.join();
    }
    // Runs task on the thread and waits for it; null ends the thread.
    void Run(std::function<void()> task) {
        std::unique_lock<std::mutex> lock(mutex_);
        task_ = task ? task : [this] { done_ = true; };
        ready_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !ready_; });
    }

private:
    void Loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            changed_.wait(lock, [this] { return ready_; });
            task_();
            ready_ = false;
            changed_.notify_all();
        }
        CacheFree();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> task_;
    bool ready_ = false, done_ = false;
    std::thread thread_;
};

}  // namespace

using Sets = ResourceTest;

TEST_F(Sets, TwoSetsWithTheSameNamesStayIndependent) {
    const std::string a = WriteSet(dir, "a.rux", {Deflated("same.txt", TextBytes(70000, 1), 4096), Stored("only-a", "A"),
                                                  Loose("loose", "loose of a")});
    const std::string b = WriteSet(dir, "b.rux", {Deflated("SAME.txt", TextBytes(50000, 2), 4096), Stored("only-b", "BB"),
                                                  Loose("loose", "b's loose")});
    ASSERT_EQ(1, Mount({Stored("same.txt", "default")}, "default.rux"));
    auto first = std::make_unique<ResourceSet>();
    ResourceSet second;
    ASSERT_TRUE(first->Mount(a.c_str()).ok());
    ASSERT_TRUE(second.Mount(b.c_str()).ok());
    EXPECT_EQ(TextBytes(70000, 1), ReadWhole(*first, "Same.TXT"));
    EXPECT_EQ(TextBytes(50000, 2), ReadWhole(second, "same.txt"));
    EXPECT_EQ("loose of a", ReadWhole(*first, "loose"));
    EXPECT_EQ("b's loose", ReadWhole(second, "loose"));
    EXPECT_EQ(-1, first->Lookup("only-b"));
    EXPECT_EQ(-1, second.Lookup("only-a"));
    EXPECT_EQ(-1, LookupResource("only-a"));
    // Destroying one leaves the other, and the default set, as they were.
    const int handles = OpenHandleCount();
    first.reset();
    EXPECT_LT(OpenHandleCount(), handles);
    EXPECT_EQ(TextBytes(50000, 2), ReadWhole(second, "same.txt"));
    ResourceStream stream;
    ASSERT_EQ(1, stream.Open("same.txt"));
    char buffer[16];
    EXPECT_EQ("default", std::string(buffer, stream.Read(buffer, sizeof buffer)));
    stream.Close();
}

TEST_F(Sets, APoolThreadNeverGetsTheOldFilesBlocksAfterARemount) {
    // Two files whose resource "d" has the same slot, blocks and lengths,
    // but other bytes.
    const std::string one = TextBytes(3 * 4096, 11), two = TextBytes(3 * 4096, 12);
    const std::string first = WriteSet(dir, "one.rux", {Deflated("d", one, 4096), Loose("l", "loose one")});
    const std::string second = WriteSet(dir, "two.rux", {Deflated("d", two, 4096), Loose("l", "loose two")});
    PoolThread pool;
    std::string got;
    auto readDefault = [&] { got = ReadAllDeflated(LookupResource("d")); };

    // The default set: released, reset, and remounted in between.
    ASSERT_EQ(1, MountResourceFile(first.c_str()));
    pool.Run(readDefault);
    EXPECT_EQ(one, got);
    ReleaseResourceTables();
    ASSERT_EQ(1, MountResourceFile(second.c_str()));
    pool.Run(readDefault);
    EXPECT_EQ(two, got);
    EXPECT_EQ("loose two", ReadWhole(DefaultResourceSet(), "l"));
    ResetResourceTables();
    ASSERT_EQ(1, MountResourceFile(first.c_str()));
    pool.Run(readDefault);
    EXPECT_EQ(one, got);
    EXPECT_EQ("loose one", ReadWhole(DefaultResourceSet(), "l"));  // not the handle of before the reset

    // A set of its own, and a second set at the same place in memory.
    for (int round = 0; round < 2; ++round) {
        auto set = std::make_unique<ResourceSet>();
        ASSERT_TRUE(set->Mount(round ? second.c_str() : first.c_str()).ok());
        pool.Run([&] { got = ReadWhole(*set, "d"); });
        EXPECT_EQ(round ? two : one, got);
        set->Release();
        ASSERT_TRUE(set->Mount(round ? first.c_str() : second.c_str()).ok());
        pool.Run([&] { got = ReadWhole(*set, "d"); });
        EXPECT_EQ(round ? one : two, got);
    }
}

TEST_F(Sets, EightThreadsReadRandomRangesOfEveryKindAtOnce) {
    const std::string deflated = TextBytes(300000 + 123, 21), stored = RandomBytes(200000, 22),
                      loose = TextBytes(150000, 23);
    const std::string path = WriteSet(dir, "kinds.rux", {Deflated("d", deflated, 8192), Stored("s", stored),
                                                         Loose("l", loose)});
    ResourceSet set;
    ASSERT_TRUE(set.Mount(path.c_str()).ok());
    const std::string* contents[] = {&deflated, &stored, &loose};
    const int slots[] = {set.Lookup("d"), set.Lookup("s"), set.Lookup("l")};
    std::vector<int> bad(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            std::string buffer(40000 + 64, '\0');
            for (int i = 0; i < 300; ++i) {
                const int k = static_cast<int>(random() % 3);
                const std::string& want = *contents[k];
                std::uint64_t offset = random() % (want.size() + 100);
                std::uint32_t count = random() % 40000;
                // Every other read is of whole blocks from a block's start,
                // the last one short included: inflated straight into the
                // buffer, or copied from the cache where a read before
                // left the block.
                if (i % 2) {
                    offset -= offset % 8192;
                    count = 8192 * (1 + random() % 4);
                }
                buffer.assign(buffer.size(), '#');
                const std::int64_t got = set.ReadAt(slots[k], offset, &buffer[0], count);
                const std::string expected = offset < want.size() ? want.substr(offset, count) : "";
                // Nothing is written past the bytes read.
                if (got != static_cast<std::int64_t>(expected.size()) ||
                    buffer.compare(0, expected.size(), expected) != 0 ||
                    buffer.compare(expected.size(), 64, std::string(64, '#')) != 0) {
                    ++bad[t];
                }
            }
            // Readers of one resource, one per thread, each at its own place.
            if (ReadWhole(set, "d", 3000 + 1000 * t) != deflated) ++bad[t];
            CacheFree();
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(0, bad[t]) << "thread " << t;
}

TEST_F(Sets, FailedReadsSayWhyAndWhatCameThrough) {
    RawFile file = MakeRawFile({Deflated("d", TextBytes(5 * 1024, 31), 1024), Stored("s", "stored bytes"),
                                Loose("gone", "")});
    // Block 2 of 5 is damaged: its first packed byte flipped.
    const std::vector<std::uint32_t> offsets = [&] {
        std::vector<std::uint32_t> o;
        for (std::size_t i = 0; i < file.blocks.inflated.size(); i += 4) {
            o.push_back(LoadLE32(reinterpret_cast<const std::uint8_t*>(file.blocks.inflated.data()) + i));
        }
        return o;
    }();
    char& first = file.data[offsets[2] - FILE_HEADER_BYTES];
    first = static_cast<char>(first ^ 0x55);
    const std::string path = Write("damaged.rux", file.Serialize());
    ResourceSet set;
    ASSERT_TRUE(set.Mount(path.c_str()).ok());
    // Cut in the stored data, before anything opens the file for reading.
    ASSERT_TRUE(ResizeFile(path, static_cast<std::int64_t>(GetRecords(file)[1].placement) + 6));
    const int d = set.Lookup("d");
    std::string buffer(5 * 1024, '\0');
    ReadStatus status;
    EXPECT_EQ(-1, set.ReadAt(d, 100, &buffer[0], 5000, &status));
    EXPECT_EQ(ReadError::DAMAGED_BLOCK, status.error);
    EXPECT_EQ(2048u - 100, status.delivered);
    EXPECT_EQ(TextBytes(5 * 1024, 31).substr(100, 1948), buffer.substr(0, 1948));
    EXPECT_EQ("damaged block 3 of 5", ReadErrorText(set, d, status));
    EXPECT_EQ(1024, set.ReadAt(d, 3 * 1024, &buffer[0], 1024, &status));  // other blocks read on

    const int gone = set.Lookup("gone");
    EXPECT_EQ(-1, set.ReadAt(gone, 0, &buffer[0], 10, &status));
    EXPECT_EQ("cannot open loose file " + path + "gone: " + ErrorText(ENOENT), ReadErrorText(set, gone, status));
    ResourceReader reader;
    ASSERT_EQ(1, reader.Open(set, "D"));
    EXPECT_EQ(3072, reader.Seek(3072, SEEK_FROM_BEGIN));
    EXPECT_EQ(-1, reader.Seek(-3073, SEEK_FROM_CURRENT));
    EXPECT_EQ(100, reader.Read(&buffer[0], 100));
    EXPECT_EQ(TextBytes(5 * 1024, 31).substr(3072, 100), buffer.substr(0, 100));
    EXPECT_EQ(6000, reader.Seek(6000 - 3172, SEEK_FROM_CURRENT));
    EXPECT_EQ(0, reader.Read(&buffer[0], 100));
    EXPECT_EQ(0, reader.Open(set, "gone"));
    EXPECT_EQ(-1, reader.Read(&buffer[0], 1));  // a failed open leaves it closed
    EXPECT_EQ(0, reader.Open(set, "missing", &status));
    EXPECT_EQ("no such resource", ReadErrorText(set, -1, status));

    // Stored bytes that the file no longer holds.
    const int s = set.Lookup("s");
    EXPECT_EQ(-1, set.ReadAt(s, 0, &buffer[0], 100, &status));
    EXPECT_EQ(6u, status.delivered);
    EXPECT_EQ("stored", buffer.substr(0, 6));
    EXPECT_EQ("cut short: 6 of 12 bytes of its data are in the file", ReadErrorText(set, s, status));

    // A mount's reason says the system's error where there is one, and
    // only then.
    struct Said {
        MountError error;
        TableError table;
        int system;
        std::string reason;
    };
    const std::vector<Said> said = {
        {MountError::CANNOT_OPEN, TableError::NONE, 0, "cannot open"},
        {MountError::CANNOT_OPEN, TableError::NONE, EACCES, "cannot open: " + ErrorText(EACCES)},
        {MountError::NAMES_TABLE, TableError::READ_FAILED, EIO,
         "damaged names table: the file cannot be read: " + ErrorText(EIO)},
        {MountError::BLOCK_TABLE, TableError::READ_FAILED, 0, "damaged block offset table: the file cannot be read"},
    };
    for (const Said& c : said) {
        MountResult result;
        result.error = c.error;
        result.table = c.table;
        result.systemError = c.system;
        EXPECT_EQ(c.reason, MountErrorText(result));
    }

#ifndef _WIN32
    // A data file that cannot be opened says the system's reason for that
    // read; once it is back, reads succeed with no reason left over.
    const std::string other = Write("other.rux", MakeRawFile({Stored("s", "stored bytes")}).Serialize());
    ResourceSet later;
    ASSERT_TRUE(later.Mount(other.c_str()).ok());
    ASSERT_EQ(0, std::rename(other.c_str(), (other + ".away").c_str()));
    EXPECT_EQ(-1, later.ReadAt(later.Lookup("s"), 0, &buffer[0], 100, &status));
    EXPECT_EQ(ReadError::CANNOT_OPEN, status.error);
    EXPECT_EQ("cannot open resource file " + other + ": " + ErrorText(ENOENT),
              ReadErrorText(later, later.Lookup("s"), status));
    ASSERT_EQ(0, std::rename((other + ".away").c_str(), other.c_str()));
    EXPECT_EQ(12, later.ReadAt(later.Lookup("s"), 0, &buffer[0], 100, &status));
    EXPECT_EQ(ReadError::NONE, status.error);
    EXPECT_EQ(0, status.systemError);
    EXPECT_EQ(5, later.ReadAt(later.Lookup("s"), 7, &buffer[0], 100, &status));
    EXPECT_EQ(0, status.systemError);
#endif
}

TEST_F(Sets, LookupsThatStopEarlyAnswerAsAScanOfEverySlot) {
    // Names in several cases, inserted at random into an index that fills
    // up and overflows; after each batch every lookup, hit or miss, in any
    // case, gives the slot that a probe of all slots from the home slot gives.
    std::mt19937 random(7);
    std::vector<std::string> names;
    auto Folded = [](std::string name) {
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return name;
    };
    auto scan = [&](const std::string& name) {
        const int home = HomeSlot(name.c_str());
        for (int i = 0; i < INDEX_SLOTS; ++i) {
            const int slot = (home + i) % INDEX_SLOTS;
            const ResourceEntry& e = IndexSlots()[slot];
            if (e.kind != 0 && Folded(e.name) == Folded(name)) return slot;
        }
        return -1;
    };
    std::string table;  // every name inserted, NUL-terminated, one block
    table.reserve(5000 * 12);
    std::vector<std::uint32_t> offsets;
    for (int i = 0; i < 5000; ++i) {
        std::string name = "n" + std::to_string(random() % 3000);
        for (char& c : name) {
            if (random() % 2) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        offsets.push_back(static_cast<std::uint32_t>(table.size()));
        table += name;
        table += '\0';
        names.push_back(name);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        DirectoryRecord record{offsets[i], KIND_STORED, 0, 1, 0};
        InsertResource(record, 0, table.data());
        if (i % 500 != 499) continue;
        for (int probe = 0; probe < 400; ++probe) {
            std::string name = "N" + std::to_string(random() % 3500);
            ASSERT_EQ(scan(name), LookupResource(name.c_str())) << name << " after " << i + 1;
        }
    }
    EXPECT_EQ(INDEX_SLOTS, OccupiedSlots());
}
