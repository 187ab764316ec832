// Shell-style patterns for choosing files by name, one matcher for both
// tools.
#ifndef RUX_COMMON_GLOB_H
#define RUX_COMMON_GLOB_H

namespace rux {

// 1 if the whole of name matches pattern, else 0. "*" matches any run of
// bytes, separators included, so "*.ogg" matches "music/a.ogg"; "?" matches
// one byte; "[...]" matches one byte of a set of bytes and ranges ("[a-z_]"),
// or, starting with '!' or '^', one byte not in it (a ']' first in the set
// is taken literally). A '[' with no closing ']' is a literal '['. The two
// separators are one: '/' or '\' in the pattern, or alone in a set, matches
// either in the name. There is no escape: "[*]", "[?]" and "[[]" match
// those bytes literally.
int MatchesGlob(const char* pattern, const char* name);

// MatchesGlob for resource names, matched as lookups match them: ASCII
// letters match whatever their case.
int MatchesNameGlob(const char* pattern, const char* name);

}  // namespace rux

#endif
