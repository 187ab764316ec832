// Checks on resource names before they become paths below the output
// directory.
#ifndef RUX_COMMON_NAMES_H
#define RUX_COMMON_NAMES_H

namespace rux {

// 1 if a resource of this name must not be written below the output
// directory: a ".." component ('/' and '\' both separate), a leading
// separator or a drive prefix (an ASCII letter and ':'), which reach outside
// it; an empty component (the empty name, a trailing separator, two
// separators together), which names no file; or a control byte (1 to 31,
// or 127), which could forge the tool's output. With windowsRules also what Windows cannot make as named: any
// other ':', any of < > " | ? *, a component that ends in '.' or ' ' (which
// Windows drops, writing another file), and the reserved device names in
// any case, with or without an extension: CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, and COM or LPT followed by a digit 0-9 or a superscript digit
// (bytes 0xB9, 0xB2, 0xB3).
int IsUnsafeName(const char* name, int windowsRules);

}  // namespace rux

#endif
