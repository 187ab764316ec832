// Checks on resource names before they become paths below the output
// directory.
#ifndef RUX_TOOL_NAMES_H
#define RUX_TOOL_NAMES_H

// 1 if writing a resource of this name below the output directory could
// reach outside it: a ".." component ('/' and '\' both separate), a leading
// separator, or a drive prefix (an ASCII letter and ':'). With windowsRules
// also any other ':' and the reserved device names (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, in any case, with or without an extension) and
// components made only of dots and spaces, which Windows may shorten to "..".
int IsUnsafeName(const char* name, int windowsRules);

#endif
