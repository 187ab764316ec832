// Whole resource files made at once from a list of resources in memory,
// for tests, examples and the sample: laid out in memory, or streamed to a
// path with each loose resource's file beside it.
#include "pack/writer.h"

#include <utility>

namespace rux {

int LayoutResources(const std::vector<PackResource>& resources, ResourceImage* image,
                    std::string* error) {
    PackWriter writer;
    for (const PackResource& resource : resources) {
        if (!AddResource(&writer, resource.name, resource.kind, resource.blockLength,
                         resource.level, MemorySource(resource.data), error)) {
            return 0;
        }
    }
    *image = std::move(writer.image);
    return 1;
}

void MakeParentDirectories(const std::string& path, std::size_t from) {
    for (std::size_t i = from; i < path.size(); ++i) {
        if (path[i] == '/' || path[i] == '\\') MakeDirectory(path.substr(0, i).c_str());
    }
}

int WriteResourceFile(const std::string& path, const std::vector<PackResource>& resources,
                      std::string* error) {
    PackWriter writer;
    if (!BeginPackFile(&writer, path, error)) return 0;
    for (const PackResource& resource : resources) {
        if (!AddResource(&writer, resource.name, resource.kind, resource.blockLength,
                         resource.level, MemorySource(resource.data), error)) {
            CancelPackFile(&writer);
            return 0;
        }
    }
    if (!FinishPackFile(&writer, 6, error)) return 0;
    for (const PackResource& resource : resources) {
        if (resource.kind != KIND_LOOSE) continue;
        const std::string loose = path + resource.name;
        MakeParentDirectories(loose, path.size());
        DiskFile file;
        const int copied = file.Open(loose.c_str(), OPEN_WRITE | OPEN_CREATE) &&
                           CopySource(file, MemorySource(resource.data));
        if (!file.Close() || !copied) {
            *error = "cannot write " + loose;
            return 0;
        }
    }
    return 1;
}

}  // namespace rux
