// The glob matching of -i/-x and of rux-pack's store, loose and exclude
// lists: whole names, sets, ranges and separators, and the case folding
// of resource names.
#include <gtest/gtest.h>

#include <utility>

#include "common/glob.h"

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
