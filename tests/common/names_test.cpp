// The name rules every tool shares: which names are unsafe, on every
// system and on Windows, and how names print with their control and
// formatting characters escaped.
#include <gtest/gtest.h>

#include <utility>

#include "common/names.h"
#include "common/print.h"

using namespace rux;

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
