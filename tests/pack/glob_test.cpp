#include <gtest/gtest.h>

#include "tool/glob.h"
#include "tool/names.h"
#include "tool/print.h"

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

TEST(Glob, SetsRangesAndEscapes) {
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
        {"\\*", "*", 1},
        {"\\*", "x", 0},
        {"\\?x", "?x", 1},
        {"[\\]]", "]", 1},
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

TEST(Glob, NameGlobsFoldCaseAndReadBackslashAsSlash) {
    const GlobCase cases[] = {
        {"MUSIC/*.OGG", "music\\a.ogg", 1},
        {"music/*.ogg", "Music/A.OGG", 1},
        {"[A-C]*", "b.txt", 1},
        {"*.ogg", "a.wav", 0},
        {"\\*", "*", 1},
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
    EXPECT_EQ("a\\012b \\033[2J\\177", EscapedName("a\nb \033[2J\177"));
    EXPECT_EQ("plain\\name/\xe9.txt", EscapedName("plain\\name/\xe9.txt"));
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
