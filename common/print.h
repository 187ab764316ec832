// Printing names and paths, shared by the tools.
//
// Names come from resource files and directory trees that may be hostile.
// A control character in a printed name could forge a listing line or drive
// the terminal, and a bidirectional formatting character could make one
// name pass for another, so the bytes of each are printed as a backslash
// and three octal digits ("\012", "\033"):
// - the C0 controls and DEL (bytes 1 to 31, and 127);
// - the C1 controls, sent raw (bytes 0x80 to 0x9F that are no part of a
//   well-formed UTF-8 sequence) or as UTF-8 (U+0080 to U+009F: "\302\233"
//   for U+009B);
// - the bidirectional formatting characters in UTF-8 (U+202A to U+202E,
//   U+2066 to U+2069).
// Every other byte prints as it is, so ordinary names and their lines are
// unchanged.
#ifndef RUX_COMMON_PRINT_H
#define RUX_COMMON_PRINT_H

#include <cstdio>
#include <string>

namespace rux {

// 1 for the C0 control bytes and DEL: 1 to 31, and 127.
int IsControlByte(unsigned char c);

// text as it is printed: every byte above escaped.
std::string EscapedName(const char* text);

// Writes text to out as EscapedName gives it.
void PrintName(std::FILE* out, const char* text);

// text as a JSON string, quotes included. Well-formed UTF-8 stays as it
// is, but '"' and '\' take a backslash, and the characters EscapedName
// escapes become \uXXXX. Every byte of no well-formed sequence becomes
// \udcXX, the lone surrogate that Python's os.fsdecode makes of it
// (surrogateescape), so os.fsencode of the parsed string gives the name's
// exact bytes back.
std::string JsonName(const char* text);

}  // namespace rux

#endif
