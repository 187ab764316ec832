// rux-extract: writes every resource of a resource file below an output
// directory, printing one line per resource (kind, name, size).
//
//   rux-extract FILE.rux [OUTDIR]
//
// OUTDIR defaults to __NAME in the current directory, NAME being the
// resource file's name without its directories. Exit status 0 only when
// every listed resource was written in full.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/disk_file.h"
#include "resource/blocks.h"
#include "resource/index.h"
#include "resource/stream.h"
#include "tool/names.h"

namespace {

constexpr std::size_t PATH_BYTES = 4096;
constexpr std::uint32_t COPY_BYTES = 4096;

#ifdef _WIN32
constexpr char SEPARATOR = '\\';
constexpr int WINDOWS_RULES = 1;
#else
constexpr char SEPARATOR = '/';
constexpr int WINDOWS_RULES = 0;
#endif

[[noreturn]] void Exit(int status) {
    std::fflush(stdout);
    std::exit(status);
}

[[noreturn]] void Syntax(const char* program) {
    std::printf("Syntax: %s file.rux [outdir]\n", program);
    Exit(1);
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
// platform's and creates each directory that they imply.
void MakeParents(char* path, std::size_t start) {
    for (char* p = path + start; *p != '\0'; ++p) {
        if (!IsSeparator(*p)) continue;
        *p = '\0';
        MakeDirectory(path);
        *p = SEPARATOR;
    }
}

}  // namespace

int main(int argc, char** argv) {
    static char outdir[PATH_BYTES];
    static char path[PATH_BYTES];
    static unsigned char data[COPY_BYTES];

    const char* program = argc > 0 ? argv[0] : "rux-extract";
    if (argc < 2) Syntax(program);
    const char* resourceFile = argv[1];

    ResetResourceTables();
    if (!MountResourceFile(resourceFile)) {
        std::printf("Could not open resource file: %s\n", resourceFile);
        Exit(1);
    }

    if (argc > 2 ? !CopyPath(outdir, argv[2]) : !DefaultOutputDirectory(outdir, resourceFile)) {
        std::printf("Cannot write %s\n", argc > 2 ? argv[2] : resourceFile);
        Exit(1);
    }
    std::size_t outdirLength = std::strlen(outdir);
    while (outdirLength > 0 && IsSeparator(outdir[outdirLength - 1])) outdir[--outdirLength] = '\0';
    // An empty directory would put every path at the file system's root.
    if (outdirLength == 0) Syntax(program);
    MakeDirectory(outdir);

    int incomplete = 0;
    const ResourceEntry* slots = IndexSlots();
    for (int slot = 0; slot < INDEX_SLOTS; ++slot) {
        const ResourceEntry& entry = slots[slot];
        if (entry.kind == 0) continue;
        const char* name = entry.name;
        std::printf("%u %s ", static_cast<unsigned>(entry.kind), name);

        ResourceStream stream;
        const int opened = stream.Open(name);
        std::uint32_t size = stream.Size();
        std::printf("%u\n", static_cast<unsigned>(size));

        if (IsUnsafeName(name, WINDOWS_RULES)) {
            std::printf("Refused unsafe name %s\n", name);
            stream.Close();
            incomplete = 1;
            continue;
        }

        const int length = std::snprintf(path, PATH_BYTES, "%s%c%s", outdir, SEPARATOR, name);
        if (length < 0 || static_cast<std::size_t>(length) >= PATH_BYTES) {
            // The path as it would have been made, in native form.
            std::printf("Cannot write %s%c", outdir, SEPARATOR);
            for (const char* p = name; *p != '\0'; ++p) std::putchar(IsSeparator(*p) ? SEPARATOR : *p);
            std::putchar('\n');
            Exit(1);
        }
        MakeParents(path, outdirLength);

        DiskFile output;
        if (!output.Open(path, OPEN_WRITE | OPEN_CREATE)) {
            std::printf("Cannot write %s\n", path);
            Exit(1);
        }
        int delivered = opened;
        while (size != 0) {
            const std::uint32_t want = size < COPY_BYTES ? size : COPY_BYTES;
            const std::uint32_t got = stream.Read(data, want);
            if (got == 0) {
                delivered = 0;
                break;
            }
            if (output.Write(data, got) != got) {
                std::printf("Cannot write %s\n", path);
                Exit(1);
            }
            size -= got;
        }
        stream.Close();
        // A write error can surface only when the file is closed.
        if (!output.Close()) {
            std::printf("Cannot write %s\n", path);
            Exit(1);
        }
        if (!delivered) {
            std::printf("Cannot read %s\n", name);
            incomplete = 1;
        }
    }

    CacheFree();
    Exit(incomplete ? 1 : 0);
}
