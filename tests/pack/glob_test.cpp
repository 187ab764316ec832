#include <gtest/gtest.h>

#include "tool/glob.h"

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
