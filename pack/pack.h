// Packing a directory tree into a resource file: the whole of rux-pack's
// work but its command line and its printing, callable from any program.
//
// Blocks are deflated on options.jobs threads: jobs - 1 workers, and the
// calling thread, which reads the files, writes the output in order and
// deflates whenever it would otherwise wait. So the file is the same byte
// for byte whatever the number of threads, and from run to run: it depends only on
// the tree, the options and the compressor of the build. Memory stays
// bounded whatever the size of the tree: files are read a chunk at a time
// (PackChunkBytes), and only a window of chunks is in flight.
//
// With options.update the output file's old blocks are reused wherever a
// resource of the same name, block length and bytes is packed again, so
// an update gives exactly the file a fresh pack gives, sooner.
#ifndef RUX_PACK_PACK_H
#define RUX_PACK_PACK_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pack/tree.h"
#include "resource/format.h"

namespace rux {

// What a pack tells as it goes, on the thread that called it, in the order
// of the resources. Either may be empty.
struct PackCallbacks {
    // The reading of a resource begins (reading runs ahead of placing, so
    // later resources may begin before an earlier one is in place).
    std::function<void(const PackEntry&)> begins;
    // A resource is in place, with its record as written (the kind may
    // have become stored, and the size is the file's as read).
    std::function<void(const PackEntry&, const DirectoryRecord&)> packed;
    // More bytes of the tree are packed.
    std::function<void(std::uint64_t bytes)> progress;
    // PackDirectory: a file of the tree left out, or packed otherwise.
    std::function<void(const PackWarning&)> warning;
    // PackDirectory: which of the walked entries (the refusals passed) are
    // packed, as a patch chooses them: 1, or 0 with *error to end the pack.
    std::function<int(std::vector<PackEntry>* entries, std::string* error)> choose;
};

// Why a pack failed: the message (as *error gives it), the path it
// concerns ("" for an option), and the system's error (0 when none).
struct PackFailure {
    std::string message;
    int error = 0;
    std::string path;
};

// What a pack did, for callers that want to know.
struct PackStats {
    unsigned resources = 0;   // placed
    std::uint64_t bytes = 0;  // their sizes
    bool stopped = false;     // the stop request ended it (error "stopped")
    PackFailure failure;      // when it failed
    std::uint64_t deflatedBlocks = 0;  // deflated in this run
    std::uint64_t reusedBlocks = 0;    // copied from the old file (update)
    // An update found the old file packed otherwise (another level or
    // compressor), so nothing of it could be reused; says so, or "".
    std::string notReused;
};

// Whether options.dir is a directory and options.out is not one: 1, or 0
// with the message in *error.
int CheckPackPaths(const PackOptions& options, std::string* error);

// Packs entries (as WalkPackTree gives them, which PackRefusals passed)
// into options.out: written as a temporary beside it, flushed, and renamed
// into place only when complete, with each loose copy likewise. A stop
// request (options.stop) is honoured within one chunk: no output file is
// made, the old one stays as it was, and stats says stopped. With
// options.update and an existing options.out, that file must be a readable
// resource file, or nothing is done. 1, or 0 with a message in *error (the
// old output, if any, is then as it was).
int PackEntries(const PackOptions& options, const std::vector<PackEntry>& entries,
                const PackCallbacks& callbacks, PackStats* stats, std::string* error);

// Checks the paths (CheckPackPaths), walks options.dir, refuses what
// PackRefusals refuses (each reason in
// *refusals, and 0 with error "refused"), then PackEntries. Warnings about
// files left out go to *warnings, and to callbacks.warning.
int PackDirectory(const PackOptions& options, const PackCallbacks& callbacks,
                  std::vector<PackWarning>* warnings, std::vector<std::string>* refusals,
                  PackStats* stats, std::string* error);

}  // namespace rux

#endif
