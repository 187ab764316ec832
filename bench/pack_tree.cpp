// Benchmark packer: packs every regular file below a directory into one
// resource file, named by its path relative to that directory, in sorted
// order. Every tenth resource is stored, the others deflated in 64 KiB
// blocks, so both kinds are exercised on the same tree.
//
//   rux-bench-pack DIR OUT.rux
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/writer.h"

using namespace rux;

namespace fs = std::filesystem;

namespace {

int ReadFileBytes(const fs::path& path, std::string* bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    bytes->clear();
    char chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes->append(chunk, got);
    const int ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIR OUT.rux\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    std::vector<std::string> names;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file()) names.push_back(fs::relative(it->path(), root).generic_string());
    }
    if (error) {
        std::fprintf(stderr, "cannot walk %s: %s\n", argv[1], error.message().c_str());
        return 1;
    }
    std::sort(names.begin(), names.end());

    std::vector<PackResource> resources(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        PackResource& resource = resources[i];
        resource.name = names[i];
        resource.kind = i % 10 == 9 ? KIND_STORED : KIND_DEFLATED;
        resource.blockLength = 65536;
        if (!ReadFileBytes(root / names[i], &resource.data)) {
            std::fprintf(stderr, "cannot read %s\n", names[i].c_str());
            return 1;
        }
    }
    std::string message;
    if (!WriteResourceFile(argv[2], resources, &message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    return 0;
}
