// Reading a resource file with the rux library.
//
//   read_resource FILE.rux          lists every resource: kind, size, name
//   read_resource FILE.rux NAME     prints NAME's size and its first bytes in hex
//
// Build it against the installed library with CMake (find_package(Rux) and
// Rux::rux) or with `c++ read_resource.cpp $(pkg-config --cflags --libs rux)`.
#include <rux/index.h>
#include <rux/stream.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s FILE.rux [NAME]\n", argv[0]);
        return 2;
    }
    rux::ResetResourceTables();
    if (!rux::MountResourceFile(argv[1])) {
        std::fprintf(stderr, "%s: not a readable resource file\n", argv[1]);
        return 1;
    }
    if (argc == 2) {  // every occupied index slot is one resource
        const rux::ResourceEntry* slots = rux::IndexSlots();
        for (int i = 0; i < rux::INDEX_SLOTS; ++i) {
            if (slots[i].kind == 0) continue;
            std::printf("%u %8u %s\n", slots[i].kind, slots[i].size, slots[i].name);
        }
        return 0;
    }
    rux::ResourceStream stream;
    if (!stream.Open(argv[2])) {  // names are matched ignoring ASCII case
        std::fprintf(stderr, "%s: no such resource, or it cannot be opened\n", argv[2]);
        return 1;
    }
    const std::uint32_t size = stream.Size();
    std::uint8_t bytes[16];
    const std::uint32_t wanted = size < sizeof bytes ? size : sizeof bytes;
    const std::uint32_t got = stream.Read(bytes, wanted);
    stream.Close();
    if (got != wanted) {
        std::fprintf(stderr, "%s: read failed\n", argv[2]);
        return 1;
    }
    std::printf("%s: %u bytes\n", argv[2], size);
    for (std::uint32_t i = 0; i < got; ++i) std::printf("%02x%c", bytes[i], i + 1 < got ? ' ' : '\n');
    return 0;
}
