// The three tables of a resource file packed: the directory records, the
// names and the block offsets, each as its 12-byte header and zlib data.
#include "pack/writer.h"

namespace rux {

namespace {

// The four little-endian bytes of value.
std::string Le32(std::uint32_t value) {
    std::uint8_t bytes[4];
    StoreLE32(bytes, value);
    return std::string(reinterpret_cast<char*>(bytes), 4);
}

// The little-endian bytes of records, 20 each.
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

// A packed table: its 12-byte header and the zlib data of inflated.
std::string PackTable(const std::string& inflated, std::uint32_t count,
                      std::uint32_t elementSize, int level) {
    std::string packed = DeflateZlib(inflated, level);
    return Le32(static_cast<std::uint32_t>(packed.size())) + Le32(count) + Le32(elementSize) + packed;
}

}  // namespace

std::string EncodeOffsets(const std::vector<std::uint32_t>& offsets) {
    std::string out(offsets.size() * BLOCK_OFFSET_BYTES, '\0');
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(&out[0]);
    for (std::uint32_t value : offsets) {
        StoreLE32(p, value);
        p += BLOCK_OFFSET_BYTES;
    }
    return out;
}

std::string EncodeTables(const ResourceImage& image, int level) {
    return PackTable(EncodeRecords(image.records),
                     static_cast<std::uint32_t>(image.records.size()), DIRECTORY_RECORD_BYTES,
                     level) +
           PackTable(image.names, static_cast<std::uint32_t>(image.names.size()), 1, level) +
           PackTable(EncodeOffsets(image.blockOffsets),
                     static_cast<std::uint32_t>(image.blockOffsets.size()), BLOCK_OFFSET_BYTES,
                     level);
}

}  // namespace rux
