#include "tool/print.h"

int IsControlByte(unsigned char c) { return (c >= 1 && c <= 31) || c == 127; }

std::string EscapedName(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (!IsControlByte(c)) {
            out += *p;
            continue;
        }
        const char escape[] = {'\\', static_cast<char>('0' + (c >> 6)),
                               static_cast<char>('0' + ((c >> 3) & 7)),
                               static_cast<char>('0' + (c & 7))};
        out.append(escape, sizeof escape);
    }
    return out;
}

void PrintName(std::FILE* out, const char* text) { std::fputs(EscapedName(text).c_str(), out); }
