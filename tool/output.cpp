#include "tool/output.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/output_dir.h"

#include "resource/ascii.h"

using namespace rux;

// A directory below the output directory, open, shared by the thread that
// keeps it as its last directory and by every file begun in it; closed when
// the last of them lets go. Files still being written keep theirs open
// whatever the thread begins next, and on whichever thread they finish.
struct SharedDirectory {
    FileHandle dir = INVALID_FILE_HANDLE;
    std::atomic<int> holders{1};
    std::string name;  // the directory's part of the name, separators included
};

namespace {

// The output directory, opened before any worker starts and read-only
// while they run.
FileHandle gRoot = INVALID_FILE_HANDLE;
int gRootError = 0;  // why it could not be opened


void Release(SharedDirectory* shared) {
    if (shared && shared->holders.fetch_sub(1) == 1) {
        CloseDirectory(shared->dir);
        delete shared;
    }
}

// The directories that files were begun in lately, open, so that the
// files of one directory cost no walk: the tree's directories, by a hash of
// their names, one per entry (a newcomer takes the entry over). Shared by
// every thread; 256 entries keep the open descriptors few.
constexpr unsigned DIRECTORY_ENTRIES = 256;
std::mutex gDirectoryLock;
SharedDirectory* gDirectories[DIRECTORY_ENTRIES];

unsigned DirectoryEntry(const char* name, std::size_t length) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < length; ++i) hash = (hash ^ static_cast<unsigned char>(name[i])) * 16777619u;
    return hash % DIRECTORY_ENTRIES;
}

// The open directory of that name part, held for the caller, or null.
SharedDirectory* FindDirectory(const char* name, std::size_t length) {
    std::lock_guard<std::mutex> hold(gDirectoryLock);
    SharedDirectory* found = gDirectories[DirectoryEntry(name, length)];
    if (!found || found->name.size() != length || std::memcmp(found->name.data(), name, length) != 0) {
        return nullptr;
    }
    found->holders.fetch_add(1);
    return found;
}

// Shares dir under that name part; returns it held for the caller.
SharedDirectory* KeepDirectory(FileHandle dir, const char* name, std::size_t length) {
    SharedDirectory* made = new SharedDirectory;
    made->dir = dir;
    made->name.assign(name, length);
    made->holders.store(2);  // the table and the caller
    SharedDirectory* old;
    {
        std::lock_guard<std::mutex> hold(gDirectoryLock);
        SharedDirectory*& entry = gDirectories[DirectoryEntry(name, length)];
        old = entry;
        entry = made;
    }
    Release(old);
    return made;
}

void DropDirectories() {
    for (SharedDirectory*& entry : gDirectories) {
        Release(entry);
        entry = nullptr;
    }
}

}  // namespace

int OpenOutputTree(const char* outdir, int reason) {
    CloseOutputTree();
    RemoveTemporariesOnSignal();
    if (OpenDirectory(outdir, &gRoot)) return 1;
    gRootError = reason ? reason : LastError();
    return 0;
}

void CloseOutputTree() {
    DropDirectories();
    CloseDirectory(gRoot);
    gRoot = INVALID_FILE_HANDLE;
}

int BeginOutput(OutputFile* output, char* path, std::size_t start, int noClobber) {
    output->file.handle = INVALID_FILE_HANDLE;
    output->temporary = -1;
    if (gRoot == INVALID_FILE_HANDLE) {
        KeepError(gRootError);
        return OUTPUT_FAILED;
    }

    output->shared = nullptr;

    // The name's directory part, when a file was begun in it lately, needs
    // no walk.
    const char* last = nullptr;
    for (const char* p = path + start; *p != '\0'; ++p) {
        if (IsSeparator(*p)) last = p;
    }
    const std::size_t directoryBytes = last ? static_cast<std::size_t>(last + 1 - (path + start)) : 0;
    FileHandle dir = gRoot;
    std::size_t component = start;
    SharedDirectory* cached = directoryBytes != 0 ? FindDirectory(path + start, directoryBytes) : nullptr;
    if (cached) {
        output->shared = cached;
        dir = cached->dir;
        component = start + directoryBytes;
    } else {
        // Where the directories exist, in one step when the system has one.
        int opened = DIR_FAILED;
        if (directoryBytes != 0) {
            char* end = path + start + directoryBytes - 1;
            const char separator = *end;
            *end = '\0';
            if (std::strchr(path + start, '\\') == nullptr) opened = OpenPathBelow(gRoot, path, start, &dir);
            *end = separator;
            if (opened == DIR_OPENED) component = start + directoryBytes;
        }
        if (opened == DIR_OPENED) {
            output->shared = KeepDirectory(dir, path + start, directoryBytes);
        } else if (directoryBytes != 0) {
            // Else each directory component in turn, from the deepest one
            // open already; empty components (doubled separators) stay in
            // the same directory. Each one opened is kept for the next file.
            SharedDirectory* held = nullptr;
            for (std::size_t length = directoryBytes - 1; length > 0 && !held; --length) {
                if (IsSeparator(path[start + length - 1])) held = FindDirectory(path + start, length);
                if (held) component = start + length;
            }
            if (held) dir = held->dir;
            for (std::size_t i = component; path[i] != '\0'; ++i) {
                if (!IsSeparator(path[i])) continue;
                if (i == component) {
                    component = i + 1;
                    continue;
                }
                const char separator = path[i];
                path[i] = '\0';
                FileHandle next = INVALID_FILE_HANDLE;
                const int step = OpenSubdirectory(dir, path, component, 1, &next);
                path[i] = separator;
                Release(held);
                held = nullptr;
                if (step == DIR_IS_LINK) {
                    path[i] = '\0';  // the message names the link
                    return OUTPUT_LINK;
                }
                if (step != DIR_OPENED) return OUTPUT_FAILED;
                held = KeepDirectory(next, path + start, i + 1 - start);
                dir = next;
                component = i + 1;
            }
            output->shared = held;
        }
    }

    int result = OUTPUT_DONE;
    if (path[component] == '\0') {
        KeepError(0);
        result = OUTPUT_FAILED;  // no file name: the name ends in a separator
    } else if (noClobber && EntryExists(dir, path, component)) {
        result = OUTPUT_EXISTS;
    } else {
        output->temporary = CreateTemporary(dir, path, component, &output->file);
        if (output->temporary < 0) result = OUTPUT_FAILED;
    }
    if (result != OUTPUT_DONE) {
        Release(output->shared);
        output->shared = nullptr;
        return result;
    }
    output->nameStart = component;
    return OUTPUT_DONE;
}

namespace {

void CloseOutputDirectory(OutputFile* output) {
    Release(output->shared);
    output->shared = nullptr;
    output->temporary = -1;
}

}  // namespace

int FinishOutput(OutputFile* output, const char* path, int noClobber) {
    // A write error that surfaces only when the file is closed fails it.
    const int committed = CommitTemporary(output->temporary, &output->file, path, output->nameStart, !noClobber);
    CloseOutputDirectory(output);
    if (committed == COMMIT_DONE) return OUTPUT_DONE;
    return committed == COMMIT_EXISTS ? OUTPUT_EXISTS : OUTPUT_FAILED;
}

void AbortOutput(OutputFile* output) {
    output->file.Close();
    AbortTemporary(output->temporary);
    CloseOutputDirectory(output);
}
