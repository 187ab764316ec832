#include "engine/output.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/output_dir.h"

#include "resource/ascii.h"

namespace rux {

// A directory below the output directory, open, shared by the thread that
// keeps it as its last directory and by every file begun in it; closed when
// the last of them lets go. Files still being written keep theirs open
// whatever the thread begins next, and on whichever thread they finish.
struct SharedDirectory {
    FileHandle dir = INVALID_FILE_HANDLE;
    std::atomic<int> holders{1};
    std::atomic<int> made{0};  // made by this run: what lies below it is new
    std::string name;  // the directory's part of the name, separators included
    std::uint64_t turn = 0;  // its number among those kept, for Trim
};

namespace {

void Release(SharedDirectory* shared) {
    if (shared && shared->holders.fetch_sub(1) == 1) {
        CloseDirectory(shared->dir);
        delete shared;
    }
}

}  // namespace

// The open directory of that name part, held for the caller, or null.
SharedDirectory* OutputTree::Find(const char* name, std::size_t length) {
    const std::string key(name, length);
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = directories_.find(key);
    if (found == directories_.end()) return nullptr;
    found->second->holders.fetch_add(1);
    return found->second;
}

// Shares dir under that name part; returns it held for the caller. When
// another thread shared that directory first (two files begun in a new
// directory at once), that one is kept, and dir closed: the files after
// them find one handle, which knows whether this run made the directory.
SharedDirectory* OutputTree::Keep(FileHandle dir, const char* name, std::size_t length, int madeNow) {
    const std::string key(name, length);
    SharedDirectory* old = nullptr;
    SharedDirectory* kept = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = directories_.find(key);
        if (found != directories_.end()) {
            kept = found->second;
            kept->holders.fetch_add(1);
            if (madeNow) kept->made.store(1, std::memory_order_relaxed);
        } else {
            if (directories_.size() >= directoryHandles_) {
                found = directories_.begin();
                old = found->second;
                directories_.erase(found);
            }
            kept = new SharedDirectory;
            kept->dir = dir;
            kept->made.store(madeNow, std::memory_order_relaxed);
            kept->name = key;
            kept->turn = kept_++;
            kept->holders.store(2);  // the table and the caller
            directories_.emplace(key, kept);
        }
    }
    if (kept->dir != dir) CloseDirectory(dir);
    Release(old);
    return kept;
}

int OutputTree::Open(const char* outdir, int reason) {
    Close();
    directoryHandles_ = OpenHandleBudget();
    table_ = ClaimTemporaries();
    if (OpenDirectory(outdir, &root_)) return 1;
    rootError_ = reason ? reason : LastError();
    return 0;
}

void OutputTree::Close() {
    for (auto& entry : directories_) Release(entry.second);
    directories_.clear();
    CloseDirectory(root_);
    root_ = INVALID_FILE_HANDLE;
    ReleaseTemporaries(table_);
    table_ = -1;
}

void OutputTree::Trim(int part, int parts) {
    std::vector<SharedDirectory*> going;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = directories_.begin(); it != directories_.end();) {
            if (it->second->turn % static_cast<std::uint64_t>(parts) == static_cast<std::uint64_t>(part)) {
                going.push_back(it->second);
                it = directories_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (SharedDirectory* shared : going) Release(shared);
}

OutputResult OutputTree::Begin(OutputFile* output, char* path, std::size_t start, int noClobber) {
    output->file.handle = INVALID_FILE_HANDLE;
    output->temporary = -1;
    if (root_ == INVALID_FILE_HANDLE) {
        KeepError(rootError_);
        return OutputResult::Failed;
    }

    output->shared = nullptr;

    // The name's directory part, when a file was begun in it lately, needs
    // no walk.
    const char* last = nullptr;
    for (const char* p = path + start; *p != '\0'; ++p) {
        if (IsSeparator(*p)) last = p;
    }
    const std::size_t directoryBytes = last ? static_cast<std::size_t>(last + 1 - (path + start)) : 0;
    FileHandle dir = root_;
    std::size_t component = start;
    SharedDirectory* cached = directoryBytes != 0 ? Find(path + start, directoryBytes) : nullptr;
    if (cached) {
        output->shared = cached;
        dir = cached->dir;
        component = start + directoryBytes;
    } else {
        // From the deepest directory open already, else from the output
        // directory in one step where the directories exist and the system
        // has such a step; empty components (doubled separators) stay in
        // the same directory.
        SharedDirectory* held = nullptr;
        for (std::size_t length = directoryBytes; length > 1 && !held;) {
            --length;
            if (IsSeparator(path[start + length - 1])) held = Find(path + start, length);
            if (held) component = start + length;
        }
        DirResult opened = DirResult::Failed;
        if (directoryBytes != 0 && !held) {
            char* end = path + start + directoryBytes - 1;
            const char separator = *end;
            *end = '\0';
            if (std::strchr(path + start, '\\') == nullptr) opened = OpenPathBelow(root_, path, start, &dir);
            *end = separator;
            if (opened == DirResult::Opened) component = start + directoryBytes;
        }
        if (opened == DirResult::Opened) {
            output->shared = Keep(dir, path + start, directoryBytes);
            dir = output->shared->dir;
        } else if (directoryBytes != 0) {
            // Else each directory component in turn. Each one opened is
            // kept for the next file.
            if (held) dir = held->dir;
            int parentMade = held ? held->made.load(std::memory_order_relaxed) : 0;
            for (std::size_t i = component; path[i] != '\0'; ++i) {
                if (!IsSeparator(path[i])) continue;
                if (i == component) {
                    component = i + 1;
                    continue;
                }
                const char separator = path[i];
                path[i] = '\0';
                FileHandle next = INVALID_FILE_HANDLE;
                const DirResult step = OpenSubdirectory(dir, path, component, parentMade ? 2 : 1, &next);
                path[i] = separator;
                Release(held);
                held = nullptr;
                if (step == DirResult::IsLink) {
                    path[i] = '\0';  // the message names the link
                    return OutputResult::Link;
                }
                if (step != DirResult::Opened && step != DirResult::Made) return OutputResult::Failed;
                parentMade = step == DirResult::Made;
                held = Keep(next, path + start, i + 1 - start, parentMade);
                dir = held->dir;
                parentMade = held->made.load(std::memory_order_relaxed);
                component = i + 1;
            }
            output->shared = held;
        }
    }

    OutputResult result = OutputResult::Done;
    if (path[component] == '\0') {
        KeepError(0);
        result = OutputResult::Failed;  // no file name: the name ends in a separator
    } else if (noClobber && EntryExists(dir, path, component)) {
        result = OutputResult::Exists;
    } else {
        output->temporary = CreateTemporary(table_, dir, path, component, &output->file);
        if (output->temporary < 0) result = OutputResult::Failed;
    }
    if (result != OutputResult::Done) {
        Release(output->shared);
        output->shared = nullptr;
        return result;
    }
    output->nameStart = component;
    return OutputResult::Done;
}

namespace {

void CloseOutputDirectory(OutputFile* output) {
    Release(output->shared);
    output->shared = nullptr;
    output->temporary = -1;
}

}  // namespace

OutputResult FinishOutput(OutputFile* output, const char* path, int noClobber) {
    // A write error that surfaces only when the file is closed fails it.
    const CommitResult committed = CommitTemporary(output->temporary, &output->file, path, output->nameStart, !noClobber);
    CloseOutputDirectory(output);
    if (committed == CommitResult::Done) return OutputResult::Done;
    return committed == CommitResult::Exists ? OutputResult::Exists : OutputResult::Failed;
}

void AbortOutput(OutputFile* output) {
    output->file.Close();
    AbortTemporary(output->temporary);
    CloseOutputDirectory(output);
}

}  // namespace rux
