#include "common/names.h"

#include <cstddef>
#include <cstring>

#include "resource/ascii.h"
#include "common/print.h"

namespace rux {

namespace {

// A component naming a Windows device, whatever follows a '.' in it.
int IsDeviceName(const char* component, std::size_t length) {
    std::size_t stem = 0;
    while (stem < length && component[stem] != '.') ++stem;
    // Windows ignores trailing spaces before the extension: "CON .txt".
    while (stem > 0 && component[stem - 1] == ' ') --stem;
    char upper[8] = {};
    if (stem < 3 || stem > 7) return 0;
    for (std::size_t i = 0; i < stem; ++i) upper[i] = UpperAscii(component[i]);
    if (stem == 3) {
        return std::strcmp(upper, "CON") == 0 || std::strcmp(upper, "PRN") == 0 ||
               std::strcmp(upper, "AUX") == 0 || std::strcmp(upper, "NUL") == 0;
    }
    if (stem == 4) {
        const unsigned char digit = static_cast<unsigned char>(upper[3]);
        return (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0) &&
               ((digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 ||
                digit == 0xB3);
    }
    return std::strcmp(upper, "CONIN$") == 0 || std::strcmp(upper, "CONOUT$") == 0;
}

// Windows drops a component's trailing dots and spaces, so "a." would write
// "a" and ".. " would mean "..".
int EndsInDotOrSpace(const char* component, std::size_t length) {
    return length > 0 && (component[length - 1] == '.' || component[length - 1] == ' ');
}

}  // namespace

int IsUnsafeName(const char* name, int windowsRules) {
    const char first = UpperAscii(name[0]);
    if (first >= 'A' && first <= 'Z' && name[1] == ':') return 1;
    for (const char* p = name; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (IsControlByte(c)) return 1;
        if (windowsRules && std::strchr(":<>\"|?*", c)) return 1;
    }

    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p != '\0' && !IsSeparator(*p)) continue;
        const std::size_t length = static_cast<std::size_t>(p - component);
        // An empty component: a leading or trailing separator, two together.
        if (length == 0) return 1;
        if (length == 2 && component[0] == '.' && component[1] == '.') return 1;
        if (windowsRules &&
            (IsDeviceName(component, length) || EndsInDotOrSpace(component, length))) {
            return 1;
        }
        if (*p == '\0') return 0;
        component = p + 1;
    }
}

}  // namespace rux
