// Disk file access: the library's whole contact with the file system.
// Installed as <rux/disk_file.h>; the other headers use DiskFile for the
// resource file itself, and a program may use it for its own files.
//
// A DiskFile wraps one operating-system file handle, which it owns. It has
// no destructor: a file stays open until Close() or the end of the
// process. Copying a DiskFile copies the bare handle, so close it through
// one copy only. Nothing here prints or throws. Paths are
// NUL-terminated byte strings; on POSIX every '\' in a path is taken as a
// directory separator and turned into '/' before the system call.
//
// Sizes and offsets are 64-bit here so that every 32-bit offset of the
// resource format can be reached; callers that keep 32-bit sizes refuse
// larger files rather than truncating them.
//
// Threads: ReadAt, WriteAt and Size may run concurrently on one handle, as
// they touch no shared position; every other call on a handle runs in one
// thread at a time, and never while another thread uses that handle.
#ifndef RUX_PLATFORM_DISK_FILE_H
#define RUX_PLATFORM_DISK_FILE_H

#include <cstdint>
#include <string>

namespace rux {

// Wide enough for a POSIX descriptor or a Win32 HANDLE on any build.
typedef std::uintptr_t FileHandle;
constexpr FileHandle INVALID_FILE_HANDLE = ~static_cast<FileHandle>(0);

// Open modes, independent bits.
//   0                        read an existing file (resource and loose files)
//   OPEN_WRITE               read and write
//   OPEN_CREATE              create, or truncate an existing file to length 0
//   OPEN_WRITE | OPEN_CREATE output files
//   OPEN_NEW, with OPEN_CREATE: create a new file only; fail when anything
//                            has that name, a link included (never followed)
constexpr int OPEN_WRITE = 1;
constexpr int OPEN_CREATE = 2;
constexpr int OPEN_NEW = 4;

// Seek origins.
constexpr int SEEK_FROM_BEGIN = 0;
constexpr int SEEK_FROM_CURRENT = 1;

struct DiskFile {
    FileHandle handle = INVALID_FILE_HANDLE;

    // 1 if a file was opened, else 0 (the object is then invalid); a
    // directory is not a file and is refused in every mode. Does not
    // close a handle the object already held: callers close first.
    int Open(const char* path, int mode);

    // Closes the handle, if any, and leaves the object invalid. Returns 1 if
    // a handle was closed without error, else 0. Safe on an invalid object.
    int Close();

    // 1 while a handle is held.
    int IsValid() const { return handle != INVALID_FILE_HANDLE; }

    // Reads up to count bytes from the current position, carrying on after
    // partial transfers. Returns the bytes read: fewer than count only at end
    // of file or on error, 0 on an invalid object.
    std::uint32_t Read(void* buffer, std::uint32_t count);

    // Writes count bytes at the current position, carrying on after partial
    // transfers. Returns the bytes written: fewer than count on error (a full
    // disk, for instance), 0 on an invalid object.
    std::uint32_t Write(const void* buffer, std::uint32_t count);

    // Reads up to count bytes from offset, carrying on after partial
    // transfers, without using or moving the current position (on Windows
    // the position is left undefined: mix ReadAt with Read/Write only after
    // a Seek). Returns the bytes read: fewer than count only at end of file
    // or on error, 0 on an invalid object or a negative offset. May run
    // concurrently with other ReadAt/WriteAt calls on the same handle.
    std::uint32_t ReadAt(void* buffer, std::uint32_t count, std::int64_t offset);

    // Writes count bytes at offset, carrying on after partial transfers,
    // without using the current position (see ReadAt). Returns the bytes
    // written: fewer than count on error, 0 on an invalid object or a
    // negative offset. May run concurrently with other ReadAt/WriteAt calls
    // on the same handle when the ranges do not overlap.
    std::uint32_t WriteAt(const void* buffer, std::uint32_t count, std::int64_t offset);

    // Moves the position by offset from origin (SEEK_FROM_BEGIN or
    // SEEK_FROM_CURRENT). Returns the new position, or -1 on failure (a
    // target before the start, an invalid object), which leaves the position
    // where it was.
    std::int64_t Seek(std::int64_t offset, int origin);

    // The file's whole size in bytes, or -1 on an invalid object.
    std::int64_t Size();

    // The file's size and its last modification time (in the system's own
    // units, to compare with another stamp of the same file), both from the
    // open handle, so no path is looked up again. 1, or 0 on failure or an
    // invalid object.
    int Stamp(std::int64_t* size, std::int64_t* modified);

    // Makes everything written so far durable: the data and the size reach
    // the disk before this returns (fsync; FlushFileBuffers on Windows).
    // 1 on success, 0 on failure or an invalid object.
    int Flush();
};

// Failure reasons.
//
// Every call of this layer (here and in the tools' output_dir.h and
// console.h) that fails keeps the system's error code, errno on POSIX and
// GetLastError() on Windows, for the calling thread. LastError() gives the
// code kept by the last failure in this thread, 0 when that failure had no
// system error (a read that met the end of the file early, say); no call
// clears it on success. A caller that wants the reason of one call asks
// right after it.
int LastError();

// Keeps code as the calling thread's LastError(); for the layer's own
// calls, and for callers that detect a failure of their own.
void KeepError(int code);

// The system's codes for two failures that callers meet before any call:
// a path too long (ENAMETOOLONG; ERROR_FILENAME_EXCED_RANGE), and a name
// that already exists (EEXIST; ERROR_ALREADY_EXISTS), which MakeDirectory
// gives for a directory that is there.
int PathTooLongError();
int AlreadyExistsError();

// The system's own text for an error code of LastError(), in one line:
// strerror's on POSIX, FormatMessage's on Windows. "unknown error" for 0.
std::string ErrorText(int code);

// Creates one directory (not its parents). 1 on success, 0 on failure,
// which includes a directory or file of that name that already exists.
// May run concurrently with any call.
int MakeDirectory(const char* path);

// Durability of renames.
//
// Makes the entries of the directory at path durable, so that a file just
// renamed into it is found there after a power cut. 1 on success, also
// where the file system has no such operation; 0 on failure. Windows
// keeps directory entries durable itself: there it does nothing.
int SyncDirectory(const char* path);

// Renames the file from to the name to, in one step, replacing a file or
// link of that name (a link is replaced, not followed). 1 on success, 0 on
// failure, which leaves both names as they were.
int RenameReplacing(const char* from, const char* to);

}  // namespace rux

#endif
