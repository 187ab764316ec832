// ASCII case folding and path separators, as the index, the name rules,
// the globs, the packer and the mount all compare names.
//
// Resource names are bytes. Only the ASCII letters A-Z fold (to a-z); every
// other byte, including those of UTF-8 sequences, compares as it is. Both
// '/' and '\\' separate components, whichever the file was packed with.
#ifndef RUX_RESOURCE_ASCII_H
#define RUX_RESOURCE_ASCII_H

#include <string>

namespace rux {

constexpr unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

constexpr char FoldAscii(char c) {
    return static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
}

constexpr char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// TEXT with its ASCII letters folded.
inline std::string FoldedAscii(std::string text) {
    for (char& c : text) c = FoldAscii(c);
    return text;
}

// NAME as an output path compares: letters folded, every separator '/'.
inline std::string FoldedPath(const char* name) {
    std::string folded;
    for (const char* p = name; *p != '\0'; ++p) folded += IsSeparator(*p) ? '/' : FoldAscii(*p);
    return folded;
}

}  // namespace rux

#endif
