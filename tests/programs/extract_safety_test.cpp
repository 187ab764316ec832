// rux-extract end to end: what it refuses to write and what it never
// follows or overwrites: unsafe names, escaped control bytes, clashes,
// paths too long, short writes, links below the output directory, -n.
#include "tests/programs/extract_fixture.h"

using namespace extract_test;

namespace {

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


}  // namespace
