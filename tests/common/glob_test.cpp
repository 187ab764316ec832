#include <gtest/gtest.h>

#include <utility>

#include "common/glob.h"
#include "common/names.h"
#include "common/print.h"

using namespace rux;

namespace {

struct GlobCase {
    const char* pattern;
    const char* name;
    int matches;
};

TEST(Glob, MatchesWholeNames) {
    const GlobCase cases[] = {
        {"*.ogg", "a.ogg", 1},
        {"*.ogg", "music/deep/a.ogg", 1},  // '*' crosses directories
        {"*.ogg", "a.ogg.bak", 0},
        {"*.ogg", ".ogg", 1},
        {"music/*", "music/a/b", 1},
        {"music/*", "musicx/a", 0},
        {"a*b*c", "aXbYbZc", 1},
        {"a*b*c", "aXbYbZ", 0},
        {"**", "", 1},
        {"*", "", 1},
        {"?", "", 0},
        {"?", "x", 1},
        {"??", "x", 0},
        {"", "", 1},
        {"", "x", 0},
        {"x", "", 0},
        {"exact.txt", "exact.txt", 1},
        {"exact.txt", "Exact.txt", 0},  // bytes, not case-folded
    };
    for (const GlobCase& c : cases) {
        EXPECT_EQ(c.matches, MatchesGlob(c.pattern, c.name)) << c.pattern << " ~ " << c.name;
    }
}

TEST(Glob, SetsRangesAndSeparators) {
    const GlobCase cases[] = {
        {"[abc].h", "b.h", 1},
        {"[abc].h", "d.h", 0},
        {"[a-c]x", "cx", 1},
        {"[a-c]x", "dx", 0},
        {"[!a-c]x", "dx", 1},
        {"[^a-c]x", "ax", 0},
        {"[]]", "]", 1},
        {"[!]]", "]", 0},
        {"[a-]", "-", 1},
        {"[", "[", 1},       // unclosed: a literal '['
        {"[ab", "[ab", 1},
        // No escape: a set takes '*' and '?' literally.
        {"[*]", "*", 1},
        {"[*]", "x", 0},
        {"[?]x", "?x", 1},
        {"[?]x", "ax", 0},
        // Either separator matches either, in a pattern and alone in a set.
        {"data\\*", "data/t.bin", 1},
        {"data\\*", "data\\t.bin", 1},
        {"data/*", "data\\t.bin", 1},
        {"\\*", "*", 0},
        {"a\\b", "ab", 0},
        {"a[/]b", "a\\b", 1},
        {"a[\\]b", "a/b", 1},
        {"a[!/]b", "a\\b", 0},
        {"a[!/]b", "a.b", 1},
        {"[\\]]", "/]", 1},
        {"*[0-9].png", "icons/x12.png", 1},
        {"*[0-9].png", "icons/x1a.png", 0},
        {"\xe9*", "\xe9t\xe9", 1},  // high bytes are plain bytes
        {"[\x80-\xff]", "\xe9", 1},
    };
    for (const GlobCase& c : cases) {
        EXPECT_EQ(c.matches, MatchesGlob(c.pattern, c.name)) << c.pattern << " ~ " << c.name;
    }
}

}  // namespace

TEST(Glob, NameGlobsFoldCase) {
    const GlobCase cases[] = {
        {"MUSIC/*.OGG", "music\\a.ogg", 1},
        {"music/*.ogg", "Music/A.OGG", 1},
        {"DATA\\TABLE.BIN", "data\\table.bin", 1},
        {"TEXT\\*", "text/poem.txt", 1},
        {"[A-C]*", "b.txt", 1},
        {"*.ogg", "a.wav", 0},
    };
    for (const GlobCase& c : cases) {
        EXPECT_EQ(c.matches, MatchesNameGlob(c.pattern, c.name)) << c.pattern << " ~ " << c.name;
    }
}

TEST(Names, ControlBytesAreUnsafeEverywhereAndPrintEscaped) {
    for (int c = 1; c < 256; ++c) {
        const char name[] = {'a', 'b', static_cast<char>(c), 'c', '\0'};
        const bool control = c < 32 || c == 127;
        EXPECT_EQ(control ? 1 : 0, IsUnsafeName(name, 0)) << c;
        if (control) {
            EXPECT_EQ(1, IsUnsafeName(name, 1)) << c;
        }
    }
    const char* const empty[] = {"", "x/", "p\\q\\", "a//b", "a\\\\b", "a/\\b", "/abs"};
    for (const char* name : empty) EXPECT_EQ(1, IsUnsafeName(name, 0)) << name;
}

// C0 and C1 controls, raw or in UTF-8, and the bidirectional formatting
// characters print as octal escapes, byte by byte; nothing else does.
TEST(Names, PrintedEscapes) {
    const std::pair<const char*, const char*> cases[] = {
        {"a\nb \033[2J\177", "a\\012b \\033[2J\\177"},
        {"plain\\name/\xe9.txt", "plain\\name/\xe9.txt"},
        {"csi\x9b" "2J \x80\x9f\xa0", "csi\\2332J \\200\\237\xa0"},        // raw C1
        {"u\xc2\x9b \xc2\x80\xc2\x9f", "u\\302\\233 \\302\\200\\302\\237"},  // C1 in UTF-8
        {"\xc2\xa0\xc3\xa9\xc2", "\xc2\xa0\xc3\xa9\xc2"},            // other UTF-8, a cut lead
        {"\xe0\xa0\x80\xdf\x80\xef\x80\x80\xf4\x8f\x80\x80", "\xe0\xa0\x80\xdf\x80\xef\x80\x80\xf4\x8f\x80\x80"},  // the leads at the bounds
        {"\xe2\x80\xae\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9", "\\342\\200\\256\\342\\200\\252\\342\\201\\246\\342\\201\\251"},
        {"\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
        // Continuation bytes of sequences that are not well formed are raw.
        {"\xc0\x9b\xe0\x82\x9b\xe2\x80", "\xc0\\233\xe0\\202\\233\xe2\\200"},
        {"\xf0\x9f\x98\x80\xf4\x90\x80\x80", "\xf0\x9f\x98\x80\xf4\\220\\200\\200"},
        {"\xed\xa0\x80|\xf0\x80\x80|\xf5\x80|\xe2\x80" "A", "\xed\xa0\\200|\xf0\\200\\200|\xf5\\200|\xe2\\200A"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, EscapedName(c.first)) << c.first;
}

TEST(Names, WindowsRulesRefuseWhatWindowsCannotMake) {
    const char* const unsafe[] = {"a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "dir./x",
                                  "x/name ", "COM0", "lpt0.txt", "COM\xb9", "LPT\xb2.x",
                                  "com\xb3", "CONIN$", "conout$.log", "d/CON .txt"};
    for (const char* name : unsafe) {
        EXPECT_EQ(1, IsUnsafeName(name, 1)) << name;
        EXPECT_EQ(0, IsUnsafeName(name, 0)) << name;
    }
    const char* const safe[] = {"COM10", "CONIN", "a.b/c", "COM\xb4", ".hidden", "x$/CONOUT"};
    for (const char* name : safe) EXPECT_EQ(0, IsUnsafeName(name, 1)) << name;
}
