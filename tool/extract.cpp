// The extraction loop of rux-extract, callable in-process (the fuzz target
// runs it once per input).
#include "tool/extract.h"

#include <cstring>

#include "platform/disk_file.h"
#include "resource/blocks.h"
#include "resource/index.h"
#include "resource/stream.h"
#include "tool/names.h"

using namespace rux;

namespace {

constexpr std::size_t PATH_BYTES = 4096;
// The copy buffer. Large reads keep the system calls per byte few; see
// CopyPiece for the size of each read.
constexpr std::uint32_t COPY_BYTES = 1u << 20;
constexpr std::uint32_t FAILURE_PIECE = 4096;

#ifdef _WIN32
constexpr char SEPARATOR = '\\';
constexpr int WINDOWS_RULES = 1;
#else
constexpr char SEPARATOR = '/';
constexpr int WINDOWS_RULES = 0;
#endif

// Every way out flushes the messages.
int Finish(std::FILE* out, int status) {
    std::fflush(out);
    return status;
}

int IsSeparator(char c) { return c == '/' || c == '\\'; }

// Copies text into buffer; 0 if it does not fit.
int CopyPath(char (&buffer)[PATH_BYTES], const char* text) {
    const std::size_t length = std::strlen(text);
    if (length >= PATH_BYTES) return 0;
    std::memcpy(buffer, text, length + 1);
    return 1;
}

// The default output directory: "__" and the resource file's name without
// anything up to its last '\', then its last '/'.
int DefaultOutputDirectory(char (&outdir)[PATH_BYTES], const char* resourceFile) {
    const char* base = resourceFile;
    if (const char* cut = std::strrchr(base, '\\')) base = cut + 1;
    if (const char* cut = std::strrchr(base, '/')) base = cut + 1;
    const int length = std::snprintf(outdir, PATH_BYTES, "__%s", base);
    return length >= 0 && static_cast<std::size_t>(length) < PATH_BYTES;
}

// Rewrites the separators of the name part of path (from start on) to the
// platform's.
void RewriteSeparators(char* path, std::size_t start) {
    for (char* p = path + start; *p != '\0'; ++p) {
        if (IsSeparator(*p)) *p = SEPARATOR;
    }
}

// Creates each directory that the separators of path from start on imply.
void MakeParents(char* path, std::size_t start) {
    for (char* p = path + start; *p != '\0'; ++p) {
        if (*p != SEPARATOR) continue;
        *p = '\0';
        MakeDirectory(path);
        *p = SEPARATOR;
    }
}

// Creates the file at path, making the directories that its name (path
// from start on) implies. Most files go into a directory that exists
// already, so the file is opened first; only when that fails are
// directories made: the last one alone when its parent exists, else every
// level. Either way the directories made and the result are those of
// making every level first.
int CreateOutput(DiskFile& output, char* path, std::size_t start) {
    RewriteSeparators(path, start);
    if (output.Open(path, OPEN_WRITE | OPEN_CREATE)) return 1;
    char* last = std::strrchr(path + start, SEPARATOR);
    int made = 0;
    if (last && last != path + start) {
        *last = '\0';
        made = MakeDirectory(path);
        *last = SEPARATOR;
    }
    if (!made) MakeParents(path, start);
    return output.Open(path, OPEN_WRITE | OPEN_CREATE);
}

// Bytes per read for a stream. Reads of 4096 bytes define what is written
// when a block fails: everything before the first 4096-byte piece that
// touches it. A deflated resource whose block length is a multiple of 4096
// is read a block at a time (or, for blocks larger than the copy buffer,
// in the largest such piece that divides the block), which writes the very
// same bytes, inflates and copies every block once, and needs one write
// per block. Other block lengths keep reads of 4096 bytes; stored and
// loose resources deliver what they have whatever the piece, so they use
// the whole buffer.
std::uint32_t CopyPiece(const ResourceStream& stream) {
    if (stream.Slot() < 0) return COPY_BYTES;
    const ResourceEntry& entry = IndexSlots()[stream.Slot()];
    if (entry.kind != KIND_DEFLATED) return COPY_BYTES;
    const std::uint32_t block = entry.blockLength;
    if (block == 0 || block % FAILURE_PIECE != 0) return FAILURE_PIECE;
    std::uint32_t piece = block < COPY_BYTES ? block : COPY_BYTES;
    while (block % piece != 0) piece -= FAILURE_PIECE;
    return piece;
}

}  // namespace

int PrintSyntax(std::FILE* out, const char* program) {
    std::fprintf(out, "Syntax: %s file.rux [outdir]\n", program);
    return Finish(out, 1);
}

int ExtractAll(const char* program, const ExtractOptions& options, const char* resourceFile,
               const char* outputDirectory, std::FILE* out, std::FILE* err) {
    // Not yet used by the plain run.
    (void)options;
    (void)err;
    static char outdir[PATH_BYTES];
    static char path[PATH_BYTES];
    static unsigned char data[COPY_BYTES];

    ResetResourceTables();
    if (!MountResourceFile(resourceFile)) {
        std::fprintf(out, "Could not open resource file: %s\n", resourceFile);
        return Finish(out, 1);
    }

    if (outputDirectory ? !CopyPath(outdir, outputDirectory)
                        : !DefaultOutputDirectory(outdir, resourceFile)) {
        std::fprintf(out, "Cannot write %s\n", outputDirectory ? outputDirectory : resourceFile);
        return Finish(out, 1);
    }
    std::size_t outdirLength = std::strlen(outdir);
    while (outdirLength > 0 && IsSeparator(outdir[outdirLength - 1])) outdir[--outdirLength] = '\0';
    // An empty directory would put every path at the file system's root.
    if (outdirLength == 0) return PrintSyntax(out, program);
    MakeDirectory(outdir);

    int incomplete = 0;
    const ResourceEntry* slots = IndexSlots();
    for (int slot = 0; slot < INDEX_SLOTS; ++slot) {
        const ResourceEntry& entry = slots[slot];
        if (entry.kind == 0) continue;
        const char* name = entry.name;
        std::fprintf(out, "%u %s ", static_cast<unsigned>(entry.kind), name);

        // An unsafe name is refused before anything is opened for it: a
        // loose file's path is built from the name too.
        if (IsUnsafeName(name, WINDOWS_RULES)) {
            std::fprintf(out, "0\nRefused unsafe name %s\n", name);
            incomplete = 1;
            continue;
        }

        ResourceStream stream;
        const int opened = stream.Open(name);
        std::uint32_t size = stream.Size();
        std::fprintf(out, "%u\n", static_cast<unsigned>(size));

        const int length = std::snprintf(path, PATH_BYTES, "%s%c%s", outdir, SEPARATOR, name);
        if (length < 0 || static_cast<std::size_t>(length) >= PATH_BYTES) {
            // The path as it would have been made, in native form.
            std::fprintf(out, "Cannot write %s%c", outdir, SEPARATOR);
            for (const char* p = name; *p != '\0'; ++p) std::fputc(IsSeparator(*p) ? SEPARATOR : *p, out);
            std::fputc('\n', out);
            stream.Close();
            return Finish(out, 1);
        }
        DiskFile output;
        if (!CreateOutput(output, path, outdirLength)) {
            std::fprintf(out, "Cannot write %s\n", path);
            return Finish(out, 1);
        }
        int delivered = opened;
        const std::uint32_t piece = CopyPiece(stream);
        while (size != 0) {
            const std::uint32_t want = size < piece ? size : piece;
            const std::uint32_t got = stream.Read(data, want);
            if (got == 0) {
                delivered = 0;
                break;
            }
            if (output.Write(data, got) != got) {
                std::fprintf(out, "Cannot write %s\n", path);
                // The process may go on (the fuzz target): no handle is left behind.
                output.Close();
                return Finish(out, 1);
            }
            size -= got;
        }
        stream.Close();
        // A write error can surface only when the file is closed.
        if (!output.Close()) {
            std::fprintf(out, "Cannot write %s\n", path);
            return Finish(out, 1);
        }
        if (!delivered) {
            std::fprintf(out, "Cannot read %s\n", name);
            incomplete = 1;
        }
    }

    CacheFree();
    return Finish(out, incomplete ? 1 : 0);
}
