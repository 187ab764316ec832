// The console streams: whether one is a terminal, binary output, and
// whether everything written to one went out.
#ifndef RUX_PLATFORM_CONSOLE_H
#define RUX_PLATFORM_CONSOLE_H

#include <cstddef>
#include <cstdio>

namespace rux {

// 1 if stream is connected to a terminal (a console on Windows), else 0.
int IsTerminal(std::FILE* stream);

// Makes stream pass bytes through unchanged: on Windows, no "\n" becomes
// CR LF and no byte 26 ends the data. Nothing to do on POSIX. 1 on success.
int SetBinaryMode(std::FILE* stream);

// Writes count bytes to stream: 1 if it took them all, else 0 with the
// reason kept for LastError() (disk_file.h) and for CloseStream. Called
// for one stream from one thread at a time.
int WriteStream(std::FILE* stream, const void* bytes, std::size_t count);

// Flushes stream: 1 when everything written to it so far went out, else
// 0 with the reason kept for LastError() and for CloseStream (the C
// library may drop what it could not write, and its reason with it).
int FlushStream(std::FILE* stream);

// Flushes and closes stream, as a program does with standard output at
// its end: 1 when everything written to it went out, else 0 with the
// reason kept for LastError(): that of the flush or close, or else that of
// the first WriteStream or FlushStream on it that failed (0 when the stream failed
// without a known reason). A stream that was closed already, and had
// nothing written to it, is no failure.
int CloseStream(std::FILE* stream);

}  // namespace rux

#endif
