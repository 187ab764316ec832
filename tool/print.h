// Printing names and paths, shared by the tools.
//
// Names come from resource files and directory trees that may be hostile.
// A control byte (1 to 31, or 127) in a printed name could forge a listing
// line or drive the terminal, so each one is printed as a backslash and
// three octal digits ("\012", "\033"). Every other byte prints as it is, so
// ordinary names and their lines are unchanged.
#ifndef RUX_TOOL_PRINT_H
#define RUX_TOOL_PRINT_H

#include <cstdio>
#include <string>

// 1 for the bytes that are escaped when printed: 1 to 31 and 127.
int IsControlByte(unsigned char c);

// text with every control byte escaped.
std::string EscapedName(const char* text);

// Writes text to out with every control byte escaped.
void PrintName(std::FILE* out, const char* text);

#endif
