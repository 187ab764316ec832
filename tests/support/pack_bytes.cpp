#include "tests/support/pack_bytes.h"

#include <zlib.h>

namespace rux {

std::string Bytes(std::initializer_list<unsigned> values) {
    std::string out;
    for (unsigned v : values) out += static_cast<char>(v);
    return out;
}

std::string ZlibStored(const std::string& data) {
    const unsigned n = static_cast<unsigned>(data.size());
    const uLong adler = adler32(1, reinterpret_cast<const Bytef*>(data.data()), n);
    std::string out = Bytes({0x78, 0x01, 0x01, n & 0xFF, n >> 8, ~n & 0xFF, (~n >> 8) & 0xFF}) + data;
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(adler >> shift);
    return out;
}

std::string Le32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    return bytes;
}

std::string PackedTableBytes(std::uint32_t packedLength, std::uint32_t count,
                             std::uint32_t elementSize, const std::string& packed) {
    return Le32(packedLength) + Le32(count) + Le32(elementSize) + packed;
}

std::string EncodeRecords(const std::vector<DirectoryRecord>& records) {
    std::string out;
    for (const DirectoryRecord& r : records) {
        out += Le32(r.nameOffset) + Le32(r.kind) + Le32(r.placement) + Le32(r.size) + Le32(r.blockLength);
    }
    return out;
}

std::string SerializeImage(const ResourceImage& image, int level) {
    return "RUXA" + Le32(static_cast<std::uint32_t>(image.data.size())) + image.data +
           EncodeTables(image, level);
}

int WriteWholeFile(const std::string& path, const std::string& bytes) {
    DiskFile file;
    if (!file.Open(path.c_str(), OPEN_WRITE | OPEN_CREATE)) return 0;
    const int copied = CopySource(file, MemorySource(bytes));
    return file.Close() && copied;
}

}  // namespace rux
