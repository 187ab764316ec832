#include "tool/output.h"

#include <atomic>
#include <cstring>
#include <string>

#include "platform/output_dir.h"

using namespace rux;

// A directory below the output directory, open, shared by the thread that
// keeps it as its last directory and by every file begun in it; closed when
// the last of them lets go. Files still being written keep theirs open
// whatever the thread begins next, and on whichever thread they finish.
struct SharedDirectory {
    FileHandle dir = INVALID_FILE_HANDLE;
    std::atomic<int> holders{1};
    unsigned tree = 0;
    std::string name;  // the directory's part of the name, separators included
};

namespace {

// The output directory, opened before any worker starts and read-only
// while they run.
FileHandle gRoot = INVALID_FILE_HANDLE;
// Which output tree is open: a thread's last directory belongs to one.
std::atomic<unsigned> gTree{0};

int IsSeparator(char c) { return c == '/' || c == '\\'; }

void Release(SharedDirectory* shared) {
    if (shared && shared->holders.fetch_sub(1) == 1) {
        CloseDirectory(shared->dir);
        delete shared;
    }
}

// Each thread keeps the last directory that it began a file in, so that the
// files of one directory (the common case) cost no walk.
struct DirectoryCache {
    SharedDirectory* last = nullptr;
    void Drop() {
        Release(last);
        last = nullptr;
    }
    ~DirectoryCache() { Drop(); }
};

thread_local DirectoryCache tCache;

}  // namespace

int OpenOutputTree(const char* outdir) {
    CloseOutputTree();
    gTree.fetch_add(1);
    RemoveTemporariesOnSignal();
    return OpenDirectory(outdir, &gRoot);
}

void CloseOutputTree() {
    tCache.Drop();
    CloseDirectory(gRoot);
    gRoot = INVALID_FILE_HANDLE;
}

int BeginOutput(OutputFile* output, char* path, std::size_t start, int noClobber) {
    output->file.handle = INVALID_FILE_HANDLE;
    output->temporary = -1;
    output->directory = INVALID_FILE_HANDLE;
    if (gRoot == INVALID_FILE_HANDLE) return OUTPUT_FAILED;

    output->shared = nullptr;

    // The name's directory part, when it is the one this thread began a
    // file in last, needs no walk.
    const unsigned tree = gTree.load();
    if (tCache.last && tCache.last->tree != tree) tCache.Drop();
    const char* last = nullptr;
    for (const char* p = path + start; *p != '\0'; ++p) {
        if (IsSeparator(*p)) last = p;
    }
    const std::size_t directoryBytes = last ? static_cast<std::size_t>(last + 1 - (path + start)) : 0;
    FileHandle dir = gRoot;
    std::size_t component = start;
    SharedDirectory* cached = tCache.last;
    if (directoryBytes != 0 && cached && cached->name.size() == directoryBytes &&
        std::memcmp(cached->name.data(), path + start, directoryBytes) == 0) {
        cached->holders.fetch_add(1);
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
        // Else each directory component in turn, from the output directory
        // on; empty components (doubled separators) stay in the same one.
        for (std::size_t i = start; opened != DIR_OPENED && path[i] != '\0'; ++i) {
            if (!IsSeparator(path[i])) continue;
            if (i == component) {
                component = i + 1;
                continue;
            }
            const char separator = path[i];
            path[i] = '\0';
            FileHandle next = INVALID_FILE_HANDLE;
            const int opened = OpenSubdirectory(dir, path, component, 1, &next);
            if (dir != gRoot) CloseDirectory(dir);
            if (opened == DIR_IS_LINK) return OUTPUT_LINK;
            path[i] = separator;
            if (opened != DIR_OPENED) return OUTPUT_FAILED;
            dir = next;
            component = i + 1;
        }
        if (dir != gRoot) {
            SharedDirectory* made = new SharedDirectory;
            made->dir = dir;
            made->tree = tree;
            made->name.assign(path + start, directoryBytes);
            made->holders.store(2);  // the cache and this file
            tCache.Drop();
            tCache.last = made;
            output->shared = made;
        }
    }

    int result = OUTPUT_DONE;
    if (path[component] == '\0') {
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
    output->directory = dir;
    output->nameStart = component;
    return OUTPUT_DONE;
}

namespace {

void CloseOutputDirectory(OutputFile* output) {
    Release(output->shared);
    output->shared = nullptr;
    output->directory = INVALID_FILE_HANDLE;
    output->temporary = -1;
}

}  // namespace

int FinishOutput(OutputFile* output, const char* path, int noClobber) {
    // A write error can surface only when the file is closed.
    if (!output->file.Close()) {
        AbortTemporary(output->temporary);
        CloseOutputDirectory(output);
        return OUTPUT_FAILED;
    }
    const int committed = CommitTemporary(output->temporary, path, output->nameStart, !noClobber);
    CloseOutputDirectory(output);
    if (committed == COMMIT_DONE) return OUTPUT_DONE;
    return committed == COMMIT_EXISTS ? OUTPUT_EXISTS : OUTPUT_FAILED;
}

void AbortOutput(OutputFile* output) {
    output->file.Close();
    AbortTemporary(output->temporary);
    CloseOutputDirectory(output);
}
