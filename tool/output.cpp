#include "tool/output.h"

#include "platform/output_dir.h"

using namespace rux;

namespace {

// The output directory, opened before any worker starts and read-only
// while they run.
FileHandle gRoot = INVALID_FILE_HANDLE;

int IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

int OpenOutputTree(const char* outdir) {
    CloseOutputTree();
    RemoveTemporariesOnSignal();
    return OpenDirectory(outdir, &gRoot);
}

void CloseOutputTree() {
    CloseDirectory(gRoot);
    gRoot = INVALID_FILE_HANDLE;
}

int BeginOutput(OutputFile* output, char* path, std::size_t start, int noClobber) {
    output->file.handle = INVALID_FILE_HANDLE;
    output->temporary = -1;
    output->directory = INVALID_FILE_HANDLE;
    if (gRoot == INVALID_FILE_HANDLE) return OUTPUT_FAILED;

    // Each directory component in turn, from the output directory on; empty
    // components (doubled separators) stay in the same directory.
    FileHandle dir = gRoot;
    std::size_t component = start;
    for (std::size_t i = start; path[i] != '\0'; ++i) {
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
        if (dir != gRoot) CloseDirectory(dir);
        return result;
    }
    output->directory = dir;
    output->nameStart = component;
    return OUTPUT_DONE;
}

namespace {

void CloseOutputDirectory(OutputFile* output) {
    if (output->directory != gRoot) CloseDirectory(output->directory);
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
