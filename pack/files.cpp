#include "pack/files.h"

#include "pack/tree.h"
#include "platform/output_dir.h"

namespace rux {

// Begins the temporary for path: 1, or 0 with a message.
bool BeginTemporary(int table, const std::string& path, Temporary* t, std::string* error) {
    const std::size_t cut = path.find_last_of(
#ifdef _WIN32
        "/\\"
#else
        "/"
#endif
    );
    t->start = cut == std::string::npos ? 0 : cut + 1;
    const std::string directory = t->start == 0 ? "." : path.substr(0, t->start);
    if (!OpenDirectory(directory.c_str(), &t->dir)) {
        *error = "cannot write " + path + LastErrorSuffix();
        return false;
    }
    t->slot = CreateTemporary(table, t->dir, path.c_str(), t->start, &t->file);
    if (t->slot < 0) {
        *error = "cannot create a temporary file beside " + path + LastErrorSuffix();
        CloseDirectory(t->dir);
        return false;
    }
    return true;
}

// Drops the temporary: nothing of it is left.
void AbortTemporaryFile(Temporary* t) {
    t->file.Close();
    AbortTemporary(t->slot);
    CloseDirectory(t->dir);
}

// Gives the complete (and flushed) temporary its name, replacing a file of
// that name, then makes the new name itself durable.
bool CommitTemporaryFile(Temporary* t, const std::string& path, std::string* error) {
    const CommitResult committed = CommitTemporary(t->slot, &t->file, path.c_str(), t->start, 1);
    const int reason = LastError();
    CloseDirectory(t->dir);
    if (committed != CommitResult::Done) {
        KeepError(reason);
        *error = "cannot write " + path + LastErrorSuffix();
        return false;
    }
    const std::string directory = t->start == 0 ? "." : path.substr(0, t->start);
    if (!SyncDirectory(directory.c_str())) {
        *error = "cannot flush directory " + directory + " to the disk" + LastErrorSuffix();
        return false;
    }
    return true;
}

// Copies a loose resource to its place, by way of a temporary file.
bool WriteLoose(int table, const std::string& out, const std::string& name, const PackSource& source,
                std::string* error, std::string* failedPath) {
    const std::string path = NativePath(out + name);
    *failedPath = path;
    MakeParentDirectories(path, NativePath(out).size());
    Temporary t;
    if (!BeginTemporary(table, path, &t, error)) return false;
    KeepError(0);
    if (!CopySource(t.file, source) || !t.file.Flush()) {
        *error = "cannot write loose file " + path + LastErrorSuffix();
        AbortTemporaryFile(&t);
        return false;
    }
    return CommitTemporaryFile(&t, path, error);
}

FileState StateOf(DiskFile& file) {
    FileState state;
    state.known = file.Stamp(&state.size, &state.modified) != 0;
    return state;
}

bool Changed(const FileState& before, DiskFile& file) {
    if (!before.known) return false;
    const FileState after = StateOf(file);
    return !after.known || after.size != before.size || after.modified != before.modified;
}

// Reads count bytes at offset into buffer. 1 if all came.
bool ReadFully(DiskFile& file, std::uint64_t offset, char* buffer, std::uint64_t count) {
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t left = count - done;
        const std::uint32_t ask = static_cast<std::uint32_t>(left < (1u << 30) ? left : (1u << 30));
        const std::uint32_t got = file.ReadAt(buffer + done, ask, static_cast<std::int64_t>(offset + done));
        if (got == 0) return false;
        done += got;
    }
    return true;
}

}  // namespace rux
