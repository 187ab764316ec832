// Shell-style patterns for choosing files by name.
#ifndef RUX_TOOL_GLOB_H
#define RUX_TOOL_GLOB_H

// 1 if the whole of name matches pattern, else 0. "*" matches any run of
// bytes, '/' included, so "*.ogg" matches "music/a.ogg"; "?" matches one
// byte; "[...]" matches one byte of a set of bytes and ranges ("[a-z_]"),
// or, starting with '!' or '^', one byte not in it (a ']' first in the set
// is taken literally); '\' makes the next byte literal. A '[' with no
// closing ']' is a literal '['.
int MatchesGlob(const char* pattern, const char* name);

// MatchesGlob for resource names, matched as lookups match them: every '\'
// in name is read as '/', and ASCII letters match whatever their case.
int MatchesNameGlob(const char* pattern, const char* name);

#endif
