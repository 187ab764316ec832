// The whole extraction of one resource file: mount it, create the output
// directory, and write every selected resource of the index below it; or
// list, test, or copy the selected resources to a stream. The engine
// prints nothing: it tells an observer of the caller's.
#ifndef RUX_ENGINE_EXTRACT_H
#define RUX_ENGINE_EXTRACT_H

#include <cstdio>

#include "common/stop.h"
#include "engine/events.h"
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
    int progress = 0;   // tell the observer of progress
    int jobs = 1;       // worker threads, 1 to 256
    // When set, INDEX_SLOTS flags: only the slots flagged are taken (the
    // patterns still apply). Owned by the caller.
    const unsigned char* onlySlots = nullptr;
    std::FILE* data = nullptr;         // MODE_STDOUT: where the data go
    const StopRequest* stop = nullptr;  // null: the run is never stopped
    // How a printer of the events speaks (programs/extract_print.h); the
    // engine itself does not look at them. quiet: no resource lines, no
    // "Kept existing"; json (MODE_LIST or MODE_TEST): one JSON document
    // instead of the lines; verbose (MODE_LIST): aligned columns under a
    // heading, and a totals line.
    int quiet = 0;
    int json = 0;
    int verbose = 0;
};

// Extracts resourceFile below outputDirectory, or below "__NAME" in the
// current directory when outputDirectory is null (NAME being the resource
// file's name without its directories), as options say, telling observer
// each resource's end (engine/events.h). Returns the summary; its status
// is 0 only when everything asked for was done.
//
// The other modes make no output directory and ignore outputDirectory.
// MODE_LIST opens each stream, for its size, and reads nothing; MODE_TEST
// reads each in full; MODE_STDOUT writes the data to options.data,
// switched to binary mode. Each include that matches no name of the index
// is in the summary's notFound, and the status is then 1; an exclude that
// matches nothing is no failure. A resource left out by the patterns is
// not told and not opened.
//
// A stop request (options.stop) is honoured within one copy buffer or
// block: the resource being written leaves no file and no temporary, no
// later resource is begun, and the summary says stopped.
//
// Mounts the file into a resource set of its own, released before it
// returns: the library's default set, and any other, are left untouched.
// Runs on other threads, with sets and output directories of their own,
// may go on at the same time.
ExtractSummary ExtractAll(const ExtractOptions& options, const char* resourceFile, const char* outputDirectory,
                          ExtractObserver& observer);

// ExtractAll on a set already mounted, which it only reads (so other
// threads may read it meanwhile): resourceFile makes the default output
// directory.
ExtractSummary ExtractSet(const ExtractOptions& options, const ResourceSet& set, const char* resourceFile,
                          const char* outputDirectory, ExtractObserver& observer);

}  // namespace rux

#endif
