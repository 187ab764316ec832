// End-to-end tests of rux-extract: each runs the real executable in a fresh
// directory on resource files built in code, and checks its exact output,
// its exit status and the tree it writes.
//
// RUX_EXTRACT names the executable; the Launcher(), if any, runs it (a
// Windows build under Wine, an i686 one under qemu-i386). RUX_TARGET=windows expects a Windows build's
// conventions: CR LF line endings, "\" in printed output paths, and the names
// only Windows finds unsafe. Arguments are relative to the working directory.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pack/writer.h"
#include "resource/index.h"
#include "tests/support/fixture.h"
#include "tests/support/run.h"

using namespace rux;

namespace fs = std::filesystem;

namespace {

bool Windows() {
    const char* target = std::getenv("RUX_TARGET");
    return target && std::string(target) == "windows";
}

char Separator() { return Windows() ? '\\' : '/'; }

// Text as the target prints it: each "\n" is CR LF on Windows.
std::string Console(const std::string& text) {
    if (!Windows()) return text;
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// The output path printed for a resource: the directory as given, then the
// name, joined and with the name's separators in the target's form.
std::string OutPath(const std::string& outdir, const std::string& name) {
    std::string path = outdir + Separator();
    for (char c : name) path += (c == '/' || c == '\\') ? Separator() : c;
    return path;
}

// The line on standard error that says why a failure happened, as a POSIX
// build words it. A Windows build gives the system's own texts, which are
// not checked: there it is "".
std::string Why(const std::string& what, const std::string& reason) {
    return Windows() ? "" : "rux-extract: " + what + ": " + reason + "\n";
}

// text without the lines that begin with "rux-extract: ".
std::string WithoutReasons(const std::string& text) {
    std::string kept;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(at, 13, "rux-extract: ") != 0) kept += text.substr(at, end - at);
        at = end;
    }
    return kept;
}

// One listing line, and what the tool prints right after it.
struct Line {
    std::string name;
    std::uint32_t kind;
    std::uint32_t size;
    std::string after = "";
};

Line LineOf(const PackResource& r, const std::string& after = "") {
    const bool data = r.kind == KIND_LOOSE || r.kind == KIND_STORED || r.kind == KIND_DEFLATED;
    return {r.name, r.kind, data ? static_cast<std::uint32_t>(r.data.size()) : 0, after};
}

// The lines whose names are given, in the order given: the first of each
// name not yet taken. Tests write out the slot order the index gives.
std::vector<Line> Ordered(const std::vector<Line>& lines, const std::vector<std::string>& names) {
    std::vector<Line> out;
    std::vector<bool> used(lines.size(), false);
    for (const std::string& name : names) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (used[i] || lines[i].name != name) continue;
            used[i] = true;
            out.push_back(lines[i]);
            break;
        }
    }
    EXPECT_EQ(lines.size(), out.size()) << "every line has its place";
    return out;
}

// The lines of text, sorted.
std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string Text(const std::vector<Line>& lines) {
    std::string text;
    for (const Line& l : lines) {
        text += std::to_string(l.kind) + " " + l.name + " " + std::to_string(l.size) + "\n" + l.after;
    }
    return Console(text);
}

// The listing of lines given in slot order.
std::string Listing(const std::vector<Line>& lines) { return Text(lines); }

// The listing of resources, in the slot order that names writes out (or
// as given).
std::string ListingOf(const std::vector<PackResource>& resources, const std::vector<std::string>& names = {}) {
    std::vector<Line> lines;
    for (const PackResource& r : resources) lines.push_back(LineOf(r));
    return Listing(names.empty() ? lines : Ordered(lines, names));
}

// A name of the given prefix (and suffix) whose home slot is home.
std::string NameAtHome(int home, const std::string& prefix, const std::string& suffix = "") {
    for (int i = 0;; ++i) {
        const std::string name = prefix + std::to_string(i) + suffix;
        if (HomeSlot(name.c_str()) == home) return name;
    }
}

using Files = std::map<std::string, std::string>;  // relative path -> contents

class Extract : public testing::Test {
protected:
    void Write(const std::vector<PackResource>& resources, const std::string& file = "in.rux") {
        fs::create_directories(fs::path(At(file)).parent_path());
        std::string error;
        ASSERT_TRUE(WriteResourceFile(At(file), resources, &error)) << error;
    }
    void WriteBytes(const std::string& bytes, const std::string& file = "in.rux") {
        ASSERT_TRUE(WriteWholeFile(At(file), bytes));
    }

    RunResult Run(const std::vector<std::string>& args, bool errorsOnTerminal = false) {
        return ::Run(ProgramFromEnvironment("RUX_EXTRACT"), args, temp->path(), 60, errorsOnTerminal);
    }

    // Runs and checks the status and the exact output.
    // With errors, also the exact standard error (where the launcher's
    // chatter makes it unknowable, that it ends so).
    void Expect(const std::vector<std::string>& args, int status, const std::string& output,
                const std::string& errors = "") {
        const RunResult r = Run(args);
        EXPECT_EQ(0, r.signal);
        EXPECT_EQ(status, r.status) << r.errors;
        EXPECT_EQ(output, r.output);
        // A launcher may chatter on standard error; the tool itself does only when told to.
        // Windows words the reasons of failures itself (see Why).
        const std::string got = Windows() && errors.find("rux-extract: ") == std::string::npos ? WithoutReasons(r.errors) : r.errors;
        if (!Launcher()) {
            EXPECT_EQ(errors, got);
        } else if (!errors.empty()) {
            ASSERT_GE(got.size(), errors.size());
            EXPECT_EQ(errors, got.substr(got.size() - errors.size()));
        }
    }

    // Every file below root (relative to the test directory) with its contents.
    Files Tree(const std::string& root = "out") {
        Files files;
        for (const std::string& path : ListTree(At(root))) files[path] = ReadWholeFile(At(root + "/" + path));
        return files;
    }
    std::vector<std::string> All() { return ListTree(temp->path(), true); }

    // The syntax line, after the line before, if any; on standard error
    // with onErrors (and then nothing on standard output). The pointer to
    // --help follows it on standard error.
    void ExpectSyntax(const std::vector<std::string>& args, const std::string& before = "", bool onErrors = false) {
        const RunResult r = Run(args);
        EXPECT_EQ(1, r.status);
        const std::string& text = onErrors ? r.errors : r.output;
        const std::string help = Console("Try 'rux-extract --help' for more information.\n");
        if (onErrors) {
            EXPECT_EQ("", r.output);
        } else if (!std::getenv("RUX_LAUNCHER")) {
            EXPECT_EQ(help, r.errors);
        }
        const std::string head = Console(before) + "Syntax: ";
        const std::string tail = Console(" file.rux [outdir]\n") + (onErrors ? help : "");
        if (Windows()) {
            // The program's own name is whatever path Windows hands it; a
            // launcher may chatter on standard error first.
            const std::size_t at = onErrors ? text.find(head) : text.rfind(head, 0);
            ASSERT_NE(std::string::npos, at) << text;
            EXPECT_NE(std::string::npos, text.find("rux-extract", at)) << text;
            ASSERT_GE(text.size(), tail.size());
            EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
        } else {
            EXPECT_EQ(head + std::string(std::getenv("RUX_EXTRACT")) + tail, text);
        }
    }

    // Runs on bytes holding a resource that is not delivered in full beside
    // the good ok.txt, and checks the report: the bad line with its printed
    // size, "Cannot read", ok.txt still written, status 1. The failed
    // resource leaves no file, not even a temporary; run again over an
    // existing file of its name, it leaves that file as it was. Standard
    // error says why.
    void ExpectIncomplete(const std::string& bytes, const Line& bad, const std::string& reason) {
        WriteBytes(bytes);
        Line line = bad;
        line.after = "Cannot read " + bad.name + "\n";
        const std::string listing = Listing({line, {"ok.txt", KIND_STORED, 4}});
        Expect({"in.rux", "out"}, 1, listing, Why(bad.name, reason));
        EXPECT_EQ((Files{{"ok.txt", "fine"}}), Tree());
        WriteBytes("important old content", "out/" + bad.name);
        Expect({"in.rux", "out"}, 1, listing, Why(bad.name, reason));
        EXPECT_EQ((Files{{bad.name, "important old content"}, {"ok.txt", "fine"}}), Tree());
    }

    // A fresh directory for the test, or for one case of it.
    void Fresh() { temp = std::make_unique<TempDir>(); }
    std::string At(const std::string& name) const { return *temp / name; }

    std::unique_ptr<TempDir> temp = std::make_unique<TempDir>();
};

const PackResource kOk = Stored("ok.txt", "fine");

TEST_F(Extract, SyntaxLineWithoutArguments) {
    ExpectSyntax({});
    EXPECT_TRUE(All().empty());
}

TEST_F(Extract, EmptyOutputDirectoryIsRefusedWithTheSyntaxLine) {
    Write({kOk});
    for (const std::string outdir : {"", "/", "\\", "//\\/"}) {
        SCOPED_TRACE("outdir '" + outdir + "'");
        ExpectSyntax({"in.rux", outdir});
        EXPECT_EQ(std::vector<std::string>{"in.rux"}, All());
    }
}

TEST_F(Extract, FailedMountNamesTheArgument) {
    Write({kOk});
    RawFile badMagic = MakeRawFile({kOk});
    badMagic.magic = "RUXB";
    WriteBytes(badMagic.Serialize(), "magic.rux");
    WriteBytes(std::string("RUXA\0\0", 6), "short.rux");
    const std::string whole = MakeRawFile({kOk}).Serialize();
    WriteBytes(whole.substr(0, whole.size() - 3), "cut.rux");
    fs::create_directory(At("dir.rux"));
    std::string tooLong;  // names in.rux, but does not fit the path buffers
    while (tooLong.size() < 5000) tooLong += "./";
    tooLong += "in.rux";
    const std::vector<std::string> before = All();

    const std::string notOne = "not a resource file";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing.rux", "No such file or directory"}, {"", "No such file or directory"}, {"magic.rux", notOne},
        {"short.rux", notOne}, {"cut.rux", "damaged block offset table: its data runs past the end of the file"}, {"dir.rux", "Is a directory"}, {tooLong, "File name too long"}};
    for (const auto& [file, reason] : cases) {
        SCOPED_TRACE(file.substr(0, 40));
        Expect({file}, 1, Console("Could not open resource file: " + file + "\n"), Why(file, reason));
        Expect({file, "out"}, 1, Console("Could not open resource file: " + file + "\n"), Why(file, reason));
        EXPECT_EQ(before, All());
    }
}

TEST_F(Extract, WritesEveryKindWithNestedNamesAndEmptyResources) {
    const std::vector<PackResource> resources = {
        Stored("readme.txt", "A stored resource.\n"),
        Stored("big\\stored.bin", RandomBytes(10000, 2)),
        Deflated("text/poem.txt", TextBytes(20000), 1000, 9),
        Deflated("a\\b/c.bin", RandomBytes(9000, 3), 4096),
        Loose("config\\keys.cfg", "fire=space\n"),
        Loose("a/loose.txt", TextBytes(5000, 4)),
        Stored("empty/stored", ""),
        Deflated("empty\\deflated", ""),
        Loose("empty/loose", ""),
    };
    Write(resources);
    Expect({"in.rux", "out"}, 0,
           ListingOf(resources, {"config\\keys.cfg", "a/loose.txt", "big\\stored.bin", "empty/loose", "empty/stored",
                                 "empty\\deflated", "readme.txt", "a\\b/c.bin", "text/poem.txt"}));
    Files expected;
    for (const PackResource& r : resources) {
        std::string path = r.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        expected[path] = r.data;
    }
    EXPECT_EQ(expected, Tree());
    const std::vector<std::string> dirs = {"a/", "a/b/", "big/", "config/", "empty/", "text/"};
    std::vector<std::string> withDirs = ListTree(At("out"), true);
    for (const std::string& d : dirs) EXPECT_NE(withDirs.end(), std::find(withDirs.begin(), withDirs.end(), d)) << d;
    EXPECT_EQ(expected.size() + dirs.size(), withDirs.size());
}

TEST_F(Extract, OutputDirectoryFromArgumentOrResourceFileName) {
    struct Case {
        std::string file;  // where the resource file lies, below the test directory
        std::vector<std::string> args;
        std::string root;  // where the resources must land
        std::string errors = "";
    };
    const std::vector<Case> cases = {
        {"in.rux", {"in.rux", "out"}, "out"},
        {"in.rux", {"in.rux", "out/"}, "out"},
        {"in.rux", {"in.rux", "out\\"}, "out"},
        {"in.rux", {"in.rux", "out/\\//"}, "out"},
        {"in.rux", {"in.rux", "made", "ignored"}, "made", "rux-extract: ignoring 'ignored'\n"},
        {"in.rux", {"in.rux"}, "__in.rux"},
        {"sub/in.rux", {"sub/in.rux"}, "__in.rux"},
        {"a/b/c.rux", {"a\\b/c.rux"}, "__c.rux"},
        {"a/b/c.rux", {"a/b\\c.rux"}, "__c.rux"},
    };
    const std::vector<PackResource> resources = {Stored("x/y.txt", "stored"), Loose("l.txt", "loose")};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        Fresh();
        Write(resources, c.file);
        Expect(c.args, 0, ListingOf(resources), Console(c.errors));
        std::vector<std::string> expected = {c.file, c.file + "l.txt", c.root + "/l.txt", c.root + "/x/y.txt"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, ListTree(temp->path()));
        EXPECT_EQ((Files{{"l.txt", "loose"}, {"x/y.txt", "stored"}}), Tree(c.root));
    }
}

TEST_F(Extract, ExistingOutputDirectoryIsWrittenInto) {
    Write({kOk});
    fs::create_directory(At("out"));
    WriteBytes("old", "out/keep.txt");
    Expect({"in.rux", "out"}, 0, ListingOf({kOk}));
    EXPECT_EQ((Files{{"keep.txt", "old"}, {"ok.txt", "fine"}}), Tree());
}

TEST_F(Extract, MissingParentOfOutputDirectory) {
    Write({kOk});
    // Only the last level is made: one line names the directory and why,
    // before any resource.
    Expect({"in.rux", "missing/out"}, 1, "",
           Why("missing/out", "cannot make the output directory: No such file or directory"));
    EXPECT_EQ(std::vector<std::string>{"in.rux"}, All());
    WriteBytes("a file", "plain");
    Expect({"in.rux", "plain/out"}, 1, "", Why("plain/out", "cannot make the output directory: Not a directory"));
}

TEST_F(Extract, EmptyDirectoryListsNothing) {
    Write({});
    Expect({"in.rux", "out"}, 0, "");
    EXPECT_EQ((std::vector<std::string>{"in.rux", "out/"}), All());
}

TEST_F(Extract, LinesFollowSlotOrderNotDirectoryOrder) {
    // Two names at the last slot: the second wraps round to slot 0, which
    // pushes a name whose home is slot 0 on to slot 1.
    const std::string last = NameAtHome(INDEX_SLOTS - 1, "last");
    const std::string wraps = NameAtHome(INDEX_SLOTS - 1, "wraps");
    const std::string first = NameAtHome(0, "first");
    std::vector<PackResource> resources = {Stored(last, "L"), Stored(wraps, "W"), Stored(first, "F")};
    for (int i = 0; i < 40; ++i) resources.push_back(Stored("file" + std::to_string(i), std::string(i, 'x')));
    Write(resources);

    std::vector<std::string> order = {wraps, first};
    for (int i : {22, 23, 20, 38, 21, 39, 9, 27, 8, 26, 25, 18, 24, 19, 28, 15, 30, 6, 29, 14,
                  31, 7,  4,  17, 32, 5,  16, 33, 10, 35, 3,  11, 34, 2,  1,  12, 37, 0, 13, 36}) {
        order.push_back("file" + std::to_string(i));
    }
    order.push_back(last);
    const std::string listing = ListingOf(resources, order);
    Expect({"in.rux", "out"}, 0, listing);
    EXPECT_EQ(0u, listing.find(Console("2 " + wraps + " 1\n2 " + first + " 1\n")));
    const std::string tail = Console("2 " + last + " 1\n");
    EXPECT_EQ(listing.size() - tail.size(), listing.rfind(tail));
    std::vector<Line> directoryOrder;
    for (const PackResource& r : resources) directoryOrder.push_back(LineOf(r));
    EXPECT_NE(Text(directoryOrder), listing);
    EXPECT_EQ(resources.size(), Tree().size());
}

TEST_F(Extract, DuplicateNamesShareTheFirstFoundSlot) {
    // Each pair is entered at one home slot and the next: both lookups find
    // the first, so both lines show its size and both writes carry its data.
    Write({Stored("dup.txt", "first"), Deflated("dup.txt", "second, longer"),
           Loose("twice.txt", "loose"), Loose("twice.txt", "loose")});
    Expect({"in.rux", "out"}, 0,
           Listing({{"dup.txt", KIND_STORED, 5}, {"dup.txt", KIND_DEFLATED, 5},
                    {"twice.txt", KIND_LOOSE, 5}, {"twice.txt", KIND_LOOSE, 5}}));
    EXPECT_EQ((Files{{"dup.txt", "first"}, {"twice.txt", "loose"}}), Tree());
}

TEST_F(Extract, NamesEqualButForCase) {
    // Different home slots: each lookup finds its own resource.
    const std::vector<PackResource> own = {Stored("Readme.TXT", "upper"), Deflated("readme.txt", "lower!")};
    ASSERT_NE(HomeSlot("Readme.TXT"), HomeSlot("readme.txt"));
    Write(own);
    Expect({"in.rux", "out"}, 0, ListingOf(own));
    if (Windows()) {
        // One file: named by the first in slot order, holding the last's data.
        EXPECT_EQ((Files{{"Readme.TXT", "lower!"}}), Tree());
    } else {
        EXPECT_EQ((Files{{"Readme.TXT", "upper"}, {"readme.txt", "lower!"}}), Tree());
    }
}

TEST_F(Extract, CaseVariantMetFirstGivesItsSizeAndData) {
    // Two variants with one home slot: the one entered first holds it, so
    // the scan for the other meets it first and takes it.
    // Same-length case variants differ in crc by a value fixed by where
    // they differ, so search over which letters are upper case.
    const std::string lower = "abcdefghijklmnop";
    std::string upper;
    for (unsigned mask = 1; mask < (1u << lower.size()) && upper.empty(); ++mask) {
        std::string variant = lower;
        for (std::size_t i = 0; i < lower.size(); ++i) {
            if (mask & (1u << i)) variant[i] = static_cast<char>(variant[i] - 'a' + 'A');
        }
        if (HomeSlot(variant.c_str()) == HomeSlot(lower.c_str())) upper = variant;
    }
    ASSERT_FALSE(upper.empty());
    Write({Stored(upper, "UPPER"), Deflated(lower, "lower, never read")});
    Expect({"in.rux", "out"}, 0, Listing({{upper, KIND_STORED, 5}, {lower, KIND_DEFLATED, 5}}));
    if (Windows()) {
        EXPECT_EQ((Files{{upper, "UPPER"}}), Tree());
    } else {
        EXPECT_EQ((Files{{upper, "UPPER"}, {lower, "UPPER"}}), Tree());
    }
}

TEST_F(Extract, UnknownKindsGetTheirLineAndCannotReadAndNoFile) {
    // Record sizes are 3, but a stream of an unknown kind never opens; the
    // first slot of the index is one like any other.
    const std::string zero = NameAtHome(0, "zero");
    const std::vector<PackResource> resources = {{"free.txt", 0, "xyz"}, {"three", 3, "xyz"},
                                                 {"five.dat", 5, "xyz"}, {"max", 0xFFFFFFFFu, "xyz"},
                                                 kOk,                    {zero, 7, "xyz"}};
    Write(resources);
    // The record of kind 0 leaves its slot free and prints nothing.
    const std::string reasons = Why(zero, "unknown storage kind 7") + Why("five.dat", "unknown storage kind 5") +
                                Why("max", "unknown storage kind 4294967295") + Why("three", "unknown storage kind 3");
    Expect({"in.rux", "out"}, 1,
           Console("7 " + zero + " 0\nCannot read " + zero + "\n5 five.dat 0\nCannot read five.dat\n"
                   "4294967295 max 0\nCannot read max\n3 three 0\nCannot read three\n2 ok.txt 4\n"),
           reasons);
    EXPECT_EQ((Files{{"ok.txt", "fine"}}), Tree());
}

TEST_F(Extract, MissingLooseFileIsReportedAndTheRunGoesOn) {
    ExpectIncomplete(MakeRawFile({Loose("gone.txt", "never written"), kOk}).Serialize(),
                     {"gone.txt", KIND_LOOSE, 0}, "cannot open loose file in.ruxgone.txt: No such file or directory");
}

TEST_F(Extract, LooseFileOf4GiBIsRefused) {
    Write({Loose("huge.dat", ""), kOk});
    std::error_code error;
    fs::resize_file(At("in.ruxhuge.dat"), (std::uint64_t{1} << 32) + 1, error);  // sparse
    ASSERT_FALSE(error) << error.message();
    ExpectIncomplete(ReadWholeFile(At("in.rux")), {"huge.dat", KIND_LOOSE, 0},
                     "loose file in.ruxhuge.dat is 4 GiB or larger; sizes are 32 bits");
}

// A resource file of 3 GiB (sparse) whose data and tables lie past 3 GiB:
// the header's skip, the stored offset and the block offsets come through
// whole, on 32-bit builds too.
TEST_F(Extract, DataAndTablesBeyondThreeGiB) {
    constexpr std::uint32_t kFar = 0xC0000000u;
    const PackResource stored = Stored("far.txt", "far away\n");
    const PackResource deflated = Deflated("deep.txt", TextBytes(5000, 3), 1024);
    RawFile raw = MakeRawFile({stored, deflated, kOk});
    std::vector<DirectoryRecord> records = GetRecords(raw);
    for (DirectoryRecord& record : records) {
        if (record.kind == KIND_STORED) record.placement += kFar;
    }
    SetRecords(&raw, records);
    std::vector<std::uint32_t> offsets;
    for (std::size_t at = 0; at < raw.blocks.inflated.size(); at += 4) {
        offsets.push_back(kFar + LoadLE32(reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data()) + at));
    }
    SetBlockOffsets(&raw, offsets);
    raw.overrideSkip = true;
    raw.skip = kFar + static_cast<std::uint32_t>(raw.data.size());
    const std::string bytes = raw.Serialize();
    DiskFile file;
    ASSERT_EQ(1, file.Open(At("in.rux").c_str(), OPEN_WRITE | OPEN_CREATE));
    EXPECT_EQ(8u, file.WriteAt(bytes.data(), 8, 0));
    const std::uint32_t rest = static_cast<std::uint32_t>(bytes.size() - 8);
    EXPECT_EQ(rest, file.WriteAt(bytes.data() + 8, rest, 8 + std::int64_t{kFar}));
    ASSERT_EQ(1, file.Close());
    Expect({"in.rux", "out"}, 0, ListingOf({deflated, stored, kOk}));
    EXPECT_EQ((Files{{"far.txt", stored.data}, {"deep.txt", deflated.data}, {"ok.txt", "fine"}}), Tree());
}

// A stored record whose bytes run past the end of the file fails, whatever
// size it claims, and so does one placed near 4 GiB.
TEST_F(Extract, StoredPastTheEndFails) {
    struct Case {
        std::uint32_t placement;  // 0: keep the writer's
        std::uint32_t size;
    };
    for (const Case c : {Case{0, 1000}, Case{0, 3221225472u}, Case{0xFFFFFFF0u, 100}, Case{0, 0xFFFFFFFFu}}) {
        SCOPED_TRACE(c.size);
        Fresh();
        RawFile raw = MakeRawFile({Stored("cut.bin", "0123456789"), kOk});
        std::vector<DirectoryRecord> records = GetRecords(raw);
        if (c.placement) records[0].placement = c.placement;
        records[0].size = c.size;
        SetRecords(&raw, records);
        const std::string bytes = raw.Serialize();
        ExpectIncomplete(bytes, {"cut.bin", KIND_STORED, c.size}, "its data lies past the end of the resource file");
    }
}

TEST_F(Extract, CorruptBlockFailsTheResource) {
    const std::string text = TextBytes(3 * 4096, 5);
    RawFile raw = MakeRawFile({Deflated("bad.txt", text, 4096), kOk});
    const std::uint32_t second = LoadLE32(reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data()) + 4);
    raw.data[second - FILE_HEADER_BYTES] ^= 0x55;  // the second block's zlib header
    ExpectIncomplete(raw.Serialize(), {"bad.txt", KIND_DEFLATED, 3 * 4096}, "damaged block 2 of 3");
}

TEST_F(Extract, UnsafeNamesAreRefusedAndNothingIsMadeForThem) {
    struct Case {
        std::string name;
        bool unsafeOnWindows;
        bool unsafeEverywhere;
        std::string printed = "";  // how the name prints, where it differs
    };
    std::vector<Case> cases = {
        {"..", true, true}, {"../up1", true, true}, {"a/../../up2", true, true},
        {"b\\..\\up3", true, true}, {"..\\up4", true, true}, {"c/..", true, true},
        {"/abs1", true, true}, {"\\abs2", true, true}, {"C:drive1", true, true},
        // Empty components name no file.
        {"", true, true}, {"dir/", true, true}, {"p\\q\\", true, true}, {"r//s", true, true},
        {"t\\\\u", true, true}, {"v/\\w", true, true}, {"x\\/y", true, true},
        {"z:\\drive2", true, true}, {"q:/drive3", true, true},
        {"ab:c", true, false}, {"d/x:y", true, false}, {"CON", true, false},
        {"con.txt", true, false}, {"e/Prn.log", true, false}, {"aux", true, false},
        {"NUL.tar.gz", true, false}, {"com1", true, false}, {"COM9.x", true, false},
        {"f\\lpt1", true, false}, {"Lpt9.dat", true, false}, {"CON .txt", true, false},
        {"...", true, false}, {". .", true, false}, {"g/.. /h", true, false},
        {"..a", false, false}, {"i..j", false, false}, {"k/...l/m", false, false},
        {"CONSOLE.txt", false, false}, {"LPT10.log", false, false},
        {"nul_x", false, false}, {"n.con", false, false}, {"o/Com", false, false},
        {"a<b", true, false}, {"c>d", true, false}, {"e\"f", true, false}, {"g|h", true, false},
        {"i?j", true, false}, {"k*l", true, false}, {"dot.", true, false}, {"blank ", true, false},
        {"p./q", true, false}, {"r /s", true, false}, {"COM0", true, false}, {"lpt0.txt", true, false},
        {"COM\xB9", true, false}, {"t/lpt\xB2.x", true, false}, {"Com\xB3", true, false},
        {"CONIN$", true, false}, {"conout$.log", true, false}, {"CONINX", false, false},
    };
    // Every control byte, in the middle of a name, and how it prints.
    const char* const octal[] = {"001", "002", "003", "004", "005", "006", "007", "010", "011", "012", "013",
                                 "014", "015", "016", "017", "020", "021", "022", "023", "024", "025", "026",
                                 "027", "030", "031", "032", "033", "034", "035", "036", "037", "177"};
    for (int c = 1, k = 0; c < 128; c = c == 31 ? 127 : c + 1, ++k) {
        cases.push_back({"ctl" + std::string(1, static_cast<char>(c)) + "x", true, true, "ctl\\" + std::string(octal[k]) + "x"});
    }
    // Each resource holds its own name; the safe ones are written.
    std::vector<PackResource> resources;
    std::vector<Line> lines;
    Files written;
    std::vector<std::string> tree = {"in.rux", "out/"};
    for (const Case& c : cases) {
        resources.push_back(Stored(c.name, c.name));
        const bool refused = c.unsafeEverywhere || (Windows() && c.unsafeOnWindows);
        // A refused resource is never opened, so its line shows size 0.
        Line line = LineOf(resources.back());
        if (!c.printed.empty()) line.name = c.printed;
        if (refused) {
            line.size = 0;
            line.after = "Refused unsafe name " + line.name + "\n";
        }
        lines.push_back(line);
        if (refused) continue;
        std::string path = c.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        written[path] = c.name;
        for (std::size_t at = 0; at != std::string::npos; at = path.find('/', at + 1)) {
            tree.push_back("out/" + (at ? path.substr(0, at + 1) : path));
        }
    }
    Write(resources);
    // What each line says is checked here; their order is the index's.
    const RunResult r = Run({"in.rux", "out"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(SortedLines(Listing(lines)), SortedLines(r.output));
    EXPECT_EQ(written, Tree());
    std::sort(tree.begin(), tree.end());
    tree.erase(std::unique(tree.begin(), tree.end()), tree.end());
    EXPECT_EQ(tree, All());  // nothing beside or above the output directory
}

TEST_F(Extract, ControlBytesInNamesArePrintedEscapedAndForgeNothing) {
    Write({Stored("a\n8 forged.txt 99", "x"), Stored("\x1b[2J", "y"), kOk});
    const RunResult r = Run({"in.rux", "out"});
    EXPECT_EQ(1, r.status);
    const std::string& listing = r.output;
    // Three lines of resources and two refusals: nothing forged.
    EXPECT_EQ(5, std::count(listing.begin(), listing.end(), '\n')) << listing;
    EXPECT_NE(std::string::npos,
              listing.find(Console("2 a\\0128 forged.txt 99 0\nRefused unsafe name a\\0128 forged.txt 99\n")));
    EXPECT_NE(std::string::npos, listing.find(Console("2 \\033[2J 0\nRefused unsafe name \\033[2J\n")));
    EXPECT_EQ((Files{{"ok.txt", "fine"}}), Tree());

    // C1 controls, raw or in UTF-8, and bidirectional formatting characters
    // leave a name safe, but are printed escaped; other UTF-8 is printed as it is.
    Fresh();
    Write({Stored("a\xc2\x9b" "b\x9b" "c\xe2\x80\xae" "d\xe2\x81\xa6" "e\xc3\xa9", "x")});
    Expect({"-l", "in.rux"}, 0, Console("2 a\\302\\233b\\233c\\342\\200\\256d\\342\\201\\246e\xc3\xa9 1\n"));
    // In JSON they are \uXXXX, and a byte of no UTF-8 sequence the \udcXX
    // that os.fsdecode makes of it; so are control bytes, quotes and
    // backslashes, in a name that is refused.
    const std::string head = "{\n  \"file\": \"in.rux\",\n  \"resources\": [\n    {\"slot\": ";
    const std::string fields = ", \"kind\": \"stored\", \"kind_number\": 2, \"name\": ";
    Expect({"-l", "--json", "in.rux"}, 0,
           Console(head + std::to_string(HomeSlot("a\xc2\x9b" "b\x9b" "c\xe2\x80\xae" "d\xe2\x81\xa6" "e\xc3\xa9")) +
                   fields + "\"a\\u009bb\\udc9bc\\u202ed\\u2066e\xc3\xa9\", \"size\": 1, \"packed_size\": 1, "
                   "\"block_length\": 0, \"blocks\": 0}\n  ],\n  \"totals\": {\"resources\": 1, \"size\": 1, "
                   "\"packed_size\": 1, \"blocks\": 0, \"failed\": 0}\n}\n"));
    Fresh();
    Write({Stored("\x1b\"\\\x7f", "y")});
    // Testing and listing it write nothing: its true size, read in full,
    // and what extraction would do with it.
    const std::string refused = Console(head + std::to_string(HomeSlot("\x1b\"\\\x7f")) + fields +
                   "\"\\u001b\\\"\\\\\\u007f\", \"size\": 1, \"packed_size\": 1, \"block_length\": 0, \"blocks\": 0");
    Expect({"-t", "--json", "in.rux"}, 0,
           refused + Console(", \"read\": true, \"refused\": \"unsafe name\"}\n  ],\n  \"totals\": {\"resources\": 1, "
                             "\"size\": 1, \"packed_size\": 1, \"blocks\": 0, \"read\": 1, \"failed\": 0}\n}\n"));
    Expect({"-l", "--json", "in.rux"}, 0,
           refused + Console(", \"refused\": \"unsafe name\"}\n  ],\n  \"totals\": {\"resources\": 1, "
                             "\"size\": 1, \"packed_size\": 1, \"blocks\": 0, \"failed\": 0}\n}\n"));
    EXPECT_EQ(1, Run({"in.rux", "out"}).status);  // extraction still refuses it
}

TEST_F(Extract, DirectoryFileClashEndsTheRun) {
    const std::vector<PackResource> resources = {Stored("a", "file"), Stored("a/b.txt", "inner")};
    Write(resources);
    // "a" comes first in slot order: its file is there when "a/b.txt" needs a directory.
    Expect({"in.rux", "out"}, 1, ListingOf(resources) + Console("Cannot write " + OutPath("out", "a/b.txt") + "\n"),
           Why(OutPath("out", "a/b.txt"), "Not a directory"));
    EXPECT_EQ((Files{{"a", "file"}}), Tree());
}

TEST_F(Extract, TooLongOutputDirectoryOrPathIsRefused) {
    Write({kOk});
    const std::string outdir(5000, 'o');
    Expect({"in.rux", outdir}, 1, Console("Cannot write " + outdir + "\n"), Why(outdir, "File name too long"));
    EXPECT_EQ(std::vector<std::string>{"in.rux"}, All());
    // At the limit, the directory is refused; a byte short of it, each path
    // below it is.
    const std::string limit(4096, 'o'), below(4095, 'o');
    Expect({"in.rux", limit}, 1, Console("Cannot write " + limit + "\n"), Why(limit, "File name too long"));
    Expect({"in.rux", below}, 1, "", Why(below, "cannot make the output directory: File name too long"));
    EXPECT_EQ(std::vector<std::string>{"in.rux"}, All());

    // "out/" and 4092 bytes: one byte too many, with the NUL.
    for (const std::string& name : {std::string(4100, 'n'), "d/" + std::string(4100, 'n'), std::string(4092, 'n')}) {
        Fresh();
        Write({Stored(name, "data")});
        Expect({"in.rux", "out"}, 1, Console("2 " + name + " 4\nCannot write " + OutPath("out", name) + "\n"),
               Why(OutPath("out", name), "File name too long"));
        EXPECT_EQ((std::vector<std::string>{"in.rux", "out/"}), All());
    }
}

TEST_F(Extract, ShortWriteEndsTheRunAndKeepsTheExistingFile) {
    if (Windows()) GTEST_SKIP() << "needs a file size limit";
    Write({Stored("full.bin", "data")});
    fs::create_directory(At("out"));
    WriteBytes("old", "out/full.bin");
    // A limit of 2 bytes per file, inherited by the tool: with SIGXFSZ
    // ignored, its third byte fails to write.
    const RunResult r = RunUnderFileSizeLimit(2, [&] { return Run({"in.rux", "out"}); });
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(Console("2 full.bin 4\nCannot write " + OutPath("out", "full.bin") + "\n"), r.output);
    EXPECT_EQ(Why(OutPath("out", "full.bin"), "File too large"), r.errors);
    EXPECT_EQ((Files{{"full.bin", "old"}}), Tree());
}

TEST_F(Extract, ACompleteFileReplacesAnExistingOne) {
    Write({Stored("a/same.txt", "new contents"), kOk});
    fs::create_directories(At("out/a"));
    WriteBytes("old", "out/a/same.txt");
    WriteBytes("old ok, longer than the new one", "out/ok.txt");
    Expect({"in.rux", "out"}, 0, ListingOf({Stored("a/same.txt", "new contents"), kOk}));
    EXPECT_EQ((Files{{"a/same.txt", "new contents"}, {"ok.txt", "fine"}}), Tree());
}

TEST_F(Extract, LinksBelowTheOutputDirectoryAreNeverFollowed) {
    if (Windows()) GTEST_SKIP() << "the host's symbolic links";
    const std::vector<PackResource> resources = {
        Stored("text/poem.txt", "poem"), Stored("readme.txt", "readme"),
        Stored("dangling", "new"), Stored("deep/er/x.txt", "x"),
        Stored("deep/ok.txt", "ok"), Stored("gone/f.txt", "f")};
    Write(resources);
    fs::create_directory(At("elsewhere"));
    WriteBytes("victim", "victim.txt");
    fs::create_directories(At("out/deep"));
    fs::create_directory_symlink("../elsewhere", At("out/text"));
    fs::create_directory_symlink("../../elsewhere", At("out/deep/er"));
    fs::create_directory_symlink("../missing", At("out/gone"));
    fs::create_symlink("../victim.txt", At("out/readme.txt"));
    fs::create_symlink("../nowhere", At("out/dangling"));

    std::vector<Line> lines;
    for (const PackResource& r : resources) {
        const std::size_t cut = r.name.rfind('/');
        const bool refused = r.name != "deep/ok.txt" && cut != std::string::npos;
        lines.push_back(LineOf(r, refused ? "Refused link " + OutPath("out", r.name.substr(0, cut)) + "\n" : ""));
    }
    Expect({"in.rux", "out"}, 1,
           Listing(Ordered(lines, {"dangling", "deep/er/x.txt", "deep/ok.txt", "readme.txt", "text/poem.txt", "gone/f.txt"})));
    // Final links are replaced by the files; directory links stay, unused.
    EXPECT_EQ("readme", ReadWholeFile(At("out/readme.txt")));
    EXPECT_EQ("new", ReadWholeFile(At("out/dangling")));
    EXPECT_EQ("ok", ReadWholeFile(At("out/deep/ok.txt")));
    for (const std::string file : {"out/readme.txt", "out/dangling"}) EXPECT_FALSE(fs::is_symlink(At(file))) << file;
    for (const std::string link : {"out/text", "out/deep/er", "out/gone"}) EXPECT_TRUE(fs::is_symlink(At(link))) << link;
    // Nothing changed outside.
    EXPECT_EQ("victim", ReadWholeFile(At("victim.txt")));
    EXPECT_TRUE(fs::is_empty(At("elsewhere")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(At("missing"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(At("nowhere"))));
    // No temporaries (the dangling link "gone" lists as a file).
    EXPECT_EQ((std::vector<std::string>{"dangling", "deep/ok.txt", "gone", "readme.txt"}), ListTree(At("out")));
}

// -n keeps whatever exists, even where the resource could not be read; the
// plain run replaces what it can write in full and keeps the rest.
TEST_F(Extract, NoClobberKeepsEveryExistingFile) {
    const PackResource fresh = Stored("new.txt", "new");
    const PackResource same = Stored("a/same.txt", "replacement");
    WriteBytes(MakeRawFile({fresh, same, Loose("gone.txt", "x"), Loose("lost.txt", "y")}).Serialize());
    const std::string kept = "Kept existing ";
    for (const std::string option : {"-n", "--no-clobber", "", "-nq"}) {
        SCOPED_TRACE(option);
        fs::remove_all(At("out"));
        fs::create_directories(At("out/a"));
        WriteBytes("old", "out/a/same.txt");
        WriteBytes("important", "out/gone.txt");
        const bool n = !option.empty();
        // In slot order.
        const std::vector<Line> lines = {
            {"gone.txt", KIND_LOOSE, 0, n ? kept + OutPath("out", "gone.txt") + "\n" : "Cannot read gone.txt\n"},
            LineOf(fresh),
            {"lost.txt", KIND_LOOSE, 0, "Cannot read lost.txt\n"},
            LineOf(same, n ? kept + OutPath("out", "a/same.txt") + "\n" : "")};
        std::vector<std::string> args = {"in.rux", "out"};
        if (n) args.insert(args.begin(), option);
        const std::string lost = Why("lost.txt", "cannot open loose file in.ruxlost.txt: No such file or directory");
        const std::string reasons =
            n ? lost : Why("gone.txt", "cannot open loose file in.ruxgone.txt: No such file or directory") + lost;
        // Keeping a file is no failure: -q says nothing of it.
        Expect(args, 1, option == "-nq" ? Console("Cannot read lost.txt\n") : Listing(lines), reasons);
        EXPECT_EQ((Files{{"new.txt", "new"}, {"a/same.txt", n ? "old" : "replacement"}, {"gone.txt", "important"}}),
                  Tree());
    }
}

TEST_F(Extract, OutputDirectoryAndItsParentsMayBeLinks) {
    if (Windows()) GTEST_SKIP() << "the host's symbolic links";
    const std::vector<PackResource> resources = {Stored("x/y.txt", "y"), kOk};
    Write(resources);
    fs::create_directory(At("real"));
    fs::create_directory_symlink("real", At("outlink"));
    fs::create_directory_symlink("real", At("parent"));
    Expect({"in.rux", "outlink"}, 0, ListingOf(resources));
    Expect({"in.rux", "parent/sub"}, 0, ListingOf(resources));
    EXPECT_EQ((Files{{"ok.txt", "fine"}, {"sub/ok.txt", "fine"}, {"sub/x/y.txt", "y"}, {"x/y.txt", "y"}}),
              Tree("real"));
}

// The resources of the option tests: every kind, nested names, one empty.
const std::vector<PackResource> kKinds = {
    Stored("readme.txt", "A stored resource.\n"),
    Deflated("text/poem.txt", TextBytes(20000), 4096),
    Loose("config/keys.cfg", "fire=space\n"),
    Stored("sounds\\shot.wav", RandomBytes(5000)),
    Deflated("empty.dat", ""),
};

// Their names in the order of their index slots.
const std::vector<std::string> kKindsInSlotOrder = {"empty.dat", "sounds\\shot.wav", "readme.txt", "config/keys.cfg",
                                                    "text/poem.txt"};

// Those of kKinds that names gives, in slot order.
std::vector<PackResource> Only(const std::vector<std::string>& names) {
    std::vector<PackResource> taken;
    for (const std::string& name : kKindsInSlotOrder) {
        if (std::find(names.begin(), names.end(), name) == names.end()) continue;
        for (const PackResource& r : kKinds) {
            if (r.name == name) taken.push_back(r);
        }
    }
    return taken;
}

Files FilesOf(const std::vector<PackResource>& resources) {
    Files files;
    for (const PackResource& r : resources) {
        std::string path = r.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        files[path] = r.data;
    }
    return files;
}

TEST_F(Extract, EachOptionOnItsOwnAndWithSelection) {
    const std::vector<std::string> all = {"readme.txt", "text/poem.txt", "config/keys.cfg", "sounds\\shot.wav", "empty.dat"};
    const std::vector<std::string> txt = {"readme.txt", "text/poem.txt"};
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> taken;  // the names the run takes
        std::string root;                // where it writes them; "" for nowhere
        bool lines = true;               // it prints their lines
        std::string summary = "";        // and this after them
        int status = 0;
        std::string errors = "";
    };
    const std::string notFound = ": Not found in resource file\n";
    const std::vector<Case> cases = {
        {{"in.rux", "out"}, all, "out"},
        {{"-l", "in.rux", "out"}, all, ""},
        {{"--list", "in.rux"}, all, ""},
        {{"-t", "in.rux", "out"}, all, "", true, "5 resources read, 0 failed\n"},
        {{"-qt", "in.rux"}, all, "", false, "5 resources read, 0 failed\n"},
        {{"--quiet", "--test", "-i", "*.TXT", "in.rux"}, txt, "", false, "2 resources read, 0 failed\n"},
        {{"-q", "in.rux", "out"}, all, "out", false},
        {{"-i", "*.txt", "in.rux", "out"}, txt, "out"},
        // Case folded, '\\' read as '/', an exclude wins over an include.
        {{"--include=*.TXT", "-i", "SOUNDS/*", "-x", "TEXT/*", "in.rux", "out"}, {"readme.txt", "sounds\\shot.wav"}, "out"},
        {{"-l", "-x", "*.txt", "--exclude", "sounds/shot.wav", "in.rux"}, {"config/keys.cfg", "empty.dat"}, ""},
        {{"-t", "-i", "config/*", "-i", "empty.dat", "in.rux"}, {"config/keys.cfg", "empty.dat"}, "", true,
         "2 resources read, 0 failed\n"},
        {{"-i", "readme.txt", "-x", "README.TXT", "in.rux", "out"}, {}, "out"},
        // '\\' matches either separator. Each include that matches no name
        // is told, after the lines, and fails the run; an exclude is not.
        {{"-i", "SOUNDS\\SHOT.WAV", "-i", "none*", "-i", "text\\*", "-i", "[*]", "-i", "\x1b[2J", "in.rux", "out"},
         {"sounds\\shot.wav", "text/poem.txt"}, "out", true, "", 1,
         "rux-extract: none*" + notFound + "rux-extract: [*]" + notFound + "rux-extract: \\033[2J" + notFound},
        {{"-l", "-x", "TEXT\\*", "-x", "*\\shot.wav", "-x", "nothing", "in.rux"}, {"readme.txt", "config/keys.cfg", "empty.dat"}, ""},
        {{"-i", "nothing", "-t", "in.rux"}, {}, "", true, "0 resources read, 0 failed\n", 1, "rux-extract: nothing" + notFound},
        // Options the output does not show; --progress prints nothing off a terminal.
        {{"-j", "1", "--jobs=256", "-j8", "--progress", "in.rux", "out"}, all, "out"},
        {{"--progress", "-t", "in.rux"}, all, "", true, "5 resources read, 0 failed\n"},
        // Options end at the first argument that is not one, or at "--";
        // each argument after OUTDIR is ignored, with a warning.
        {{"in.rux", "out", "-l", "extra", "-"}, all, "out", true, "", 0,
         "rux-extract: ignoring '-l': options go before FILE.rux\nrux-extract: ignoring 'extra'\n"
         "rux-extract: ignoring '-'\n"},
        // An OUTDIR that looks like an option is refused, and nothing is written.
        {{"in.rux", "-l", "-t"}, {}, "", false, "", 1,
         "rux-extract: '-l' after FILE.rux: options go before FILE.rux (write ./-l for a directory of that name)\n"},
        {{"in.rux", "./-l"}, all, "-l"},
        {{"-q", "--", "in.rux", "out"}, all, "out", false},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.args) trace += a + " ";
        SCOPED_TRACE(trace);
        Fresh();
        Write(kKinds);
        const std::vector<std::string> before = All();
        const std::vector<PackResource> taken = Only(c.taken);
        Expect(c.args, c.status, (c.lines ? ListingOf(taken) : "") + Console(c.summary), Console(c.errors));
        if (c.root.empty()) {
            EXPECT_EQ(before, All());
        } else {
            EXPECT_EQ(FilesOf(taken), Tree(c.root));
        }
    }
}

TEST_F(Extract, ToStdoutWritesTheDataAloneInSlotOrder) {
    Write(kKinds);
    const std::vector<std::string> before = All();
    std::string data;
    for (const PackResource& r : Only(kKindsInSlotOrder)) data += r.data;
    Expect({"-O", "in.rux"}, 0, data);
    Expect({"--to-stdout", "-q", "-i", "readme.txt", "in.rux"}, 0, kKinds[0].data);
    Expect({"-O", "-x", "*", "in.rux"}, 0, "");
    EXPECT_EQ(before, All());
}

// Where options meet damage: a block that cannot be inflated, a loose file
// that is missing, an unsafe name. The names' home slots fix their order.
TEST_F(Extract, OptionsOnDamagedResources) {
    const std::string ok = NameAtHome(10, "ok", ".txt");
    const std::string bad = NameAtHome(20, "bad", ".txt");
    const std::string gone = NameAtHome(30, "gone", ".txt");
    const std::string up = NameAtHome(40, "../up");
    const std::string text = TextBytes(3 * 4096, 5);
    RawFile raw = MakeRawFile({Stored(up, "up"), Loose(gone, "never written"), Deflated(bad, text, 4096), Stored(ok, "fine")});
    const std::uint32_t second = LoadLE32(reinterpret_cast<const std::uint8_t*>(raw.blocks.inflated.data()) + 4);
    raw.data[second - FILE_HEADER_BYTES] ^= 0x55;  // the second block's zlib header
    WriteBytes(raw.Serialize());
    const std::vector<std::string> before = All();

    const std::string rule = "--------  ----------  ----------  -----  ------  ----\n";
    const std::string okLine = "2 " + ok + " 4\n";
    const std::string badLine = "8 " + bad + " 12288\n";
    const std::string goneLine = "1 " + gone + " 0\n";
    // Listing and testing write nothing: the name is only noted.
    const std::string upLine = "2 " + up + " 2 (would be refused: unsafe name)\n";
    const std::string badRead = "Cannot read " + bad + "\n";
    const std::string goneRead = "Cannot read " + gone + "\n";
    const std::string refused = "Refused unsafe name " + up + "\n";  // extraction and -O
    const std::string badWhy = Why(bad, "damaged block 2 of 3");
    const std::string goneWhy = Why(gone, "cannot open loose file in.rux" + gone + ": No such file or directory");
    struct Case {
        std::vector<std::string> options;
        std::string output;
        int status;
        std::string errors;
    };
    const std::vector<Case> cases = {
        // A listing opens each stream but reads no block.
        {{"-l"}, okLine + badLine + goneLine + goneRead + upLine, 1, goneWhy},
        {{"-l", "-i", "*.txt", "-x", "g*"}, okLine + badLine, 0, ""},
        {{"-l", "-i", "?ONE*"}, goneLine + goneRead, 1, goneWhy},
        {{"-t"}, okLine + badLine + badRead + goneLine + goneRead + upLine + "2 resources read, 2 failed\n", 1, badWhy + goneWhy},
        {{"-t", "-x", "gone*", "-x", "../*"}, okLine + badLine + badRead + "1 resources read, 1 failed\n", 1, badWhy},
        {{"-t", "-i", "OK*"}, okLine + "1 resources read, 0 failed\n", 0, ""},
        {{"-tq"}, badRead + goneRead + "2 resources read, 2 failed\n", 1, badWhy + goneWhy},
        {{"-lv", "-i", "ok*"}, "Kind            Size      Packed  Ratio  Blocks  Name\n" + rule +
                                   "stored             4           4     0%       0  " + ok + "\n" + rule +
                                   "                   4           4     0%       0  1 resource\n", 0, ""},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& a : c.options) trace += a + " ";
        SCOPED_TRACE(trace);
        std::vector<std::string> args = c.options;
        args.push_back("in.rux");
        Expect(args, c.status, Console(c.output), c.errors);
        EXPECT_EQ(before, All());
    }
    // A JSON test says which read in full and why the others did not.
    const RunResult tested = Run({"-t", "--json", "-j", "2", "in.rux"});
    EXPECT_EQ(1, tested.status);
    EXPECT_NE(std::string::npos, tested.output.find("\"blocks\": 3, \"read\": false, \"reason\": \"damaged block 2 of 3\"}"));
    EXPECT_NE(std::string::npos, tested.output.find(Console("\"read\": 2, \"failed\": 2}\n}")));
    if (!Windows() && !Launcher()) {
        EXPECT_EQ(badWhy + goneWhy, tested.errors);
    }
    // The data that could be read, in slot order; every message on standard error.
    Expect({"-O", "in.rux"}, 1, "fine" + text.substr(0, 4096), Console(badRead) + badWhy + Console(goneRead) + goneWhy + Console(refused));
    Expect({"-O", "-i", "ok*", "in.rux"}, 0, "fine");
    EXPECT_EQ(before, All());
    // A resource that fails leaves no file.
    Expect({"-q", "-x", "ok*", "in.rux", "out"}, 1, Console(badRead + goneRead + refused), badWhy + goneWhy);
    EXPECT_EQ(Files{}, Tree());
}

TEST_F(Extract, BadOptionsSayWhatIsWrongAndDoNothing) {
    Write({kOk});
    const std::vector<std::string> before = All();
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-z", "in.rux"}, "Unknown option -z"},
        {{"-lz", "in.rux"}, "Unknown option -z"},
        {{"--frob=1", "in.rux"}, "Unknown option --frob"},
        {{"--list=yes", "in.rux"}, "Option --list takes no value"},
        {{"--progress=1", "in.rux"}, "Option --progress takes no value"},
        {{"-i"}, "Option -i needs a value"},
        {{"--", "in.rux", "-x"}, ""},  // after "--", not an option: the output directory
        {{"-l", "--exclude"}, "Option --exclude needs a value"},
        {{"-j", "0", "in.rux"}, "Option -j takes a number of jobs from 1 to 256, not '0'"},
        {{"-j257", "in.rux"}, "Option -j takes a number of jobs from 1 to 256, not '257'"},
        {{"--jobs=2x", "in.rux"}, "Option --jobs takes a number of jobs from 1 to 256, not '2x'"},
        {{"--jobs=", "in.rux"}, "Option --jobs takes a number of jobs from 1 to 256, not ''"},
        {{"-l", "-t", "in.rux"}, "Options -l and -t cannot be given together"},
        {{"--test", "--list", "in.rux"}, "Options -t and -l cannot be given together"},
        {{"--json", "in.rux"}, "Option --json goes with -l or -t"},
        {{"-v", "-t", "in.rux"}, "Option -v goes with -l"},
        {{"-lv", "--json", "in.rux"}, "Options -v and --json cannot be given together"},
        // The first thing wrong is the one told, whatever follows.
        {{"-y", "-z", "-h", "in.rux"}, "Unknown option -y"},
        {{"-q"}, ""},  // no resource file: the syntax line alone
        {{"--"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        if (c.args.back() == "-x") {
            Expect(c.args, 0, ListingOf({kOk}));
            EXPECT_EQ((Files{{"ok.txt", "fine"}}), Tree("-x"));
            fs::remove_all(At("-x"));
            continue;
        }
        ExpectSyntax(c.args, c.message.empty() ? "" : c.message + "\n");
        EXPECT_EQ(before, All());
    }
    // With the data going to standard output, the complaint does not.
    ExpectSyntax({"-O", "-j", "none", "in.rux"}, "Option -j takes a number of jobs from 1 to 256, not 'none'\n", true);
    ExpectSyntax({"-x", "*", "--to-stdout"}, "", true);
    ExpectSyntax({"-t", "-O", "in.rux"}, "Options -t and -O cannot be given together\n", true);
    // Nor do the data go anywhere but standard output.
    ExpectSyntax({"-O", "in.rux", "out"}, "Option -O writes to standard output: it takes no OUTDIR ('out')\n", true);
    ExpectSyntax({"--to-stdout", "in.rux", "x", "y"},
                 "Option --to-stdout writes to standard output: it takes no OUTDIR ('x')\n", true);
    EXPECT_EQ(before, All());
}

TEST_F(Extract, HelpAndVersionWriteNothing) {
    Write({kOk});
    const std::vector<std::string> before = All();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h"}, {"--help", "in.rux", "out"}, {"-l", "-h", "in.rux"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(0u, r.output.find(Console("Usage: rux-extract [OPTIONS] FILE.rux [OUTDIR]\n")));
        EXPECT_NE(std::string::npos, r.output.find("--no-clobber"));
        EXPECT_NE(std::string::npos, r.output.find("carry no checksum"));
    }
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-V"}, {"--version", "in.rux", "out"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(Console("rux-extract " RUX_VERSION "\n"), r.output);
    }
    EXPECT_EQ(before, All());
}

TEST_F(Extract, FilesNamedLikeOptionsAfterTheEndOfOptions) {
    Write({kOk}, "-l");
    Write({Stored("v", "version")}, "--version");
    Expect({"--", "-l"}, 0, ListingOf({kOk}));
    EXPECT_EQ((Files{{"ok.txt", "fine"}}), Tree("__-l"));
    Expect({"-t", "--", "--version", "ignored"}, 0, ListingOf({Stored("v", "version")}) + Console("1 resources read, 0 failed\n"));
    Expect({"--", "--version", "-t"}, 0, ListingOf({Stored("v", "version")}));
    EXPECT_EQ((Files{{"v", "version"}}), Tree("-t"));
}

// The bundled sample: the plain run's listing, byte for byte, and the same
// lines from -l and -t.
TEST_F(Extract, BundledSampleListing) {
    fs::copy_file(RUX_SOURCE_DIR "/examples/sample.rux", At("sample.rux"));
    fs::create_directory(At("sample.ruxconfig"));
    fs::copy_file(RUX_SOURCE_DIR "/examples/sample.ruxconfig/keys.cfg", At("sample.ruxconfig/keys.cfg"));
    const std::string listing = Console(
        "8 data\\table.bin 4096\n"
        "8 empty.dat 0\n"
        "2 sounds\\shot.wav 5000\n"
        "2 readme.txt 44\n"
        "1 config/keys.cfg 19\n"
        "8 text/poem.txt 21892\n");
    Expect({"sample.rux"}, 0, listing);
    EXPECT_EQ(6u, Tree("__sample.rux").size());
    Expect({"-l", "sample.rux", "listed"}, 0, listing);
    Expect({"-t", "sample.rux"}, 0, listing + Console("6 resources read, 0 failed\n"));
    EXPECT_FALSE(FileExists(At("listed")));
    const std::string rule = "--------  ----------  ----------  -----  ------  ----\n";
    Expect({"-l", "-v", "sample.rux"}, 0, Console(
        "Kind            Size      Packed  Ratio  Blocks  Name\n" + rule +
        "deflated        4096        1050    74%       4  data\\table.bin\n"
        "deflated           0           0     0%       0  empty.dat\n"
        "stored          5000        5000     0%       0  sounds\\shot.wav\n"
        "stored            44          44     0%       0  readme.txt\n"
        "loose             19           0      -       0  config/keys.cfg\n"
        "deflated       21892        1390    94%       6  text/poem.txt\n" + rule +
        "               31051        7484    76%      10  6 resources\n"));
}

TEST_F(Extract, ProgressLineOnATerminal) {
    if (Windows()) GTEST_SKIP() << "no pseudo-terminal for a Windows program";
    Write(kKinds);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--progress", "-t", "in.rux"}, {"--progress", "-q", "in.rux", "out"},
          {"--progress", "-j", "3", "-O", "in.rux"}}) {
        const RunResult r = Run(args, true);
        EXPECT_EQ(0, r.status);
        // One line redrawn in place ("\r"), ended once (CR LF from the terminal).
        const std::string& e = r.errors;
        ASSERT_GE(e.size(), 2u) << e;
        EXPECT_EQ("\r\n", e.substr(e.size() - 2));
        EXPECT_EQ(e.size() - 2, e.find('\n') - 1) << e;
        const std::string last = e.substr(e.rfind('\r', e.size() - 3) + 1, e.size() - 2 - e.rfind('\r', e.size() - 3) - 1);
        // "N UNIT of 24.4 KiB, 100%, R UNIT/s, 0:00 left, 5 of 5 resources"
        const std::string tail = "/s, 0:00 left, 5 of 5 resources";
        EXPECT_NE(std::string::npos, last.find(" of 24.4 KiB, 100%, ")) << last;
        EXPECT_TRUE(last.size() > tail.size() &&
                    last.compare(last.size() - tail.size(), tail.size(), tail) == 0)
            << last;
        EXPECT_EQ(0u, e.find("\r0 B of 24.4 KiB, 0%, 0 B/s, --:-- left, 0 of 5 resources")) << e;
    }
    // Listing reads nothing: no progress.
    EXPECT_EQ("", Run({"--progress", "-l", "in.rux"}, true).errors);
}

}  // namespace

namespace {

// Any number of jobs gives the sequential run's output, tree and status: on
// a file whose resources run in parallel (many small ones, a large deflated
// one with a damaged block in the middle, a large stored one, unsafe names,
// a missing loose file), on one whose names collide (duplicates, names
// equal but for case, a name that is a directory of another), and on one of
// a single large resource.
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

    for (const std::string file : {"spread.rux", "collide.rux", "one.rux", "odd.rux"}) {
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
