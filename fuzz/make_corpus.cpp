// Writes the fuzz target's seed corpus with the project's writer: small
// resource files with all three kinds, several blocks, hash collisions (one
// chain wrapping from the last slot to the first), nested names with both
// separators, and the odd cases (unknown kinds, duplicates, unsafe names).
//
//   make-fuzz-corpus fuzz/corpus
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "fuzz/input.h"
#include "pack/writer.h"
#include "tests/support/pack_bytes.h"
#include "resource/index.h"

using namespace rux;

namespace {

PackResource Resource(const std::string& name, std::uint32_t kind, const std::string& data,
                      std::uint32_t blockLength = 0, int level = 6) {
    return {name, kind, data, blockLength, level};
}

std::string Text(std::size_t length) {
    std::string out;
    for (std::size_t i = 0; out.size() < length; ++i) out += "line " + std::to_string(i) + "\n";
    out.resize(length);
    return out;
}

// count names that share one home slot; with wrap, that slot is the last.
std::vector<std::string> CollidingNames(std::size_t count, bool wrap) {
    std::map<int, std::vector<std::string>> bySlot;
    for (unsigned i = 0;; ++i) {
        const std::string name = "c" + std::to_string(i);
        const int slot = HomeSlot(name.c_str());
        if (wrap && slot != INDEX_SLOTS - 1) continue;
        std::vector<std::string>& names = bySlot[slot];
        names.push_back(name);
        if (names.size() == count) return names;
    }
}

int Write(const std::string& directory, const std::string& name,
          const std::vector<PackResource>& resources) {
    ResourceImage image;
    std::string error;
    if (!LayoutResources(resources, &image, &error)) {
        std::printf("%s: %s\n", name.c_str(), error.c_str());
        return 0;
    }
    FuzzInput input;
    for (const PackResource& resource : resources) {
        if (resource.kind == KIND_LOOSE && input.looseName.empty()) {
            input.looseName = resource.name;
            input.looseData = resource.data;
        }
    }
    input.resourceFile = SerializeImage(image);
    const std::string path = directory + "/" + name;
    if (!WriteWholeFile(path, EncodeFuzzInput(input))) {
        std::printf("cannot write %s\n", path.c_str());
        return 0;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("Syntax: %s directory\n", argv[0]);
        return 1;
    }
    const std::string dir = argv[1];
    int ok = 1;

    ok &= Write(dir, "kinds", {Resource("l.txt", KIND_LOOSE, "loose contents\n"),
                               Resource("s/stored.txt", KIND_STORED, Text(100)),
                               Resource("d\\deep/def.bin", KIND_DEFLATED, Text(300), 64),
                               Resource("e", KIND_STORED, ""),
                               Resource("z", KIND_DEFLATED, "", 4096)});

    std::vector<PackResource> collide;
    for (const std::string& name : CollidingNames(3, false)) {
        collide.push_back(Resource(name, KIND_STORED, name + " data"));
    }
    for (const std::string& name : CollidingNames(2, true)) {
        collide.push_back(Resource(name, KIND_DEFLATED, Text(40), 16));
    }
    ok &= Write(dir, "collisions", collide);

    ok &= Write(dir, "blocks", {Resource("b9", KIND_DEFLATED, Text(200), 16, 9),
                                Resource("b0", KIND_DEFLATED, Text(70), 32, 0),
                                Resource("b1", KIND_DEFLATED, std::string(8192, '\0'), 4096, 9)});

    ok &= Write(dir, "nested", {Resource("cfg\\keys.cfg", KIND_LOOSE, "fire=space\n"),
                                Resource("a/b\\c/d.txt", KIND_STORED, "deep"),
                                Resource("a\\b/e.txt", KIND_DEFLATED, Text(50), 20)});

    ok &= Write(dir, "odd", {Resource("unknown", 5, "x"),
                             Resource("free", 0, ""),
                             Resource("dup", KIND_STORED, "first"),
                             Resource("dup", KIND_DEFLATED, Text(30), 8),
                             Resource("Case", KIND_STORED, "upper"),
                             Resource("case", KIND_STORED, "lower"),
                             Resource("../up", KIND_STORED, "escape"),
                             Resource("missing", KIND_LOOSE, "")});

    ok &= Write(dir, "clash", {Resource("a", KIND_STORED, "file"),
                               Resource("a/b.txt", KIND_STORED, "below")});

    ok &= Write(dir, "empty", {});
    return ok ? 0 : 1;
}
