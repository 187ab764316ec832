// The whole extraction of one resource file: mount it, create the output
// directory, and write every resource of the index below it, printing one
// line per resource (kind, name, size) and the tool's messages.
#ifndef RUX_TOOL_EXTRACT_H
#define RUX_TOOL_EXTRACT_H

#include <cstdio>

// Prints the syntax line naming program, flushes out, and returns 1, the
// exit status that goes with it.
int PrintSyntax(std::FILE* out, const char* program);

// Extracts resourceFile below outputDirectory, or below "__NAME" in the
// current directory when outputDirectory is null (NAME being the resource
// file's name without its directories). Prints everything on out, flushed
// before it returns; program names the tool in the syntax line (printed for
// an output directory made only of separators). Returns the exit status: 0
// only when every listed resource was written in full, else 1.
//
// Starts with ResetResourceTables() and does not release what the mount
// allocated; a caller that extracts again in the same process calls
// ReleaseResourceTables() in between.
int ExtractAll(const char* program, const char* resourceFile, const char* outputDirectory,
               std::FILE* out);

#endif
