// The files a pack writes and reads: its output and loose copies written
// as temporaries beside their paths that get their names only when
// complete, and the input files read whole and checked for change.
// Inside the packer only.
#ifndef RUX_PACK_FILES_H
#define RUX_PACK_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "pack/writer.h"
#include "platform/disk_file.h"

namespace rux {

// A file being written as a temporary in the directory of its path, which
// gets that name only when complete.
struct Temporary {
    FileHandle dir = INVALID_FILE_HANDLE;
    int slot = -1;
    DiskFile file;
    std::size_t start = 0;  // where the file's own name begins in path
};

// Begins the temporary for path, in the run's table: 1, or 0 with a message.
bool BeginTemporary(int table, const std::string& path, Temporary* t, std::string* error);

// Drops the temporary: nothing of it is left.
void AbortTemporaryFile(Temporary* t);

// Gives the complete (and flushed) temporary its name, replacing a file of
// that name, then makes the new name itself durable.
bool CommitTemporaryFile(Temporary* t, const std::string& path, std::string* error);

// Copies a loose resource to its place, by way of a temporary file; on a
// failure *failedPath is the path it was writing.
bool WriteLoose(int table, const std::string& out, const std::string& name, const PackSource& source,
                std::string* error, std::string* failedPath);

// What a file looked like when its reading began: any change by its end
// means the bytes packed may be of no one moment.
struct FileState {
    std::int64_t size = -1;
    std::int64_t modified = 0;
    bool known = false;
};

FileState StateOf(DiskFile& file);
bool Changed(const FileState& before, DiskFile& file);

// Reads count bytes at offset into buffer. 1 if all came.
bool ReadFully(DiskFile& file, std::uint64_t offset, char* buffer, std::uint64_t count);

}  // namespace rux

#endif
