#include "resource/format.h"

#include <new>

#include "resource/inflate.h"

namespace rux {

std::uint32_t LoadLE32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) |
           static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 |
           static_cast<std::uint32_t>(bytes[3]) << 24;
}

void StoreLE32(std::uint8_t* bytes, std::uint32_t value) {
    bytes[0] = static_cast<std::uint8_t>(value);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
    bytes[2] = static_cast<std::uint8_t>(value >> 16);
    bytes[3] = static_cast<std::uint8_t>(value >> 24);
}

int DecodeFileHeader(const std::uint8_t* bytes, FileHeader* header) {
    for (int i = 0; i < 4; ++i) header->magic[i] = bytes[i];
    header->skip = LoadLE32(bytes + 4);
    return bytes[0] == 'R' && bytes[1] == 'U' && bytes[2] == 'X' && bytes[3] == 'A';
}

void DecodePackedTableHeader(const std::uint8_t* bytes, PackedTableHeader* header) {
    header->packedLength = LoadLE32(bytes);
    header->count = LoadLE32(bytes + 4);
    header->elementSize = LoadLE32(bytes + 8);
}

void DecodeDirectoryRecord(const std::uint8_t* bytes, DirectoryRecord* record) {
    record->nameOffset = LoadLE32(bytes);
    record->kind = LoadLE32(bytes + 4);
    record->placement = LoadLE32(bytes + 8);
    record->size = LoadLE32(bytes + 12);
    record->blockLength = LoadLE32(bytes + 16);
}

std::uint8_t* ReadPackedTable(DiskFile& file, PackedTableHeader* header) {
    return ReadPackedTable(file, header, nullptr);
}

std::uint8_t* ReadPackedTable(DiskFile& file, PackedTableHeader* header, TableError* why) {
    TableError ignored;
    TableError& error = why ? *why : ignored;
    error = TableError::NONE;
    std::uint8_t raw[PACKED_TABLE_HEADER_BYTES];
    if (file.Read(raw, sizeof raw) != sizeof raw) {
        error = TableError::SHORT_HEADER;
        return nullptr;
    }
    PackedTableHeader table;
    DecodePackedTableHeader(raw, &table);
    if (header) *header = table;

    const std::uint64_t inflated =
        static_cast<std::uint64_t>(table.count) * table.elementSize;
    if (inflated > MAX_TABLE_BYTES) {
        error = TableError::TOO_LARGE;
        return nullptr;
    }

    const std::int64_t here = file.Seek(0, SEEK_FROM_CURRENT);
    const std::int64_t size = file.Size();
    if (here < 0 || size < 0) {
        error = TableError::READ_FAILED;
        return nullptr;
    }
    if (table.packedLength > size - here) {
        error = TableError::PAST_END;
        return nullptr;
    }
    // Refuse a claimed length that the packed bytes cannot produce, before
    // allocating room for it.
    if (inflated > MaxInflatedLength(table.packedLength)) {
        error = TableError::OVERSTATED;
        return nullptr;
    }

    std::uint8_t* packed = new (std::nothrow) std::uint8_t[table.packedLength ? table.packedLength : 1];
    const std::uint32_t length = static_cast<std::uint32_t>(inflated);
    std::uint8_t* out = packed ? new (std::nothrow) std::uint8_t[length ? length : 1] : nullptr;
    if (!out) {
        delete[] packed;
        error = TableError::OUT_OF_MEMORY;
        return nullptr;
    }
    if (file.Read(packed, table.packedLength) != table.packedLength) {
        error = TableError::READ_FAILED;
    } else if (!InflateExact(packed, table.packedLength, out, length)) {
        error = TableError::DAMAGED;
    }
    delete[] packed;
    if (error != TableError::NONE) {
        delete[] out;
        return nullptr;
    }
    return out;
}

const char* TableErrorText(TableError error) {
    switch (error) {
    case TableError::NONE: return "";
    case TableError::SHORT_HEADER: return "the file ends inside its header";
    case TableError::PAST_END: return "its data runs past the end of the file";
    case TableError::TOO_LARGE: return "it claims more than 8 MiB";
    case TableError::OVERSTATED: return "it claims more than its data can hold";
    case TableError::OUT_OF_MEMORY: return "out of memory";
    case TableError::READ_FAILED: return "the file cannot be read";
    case TableError::DAMAGED: return "its data does not inflate to its length";
    }
    return "unknown error";
}

}  // namespace rux
