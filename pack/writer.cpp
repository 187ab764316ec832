#include "pack/writer.h"

#include <zlib.h>

#include "platform/disk_file.h"

std::string DeflateZlib(const std::string& bytes, int level) {
    uLongf room = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(room, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &room,
              reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
              level);
    out.resize(room);
    return out;
}

int LayoutResources(const std::vector<PackResource>& resources, ResourceImage* image,
                    std::string* error) {
    *image = ResourceImage();
    for (const PackResource& resource : resources) {
        DirectoryRecord record = {};
        record.nameOffset = static_cast<std::uint32_t>(image->names.size());
        record.kind = resource.kind;
        record.size = static_cast<std::uint32_t>(resource.data.size());
        image->names += resource.name;
        image->names += '\0';

        const std::uint64_t here = FILE_HEADER_BYTES + image->data.size();
        if (resource.kind == KIND_STORED) {
            record.placement = static_cast<std::uint32_t>(here);
            image->data += resource.data;
        } else if (resource.kind == KIND_DEFLATED) {
            if (resource.blockLength == 0) {
                *error = "block length 0 for " + resource.name;
                return 0;
            }
            record.blockLength = resource.blockLength;
            record.placement = static_cast<std::uint32_t>(image->blockOffsets.size());
            image->blockOffsets.push_back(static_cast<std::uint32_t>(here));
            for (std::size_t at = 0; at < resource.data.size(); at += resource.blockLength) {
                image->data += DeflateZlib(resource.data.substr(at, resource.blockLength),
                                           resource.level);
                const std::uint64_t end = FILE_HEADER_BYTES + image->data.size();
                if (end > UINT32_MAX) break;
                image->blockOffsets.push_back(static_cast<std::uint32_t>(end));
            }
        }
        if (FILE_HEADER_BYTES + image->data.size() > UINT32_MAX ||
            resource.data.size() > UINT32_MAX) {
            *error = "offsets reach 4 GiB at " + resource.name;
            return 0;
        }
        image->records.push_back(record);
    }
    return 1;
}

std::string EncodeRecords(const std::vector<DirectoryRecord>& records) {
    std::string out(records.size() * DIRECTORY_RECORD_BYTES, '\0');
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(&out[0]);
    for (const DirectoryRecord& r : records) {
        StoreLE32(p, r.nameOffset);
        StoreLE32(p + 4, r.kind);
        StoreLE32(p + 8, r.placement);
        StoreLE32(p + 12, r.size);
        StoreLE32(p + 16, r.blockLength);
        p += DIRECTORY_RECORD_BYTES;
    }
    return out;
}

std::string EncodeOffsets(const std::vector<std::uint32_t>& offsets) {
    std::string out(offsets.size() * BLOCK_OFFSET_BYTES, '\0');
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(&out[0]);
    for (std::uint32_t value : offsets) {
        StoreLE32(p, value);
        p += BLOCK_OFFSET_BYTES;
    }
    return out;
}

namespace {

std::string Le32(std::uint32_t value) {
    std::uint8_t bytes[4];
    StoreLE32(bytes, value);
    return std::string(reinterpret_cast<char*>(bytes), 4);
}

std::string PackTable(const std::string& inflated, std::uint32_t count,
                      std::uint32_t elementSize, int level) {
    std::string packed = DeflateZlib(inflated, level);
    return Le32(static_cast<std::uint32_t>(packed.size())) + Le32(count) + Le32(elementSize) +
           packed;
}

}  // namespace

std::string SerializeImage(const ResourceImage& image, int level) {
    std::string out = "RUXA" + Le32(static_cast<std::uint32_t>(image.data.size()));
    out += image.data;
    out += PackTable(EncodeRecords(image.records),
                     static_cast<std::uint32_t>(image.records.size()), DIRECTORY_RECORD_BYTES,
                     level);
    out += PackTable(image.names, static_cast<std::uint32_t>(image.names.size()), 1, level);
    out += PackTable(EncodeOffsets(image.blockOffsets),
                     static_cast<std::uint32_t>(image.blockOffsets.size()), BLOCK_OFFSET_BYTES,
                     level);
    return out;
}

int WriteWholeFile(const std::string& path, const std::string& bytes) {
    DiskFile file;
    if (!file.Open(path.c_str(), OPEN_WRITE | OPEN_CREATE)) return 0;
    int ok = 1;
    for (std::size_t at = 0; at < bytes.size() && ok;) {
        const std::size_t left = bytes.size() - at;
        const std::uint32_t piece = left > (1u << 30) ? (1u << 30) : static_cast<std::uint32_t>(left);
        ok = file.Write(bytes.data() + at, piece) == piece;
        at += piece;
    }
    return file.Close() && ok;
}

int WriteResourceFile(const std::string& path, const std::vector<PackResource>& resources,
                      std::string* error) {
    ResourceImage image;
    if (!LayoutResources(resources, &image, error)) return 0;
    if (!WriteWholeFile(path, SerializeImage(image))) {
        *error = "cannot write " + path;
        return 0;
    }
    for (const PackResource& resource : resources) {
        if (resource.kind != KIND_LOOSE) continue;
        const std::string loose = path + resource.name;
        for (std::size_t i = path.size(); i < loose.size(); ++i) {
            if (loose[i] == '/' || loose[i] == '\\') MakeDirectory(loose.substr(0, i).c_str());
        }
        if (!WriteWholeFile(loose, resource.data)) {
            *error = "cannot write " + loose;
            return 0;
        }
    }
    return 1;
}
