#include "common/glob.h"

#include <string>

#include "resource/ascii.h"

namespace rux {

namespace {

// Matches the set that starts after the '[' at *pattern against c. Sets
// *pattern past the closing ']' and returns 1 or 0; -1 when the set is not
// closed, leaving *pattern alone.
int MatchSet(const char** pattern, unsigned char c) {
    const char* p = *pattern;
    const bool negated = *p == '!' || *p == '^';
    if (negated) ++p;
    bool found = false;
    bool first = true;
    while (*p != ']' || first) {
        if (*p == '\0') return -1;
        first = false;
        const unsigned char low = static_cast<unsigned char>(*p++);
        unsigned char high = low;
        if (*p == '-' && p[1] != ']' && p[1] != '\0') {
            high = static_cast<unsigned char>(p[1]);
            p += 2;
        }
        if (low == high && IsSeparator(static_cast<char>(low))) {
            found = found || IsSeparator(static_cast<char>(c));
        } else if (low <= c && c <= high) {
            found = true;
        }
    }
    *pattern = p + 1;
    return found != negated ? 1 : 0;
}

}  // namespace

int MatchesNameGlob(const char* pattern, const char* name) {
    // Folding the pattern leaves its '*', '?', '[', ']' and separators alone.
    std::string foldedPattern;
    for (const char* p = pattern; *p != '\0'; ++p) foldedPattern += FoldAscii(*p);
    std::string foldedName;
    for (const char* p = name; *p != '\0'; ++p) foldedName += FoldAscii(*p);
    return MatchesGlob(foldedPattern.c_str(), foldedName.c_str());
}

int MatchesGlob(const char* pattern, const char* name) {
    // Backtracking over the last '*' only: a later '*' can always absorb
    // what an earlier one would have taken.
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        const char* p = pattern;
        const unsigned char c = static_cast<unsigned char>(*name);
        bool step = false;
        if (*p == '*') {
            starPattern = ++pattern;
            starName = name;
            continue;
        }
        if (*p == '?') {
            step = true;
            ++p;
        } else if (*p == '[') {
            ++p;
            const int result = MatchSet(&p, c);
            if (result < 0) {
                p = pattern + 1;
                step = c == '[';
            } else {
                step = result == 1;
            }
        } else if (*p != '\0') {
            const unsigned char want = static_cast<unsigned char>(*p++);
            step = want == c || (IsSeparator(static_cast<char>(want)) && IsSeparator(static_cast<char>(c)));
        }
        if (step) {
            pattern = p;
            ++name;
        } else if (starPattern) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return 0;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

}  // namespace rux
