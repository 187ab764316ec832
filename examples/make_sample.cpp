// Regenerates the bundled example: make-sample examples/sample.rux
// It holds all three storage kinds, nested names with both separators, an
// empty resource, and a deflated resource of several blocks.
#include <cstdio>
#include <string>
#include <vector>

#include "pack/writer.h"

using namespace rux;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("Syntax: %s out.rux\n", argv[0]);
        return 1;
    }
    std::string poem;
    for (int i = 1; i <= 400; ++i) {
        poem += "Line " + std::to_string(i) + ": the quick brown fox jumps over the lazy dog.\n";
    }
    std::string table;
    for (int i = 0; i < 4096; ++i) table += static_cast<char>((i * 7919) >> 3);

    std::vector<PackResource> resources;
    resources.push_back({"readme.txt", KIND_STORED,
                         "This resource file was made by make-sample.\n", 0, 6});
    resources.push_back({"text/poem.txt", KIND_DEFLATED, poem, 4096, 9});
    resources.push_back({"data\\table.bin", KIND_DEFLATED, table, 1024, 6});
    resources.push_back({"sounds\\shot.wav", KIND_STORED, std::string(5000, '\x55'), 0, 6});
    resources.push_back({"config/keys.cfg", KIND_LOOSE, "fire=space\njump=up\n", 0, 6});
    resources.push_back({"empty.dat", KIND_DEFLATED, "", 65536, 6});

    std::string error;
    if (!WriteResourceFile(argv[1], resources, &error)) {
        std::printf("%s\n", error.c_str());
        return 1;
    }
    return 0;
}
