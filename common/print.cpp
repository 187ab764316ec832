#include "common/print.h"

#include <cstddef>
#include <cstdint>

namespace rux {

namespace {

// The length of the well-formed UTF-8 sequence of two or more bytes at p
// (no overlong form, no surrogate, nothing past U+10FFFF), with its code
// point in *code; 0 when none starts there.
std::size_t MultiByteSequence(const unsigned char* p, std::uint32_t* code) {
    const unsigned char lead = p[0];
    std::size_t length = 0;
    unsigned char low = 0x80;  // the bounds of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (p[1] < low || p[1] > high) return 0;
    std::uint32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;  // a NUL ends the text here too
        value = (value << 6) | (p[i] & 0x3F);
    }
    *code = value;
    return length;
}

bool IsEscapedCharacter(std::uint32_t code) {
    return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

void AppendEscaped(std::string& out, unsigned char c) {
    const char escape[] = {'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
                           static_cast<char>('0' + (c & 7))};
    out.append(escape, sizeof escape);
}

}  // namespace

int IsControlByte(unsigned char c) { return (c >= 1 && c <= 31) || c == 127; }

std::string EscapedName(const char* text) {
    std::string out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        std::uint32_t code = 0;
        std::size_t length = *p < 0x80 ? 1 : MultiByteSequence(p, &code);
        bool escaped;
        if (length == 0) {
            // A byte of no well-formed sequence: a raw C1 control, or one to keep.
            length = 1;
            escaped = *p >= 0x80 && *p <= 0x9F;
        } else {
            escaped = length == 1 ? IsControlByte(*p) != 0 : IsEscapedCharacter(code);
        }
        for (std::size_t i = 0; i < length; ++i) {
            if (escaped) {
                AppendEscaped(out, p[i]);
            } else {
                out += static_cast<char>(p[i]);
            }
        }
        p += length;
    }
    return out;
}

void PrintName(std::FILE* out, const char* text) { std::fputs(EscapedName(text).c_str(), out); }

std::string JsonName(const char* text) {
    std::string out = "\"";
    const auto Escape = [&out](std::uint32_t code) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(code));
        out += hex;
    };
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        std::uint32_t code = *p;
        const std::size_t length = *p < 0x80 ? 1 : MultiByteSequence(p, &code);
        if (length == 0) {
            Escape(0xDC00u + *p);
            ++p;
            continue;
        }
        if (length == 1 && (*p == '"' || *p == '\\')) {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (length == 1 ? IsControlByte(*p) != 0 : IsEscapedCharacter(code)) {
            Escape(code);
        } else {
            out.append(reinterpret_cast<const char*>(p), length);
        }
        p += length;
    }
    return out + '"';
}

}  // namespace rux
