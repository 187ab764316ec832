#include "pack/old_file.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "pack/files.h"
#include "pack/writer.h"
#include "resource/format.h"
#include "resource/inflate.h"
#include "resource/set.h"

namespace rux {

bool LoadOldFile(const std::string& path, OldFile* old, std::string* error) {
    {
        // The library's own checks, and its words for what is wrong.
        ResourceSet set;
        const MountResult mounted = set.Mount(path.c_str());
        if (!mounted.ok()) {
            *error = "cannot update " + path + ": " + MountErrorText(mounted);
            return false;
        }
    }
    const auto fail = [&](const std::string& why) {
        *error = "cannot update " + path + ": " + why;
        return false;
    };
    if (!old->file.Open(path.c_str(), 0)) return fail("cannot open it" + LastErrorSuffix());
    std::uint8_t headerBytes[FILE_HEADER_BYTES];
    FileHeader header;
    if (old->file.Read(headerBytes, FILE_HEADER_BYTES) != FILE_HEADER_BYTES ||
        !DecodeFileHeader(headerBytes, &header) ||
        old->file.Seek(std::int64_t(FILE_HEADER_BYTES) + header.skip, SEEK_FROM_BEGIN) < 0) {
        return fail("not a resource file");
    }
    std::unique_ptr<std::uint8_t[]> tables[3];
    PackedTableHeader headers[3];
    for (int i = 0; i < 3; ++i) {
        TableError why = TableError::NONE;
        tables[i].reset(ReadPackedTable(old->file, &headers[i], &why));
        if (!tables[i]) return fail(std::string("a table cannot be read: ") + TableErrorText(why));
    }
    const std::int64_t fileSize = old->file.Size();
    const std::uint64_t names = std::uint64_t(headers[1].count) * headers[1].elementSize;
    const char* nameBytes = reinterpret_cast<const char*>(tables[1].get());
    old->offsets.resize(std::uint64_t(headers[2].count) * headers[2].elementSize / BLOCK_OFFSET_BYTES);
    for (std::size_t i = 0; i < old->offsets.size(); ++i) {
        old->offsets[i] = LoadLE32(tables[2].get() + i * BLOCK_OFFSET_BYTES);
    }
    const std::uint64_t records = std::uint64_t(headers[0].count) * headers[0].elementSize / DIRECTORY_RECORD_BYTES;
    for (std::uint64_t r = 0; r < records; ++r) {
        DirectoryRecord record;
        DecodeDirectoryRecord(tables[0].get() + r * DIRECTORY_RECORD_BYTES, &record);
        if (record.kind != KIND_DEFLATED || record.blockLength == 0 || record.nameOffset >= names) continue;
        const void* end = std::memchr(nameBytes + record.nameOffset, '\0', names - record.nameOffset);
        if (!end) continue;
        OldResource resource;
        resource.size = record.size;
        resource.blockLength = record.blockLength;
        resource.first = record.placement;
        resource.blocks = static_cast<std::uint32_t>((std::uint64_t(record.size) + record.blockLength - 1) /
                                                     record.blockLength);
        if (std::uint64_t(resource.first) + resource.blocks >= old->offsets.size()) continue;
        bool inOrder = true;
        for (std::uint32_t k = 0; k < resource.blocks && inOrder; ++k) {
            inOrder = old->offsets[resource.first + k] <= old->offsets[resource.first + k + 1];
        }
        inOrder = inOrder && std::int64_t(old->offsets[resource.first + resource.blocks]) <= fileSize;
        if (!inOrder) continue;
        // Names met twice keep the first.
        old->byName.emplace(std::string(nameBytes + record.nameOffset), resource);
    }
    return true;
}

bool SameCompressor(const OldFile& old, const PackOptions& options,
                    const std::vector<PackEntry>& entries) {
    std::vector<const OldResource*> candidates;
    for (const PackEntry& entry : entries) {
        const auto found = old.byName.find(entry.name);
        if (found != old.byName.end() && found->second.blockLength == options.blockSize &&
            found->second.blocks > 0) {
            candidates.push_back(&found->second);
        }
    }
    const auto firstLength = [](const OldResource* r) { return std::min(r->size, r->blockLength); };
    std::stable_sort(candidates.begin(), candidates.end(), [&](const OldResource* a, const OldResource* b) {
        return firstLength(a) > firstLength(b);
    });
    if (candidates.size() > 8) candidates.resize(8);
    DiskFile& file = const_cast<DiskFile&>(old.file);
    for (const OldResource* r : candidates) {
        const std::uint32_t from = old.offsets[r->first], to = old.offsets[r->first + 1];
        const std::uint32_t length = firstLength(r);
        if (to - from > MaxInflatedLength(0) + std::uint64_t(length) * 2) return false;
        std::string packed(to - from, '\0'), inflated(length + std::size_t(1), '\0'), again;
        std::vector<std::uint32_t> ends;
        if (!ReadFully(file, from, &packed[0], packed.size()) ||
            !InflateExact(reinterpret_cast<const std::uint8_t*>(packed.data()), to - from,
                          reinterpret_cast<std::uint8_t*>(&inflated[0]), length) ||
            !DeflateBlocks(inflated.data(), length, r->blockLength, options.level, &again, &ends) ||
            again != packed) {
            return false;
        }
    }
    return true;
}

}  // namespace rux
