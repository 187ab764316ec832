// The console streams: whether one is a terminal, and binary output.
#ifndef RUX_PLATFORM_CONSOLE_H
#define RUX_PLATFORM_CONSOLE_H

#include <cstdio>

namespace rux {

// 1 if stream is connected to a terminal (a console on Windows), else 0.
int IsTerminal(std::FILE* stream);

// Makes stream pass bytes through unchanged: on Windows, no "\n" becomes
// CR LF and no byte 26 ends the data. Nothing to do on POSIX. 1 on success.
int SetBinaryMode(std::FILE* stream);

}  // namespace rux

#endif
