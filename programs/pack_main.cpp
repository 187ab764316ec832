// rux-pack: packs every regular file below a directory into a resource
// file, one resource each, named by its path relative to the directory.
//
//   rux-pack [OPTIONS] OUT.rux DIR
//
// Prints one line per resource as rux-extract does (kind, name, size). The
// file is written beside OUT as a temporary that gets its name only when
// complete (platform/output_dir.h), and so is each loose copy. Exit status
// 0 only when everything was written.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "pack/tree.h"
#include "pack/writer.h"
#include "platform/console.h"
#include "platform/output_dir.h"
#include "programs/pack_options.h"
#include "resource/format.h"
#include "tool/print.h"
#include "tool/reason.h"

namespace fs = std::filesystem;

namespace rux {
namespace {

// Messages name paths from the tree, so control bytes in them are escaped.
int Fail(const std::string& message) {
    FlushStream(stdout);
    std::fprintf(stderr, "rux-pack: %s\n", EscapedName(message.c_str()).c_str());
    return 1;
}

// ": " and the reason that the last failed call kept, or "".
std::string Because() {
    const int code = LastError();
    return code ? ": " + ErrorText(code) : "";
}

// A file being written as a temporary in the directory of its path, which
// gets that name only when complete.
struct Temporary {
    FileHandle dir = INVALID_FILE_HANDLE;
    int slot = -1;
    DiskFile file;
    std::size_t start = 0;  // where the file's own name begins in path
};

// Begins the temporary for path: 1, or 0 with a message.
bool BeginTemporary(const std::string& path, Temporary* t, std::string* error) {
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
        *error = "cannot write " + path + Because();
        return false;
    }
    t->slot = CreateTemporary(t->dir, path.c_str(), t->start, &t->file);
    if (t->slot < 0) {
        *error = "cannot create a temporary file beside " + path + Because();
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
    const int committed = CommitTemporary(t->slot, &t->file, path.c_str(), t->start, 1);
    const int reason = LastError();
    CloseDirectory(t->dir);
    if (committed != COMMIT_DONE) {
        KeepError(reason);
        *error = "cannot write " + path + Because();
        return false;
    }
    const std::string directory = t->start == 0 ? "." : path.substr(0, t->start);
    if (!SyncDirectory(directory.c_str())) {
        *error = "cannot flush directory " + directory + " to the disk" + Because();
        return false;
    }
    return true;
}

// Copies a loose resource to its place, by way of a temporary file.
bool WriteLoose(const std::string& out, const std::string& name, const PackSource& source,
                std::string* error) {
    const std::string path = NativePath(out + name);
    MakeParentDirectories(path, NativePath(out).size());
    Temporary t;
    if (!BeginTemporary(path, &t, error)) return false;
    KeepError(0);
    if (!CopySource(t.file, source) || !t.file.Flush()) {
        *error = "cannot write loose file " + path + Because();
        AbortTemporaryFile(&t);
        return false;
    }
    return CommitTemporaryFile(&t, path, error);
}

// What a file looked like when its reading began: any change by its end
// means the bytes packed may be of no one moment.
struct FileState {
    std::int64_t size = -1;
    fs::file_time_type modified{};
    bool known = false;
};

FileState StateOf(DiskFile& file, const std::string& path) {
    FileState state;
    std::error_code ec;
    state.size = file.Size();
    state.modified = fs::last_write_time(path, ec);
    state.known = !ec && state.size >= 0;
    return state;
}

bool Changed(const FileState& before, DiskFile& file, const std::string& path) {
    if (!before.known) return false;
    const FileState after = StateOf(file, path);
    return !after.known || after.size != before.size || after.modified != before.modified;
}

int Pack(const PackOptions& options, const std::vector<PackEntry>& entries) {
    const std::string out = NativePath(options.out);
    std::string error;
    PackWriter writer;
    writer.storeUnshrunk = 1;
    writer.flush = 1;
    writer.keepOpen = 1;
    Temporary temporary;
    if (!BeginTemporary(out, &temporary, &error)) return Fail(error);
    if (!BeginPackFileOn(&writer, temporary.file, out, &error)) {
        temporary.file = writer.file;
        AbortTemporaryFile(&temporary);
        return Fail(error);
    }
    for (const PackEntry& entry : entries) {
        const std::uint32_t kind = PackKind(options, entry);
        const bool loose = kind == KIND_LOOSE;
        DiskFile file;
        bool ok = file.Open(entry.path.c_str(), 0) != 0;
        if (!ok) error = "cannot open " + entry.path + Because();
        const FileState before = ok ? StateOf(file, entry.path) : FileState();
        const PackSource source = FileSource(&file);
        ok = ok && AddResource(&writer, entry.name, kind, options.blockSize, options.level, source,
                               &error);
        ok = ok && (!loose || WriteLoose(options.out, entry.name, source, &error));
        // A file that grew, shrank or was written to while it was read.
        if (file.IsValid() && Changed(before, file, entry.path)) {
            error = entry.path + " changed as it was read";
            ok = false;
        }
        file.Close();
        if (!ok) {
            temporary.file = writer.file;
            AbortTemporaryFile(&temporary);
            return Fail(error);
        }
        const DirectoryRecord& record = writer.image.records.back();
        std::printf("%u ", static_cast<unsigned>(record.kind));
        PrintName(stdout, entry.name.c_str());
        std::printf(" %u\n", static_cast<unsigned>(record.size));
    }
    const bool finished = FinishPackFile(&writer, options.level, &error) != 0;
    temporary.file = writer.file;
    if (!finished) {
        AbortTemporaryFile(&temporary);
        return Fail(error);
    }
    return CommitTemporaryFile(&temporary, out, &error) ? 0 : Fail(error);
}

int Run(int argc, char** argv) {
    PackOptions options;
    const int parsed = ParsePackCommandLine(argc, argv, &options);
    if (parsed >= 0) return parsed;

    std::error_code ec;
    if (!fs::is_directory(NativePath(options.dir), ec)) return Fail(options.dir + " is not a directory");
    if (fs::is_directory(NativePath(options.out), ec)) {
        return Fail(options.out + " is a directory, not a resource file name");
    }
    std::vector<PackEntry> entries;
    std::vector<PackWarning> warnings;
    std::string error;
    if (!WalkPackTree(options, &entries, &warnings, &error)) return Fail(error);
    for (const PackWarning& warning : warnings) {
        std::fprintf(stderr, "rux-pack: warning: %s: %s\n",
                     EscapedName(warning.path.c_str()).c_str(), warning.what.c_str());
    }
    const std::vector<std::string> refusals = PackRefusals(options, entries);
    for (const std::string& refusal : refusals) Fail(refusal);
    if (!refusals.empty()) return 1;

    RemoveTemporariesOnSignal();
    return Pack(options, entries);
}

}  // namespace
}  // namespace rux

int main(int argc, char** argv) {
    int status;
    try {
        status = rux::Run(argc, argv);
    } catch (const std::exception& e) {
        status = rux::Fail(e.what());
    }
    // Every write to standard output is checked here, at its close.
    return CloseStandardOutput("rux-pack", status);
}
