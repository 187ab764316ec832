// rux-extract end to end: each option alone and with a selection, on sound
// and damaged resources; bad options, --help and --version; the bundled
// sample's listing; the progress line on a terminal.
#include "tests/programs/extract_fixture.h"

using namespace extract_test;

namespace {

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
