#include "tool/names.h"

#include <cstddef>
#include <cstring>

namespace {

int IsSeparator(char c) { return c == '/' || c == '\\'; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// A component naming a Windows device, whatever follows a '.' in it.
int IsDeviceName(const char* component, std::size_t length) {
    std::size_t stem = 0;
    while (stem < length && component[stem] != '.') ++stem;
    // Windows ignores trailing spaces before the extension: "CON .txt".
    while (stem > 0 && component[stem - 1] == ' ') --stem;
    char upper[5] = {};
    if (stem < 3 || stem > 4) return 0;
    for (std::size_t i = 0; i < stem; ++i) upper[i] = Upper(component[i]);
    if (stem == 3) {
        return std::strcmp(upper, "CON") == 0 || std::strcmp(upper, "PRN") == 0 ||
               std::strcmp(upper, "AUX") == 0 || std::strcmp(upper, "NUL") == 0;
    }
    return (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0) &&
           upper[3] >= '1' && upper[3] <= '9';
}

// Windows drops trailing dots and spaces from a component, so "..." or
// ".. " may come to mean "..": any component of two or more characters made
// only of dots and spaces is refused there.
int IsDotsAndSpaces(const char* component, std::size_t length) {
    if (length < 2) return 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (component[i] != '.' && component[i] != ' ') return 0;
    }
    return 1;
}

}  // namespace

int IsUnsafeName(const char* name, int windowsRules) {
    if (IsSeparator(name[0])) return 1;
    const char first = Upper(name[0]);
    if (first >= 'A' && first <= 'Z' && name[1] == ':') return 1;
    if (windowsRules && std::strchr(name, ':')) return 1;

    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p != '\0' && !IsSeparator(*p)) continue;
        const std::size_t length = static_cast<std::size_t>(p - component);
        if (length == 2 && component[0] == '.' && component[1] == '.') return 1;
        if (windowsRules &&
            (IsDeviceName(component, length) || IsDotsAndSpaces(component, length))) {
            return 1;
        }
        if (*p == '\0') return 0;
        component = p + 1;
    }
}
