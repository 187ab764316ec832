// The whole extraction of one resource file: mount it, create the output
// directory, and write every selected resource of the index below it,
// printing one line per resource (kind, name, size) and the tool's
// messages; or list, test, or copy the selected resources to a stream.
#ifndef RUX_ENGINE_EXTRACT_H
#define RUX_ENGINE_EXTRACT_H

#include <cstdio>

#include "resource/set.h"

namespace rux {

// What a run does with the selected resources.
enum ExtractMode {
    MODE_EXTRACT = 0,  // write each below the output directory (the plain run)
    MODE_LIST,         // print the listing only, writing nothing
    MODE_TEST,         // read each in full and discard the data
    MODE_STDOUT,       // write the data of each to standard output, in slot order
};

// The choices of one run. The defaults are the plain run.
struct ExtractOptions {
    int mode = MODE_EXTRACT;
    // Glob patterns (MatchesNameGlob), owned by the caller. A resource is
    // selected when includeCount is 0 or any include matches, and no
    // exclude matches.
    const char* const* includes = nullptr;
    int includeCount = 0;
    const char* const* excludes = nullptr;
    int excludeCount = 0;
    int noClobber = 0;  // never replace an existing file
    int quiet = 0;      // no resource lines, no "Kept existing"; failures and refusals still print
    int progress = 0;   // a progress line on the error stream, if it is a terminal
    int jobs = 1;       // worker threads, 1 to 256
    // When set, INDEX_SLOTS flags: only the slots flagged are taken (the
    // patterns still apply). Owned by the caller.
    const unsigned char* onlySlots = nullptr;
    // MODE_LIST or MODE_TEST: one JSON document on out instead of the lines
    // (see ExtractAll).
    int json = 0;
    // MODE_LIST: aligned columns under a heading, and a totals line.
    int verbose = 0;
};

// Prints the syntax line naming program on out, then on err the line that
// points to --help; flushes both and returns 1, the exit status that goes
// with them.
int PrintSyntax(std::FILE* out, std::FILE* err, const char* program);

// Extracts resourceFile below outputDirectory, or below "__NAME" in the
// current directory when outputDirectory is null (NAME being the resource
// file's name without its directories), as options say. Prints the lines
// and messages on out, both flushed before it returns; program names the
// tool in the syntax line (printed for an output directory made only of
// separators). Returns the exit status: 0 only when everything asked for
// was done, else 1.
//
// The other modes make no output directory and ignore outputDirectory.
// MODE_LIST opens each stream, for its size, and reads nothing; MODE_TEST
// reads each in full and ends with "%u resources read, %u failed\n";
// MODE_STDOUT writes the data to out, switched to binary mode, and every
// message to err. Each include that matches no name of the index is named
// on err after the run ("rux-extract: GLOB: Not found in resource file"),
// and the status is then 1; an exclude that matches nothing is no failure.
// A resource left out by the patterns prints nothing and is not opened.
//
// With json, out receives nothing but one JSON document: "file" (the
// resource file's path), "resources" (one object per selected resource in
// slot order: slot, kind as a word and kind_number, name, size as the line
// gives it, packed_size, block_length, blocks; in MODE_TEST "read", true
// when it read in full; "reason" when it failed) and "totals". Names are
// strings as JsonName writes them. Every message goes to err.
// The progress line goes to err, and only if err is a terminal.
//
// Mounts the file into a resource set of its own, released before it
// returns: the library's default set, and any other, are left untouched.
int ExtractAll(const char* program, const ExtractOptions& options, const char* resourceFile,
               const char* outputDirectory, std::FILE* out, std::FILE* err);

// ExtractAll on a set already mounted, which it only reads (so other
// threads may read it meanwhile): resourceFile names the run in the JSON
// listing and makes the default output directory.
int ExtractSet(const char* program, const ExtractOptions& options, const ResourceSet& set,
               const char* resourceFile, const char* outputDirectory, std::FILE* out, std::FILE* err);

}  // namespace rux

#endif
