// The output side's file-system calls: walking an output path without
// following links, and writing each file as a temporary that gets its
// name only when complete. On Linux the temporary is an unnamed file
// (O_TMPFILE) linked into place, so nothing of it is left however the
// process ends; where a file is replaced, or the system has no unnamed
// files, it has a hidden name in the same directory (".rux-PID-N") and is
// renamed into place. A failing call keeps its reason for LastError().
//
// A directory is held as a FileHandle. On POSIX it is a descriptor, and
// every call works relative to it, so no component is looked up twice and
// nothing can be swapped for a link between a check and its use. On
// Windows it carries nothing (the calls are path-based): there each
// component's attributes are checked before it is used.
//
// So that both can be served by one call, a name is always passed as the
// whole NUL-terminated path plus the offset where its last component
// begins: POSIX uses path + start relative to the directory handle,
// Windows the whole path.
//
// Every call may be made from several threads at once for different names.
#ifndef RUX_PLATFORM_OUTPUT_DIR_H
#define RUX_PLATFORM_OUTPUT_DIR_H

#include <cstddef>

#include "platform/disk_file.h"

namespace rux {

// What OpenSubdirectory and OpenPathBelow met.
enum class DirResult {
    Opened,
    Made,    // opened, and made by this call
    Failed,  // missing, not a directory, or could not be made
    IsLink,  // a symbolic link or reparse point: never followed
};

// What CommitTemporary met.
enum class CommitResult {
    Done,
    Failed,
    Exists,  // without replacing: the name was taken
};

// Live temporaries of one run at once, at most: one per worker thread, one
// per resource being written in ranges, and margin.
constexpr int TEMPORARY_SLOTS = 512;
// Runs in one process that may have temporaries at once.
constexpr int TEMPORARY_TABLES = 64;

// Opens the directory at path, following links (the user chose it).
// 1 and *dir set, or 0.
int OpenDirectory(const char* path, FileHandle* dir);

// Opens the directory named path + start inside parent, never through a
// link; with create 1, makes it when it is missing; with create 2 (its
// parent was just made, so it is most likely missing), tries to make it
// before anything else. DirResult::Opened, or DirResult::Made when this call
// made it, and *dir set; DirResult::IsLink when that name is a link; else
// DirResult::Failed.
DirResult OpenSubdirectory(FileHandle parent, const char* path, std::size_t start, int create,
                           FileHandle* dir);

// Opens the existing directory named path + start inside parent, a name of
// one or more components separated by '/', in one step where the system
// has one: no component may be a link, and none may lead outside parent.
// DirResult::Opened and *dir set; DirResult::Failed for anything else (a missing
// component, a link, or no such step on this system), after which the
// caller walks the components one by one with OpenSubdirectory.
DirResult OpenPathBelow(FileHandle parent, const char* path, std::size_t start, FileHandle* dir);

// Closes a handle of OpenDirectory, OpenSubdirectory or OpenPathBelow.
void CloseDirectory(FileHandle dir);

// How many files and directories a run may keep open at once, beyond one
// per thread: a quarter of the descriptors the process may open (its soft
// RLIMIT_NOFILE on POSIX, often only 1,024), at least 8, so that a run
// leaves room for its host and never fails for want of a descriptor.
// Windows handles have no such low limit: 4,096 there.
std::size_t OpenHandleBudget();

// A run's own table of temporaries, so that runs at once in one process
// need no lock between them: its number, or -1 when TEMPORARY_TABLES runs
// hold one already. Every thread of the run may use it at once.
int ClaimTemporaries();

// Gives the table back, once every temporary of it has ended.
void ReleaseTemporaries(int table);

// Creates a fresh temporary file in dir, whose path is the first start
// bytes of path (the directory and its trailing separator), and opens it
// into file for writing: unnamed where the system can, else exclusively
// under a new hidden name. A named temporary is registered in table so
// that RemoveLiveTemporaries removes it. Returns its slot number, or -1
// (file stays invalid; EMFILE when the table is full or table is -1).
int CreateTemporary(int table, FileHandle dir, const char* path, std::size_t start, DiskFile* file);

// Closes file, the temporary of slot, and gives it the name path + start
// in dir (the same dir and path as CreateTemporary). With replace, an
// existing file or link of that name is replaced, never followed; without,
// the link or rename itself refuses to replace anything (CommitResult::Exists). A
// failure to close is a failure to write (CommitResult::Failed). On anything but
// CommitResult::Done nothing of the temporary is left. The slot is free
// afterwards.
CommitResult CommitTemporary(int slot, DiskFile* file, const char* path, std::size_t start, int replace);

// Removes the temporary of slot, whose file the caller has closed, and
// frees the slot.
void AbortTemporary(int slot);

// For tests: with mode 1, CreateTemporary makes named temporaries even
// where the system has unnamed files, as on a file system without them;
// with mode 2, unnamed files are given their names through /proc/self/fd,
// as where the kernel refuses to link a descriptor itself; 0 restores the
// default.
void UseNamedTemporaries(int mode);

// Removes every named temporary of every run in the process, and from
// then on each one as soon as it is made: for a signal handler that is
// about to end the process. Async-signal-safe (unlink calls on names and
// directories saved beforehand); installs nothing.
void RemoveLiveTemporaries();

// Holds a table of ClaimTemporaries for as long as it lives.
class TemporaryTableHold {
public:
    TemporaryTableHold() : table(ClaimTemporaries()) {}
    ~TemporaryTableHold() { ReleaseTemporaries(table); }
    TemporaryTableHold(const TemporaryTableHold&) = delete;
    TemporaryTableHold& operator=(const TemporaryTableHold&) = delete;
    const int table;
};

// 1 if a directory entry (file, directory or link) of that name exists in
// dir, links not followed; else 0.
int EntryExists(FileHandle dir, const char* path, std::size_t start);

}  // namespace rux

#endif
