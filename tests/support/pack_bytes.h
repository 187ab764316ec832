// Resource-file bytes made by hand, for the tests and the fuzz corpus:
// fields and tables laid out as the format reads them, so a test can build
// a file the writer would never write.
#ifndef RUX_TESTS_SUPPORT_PACK_BYTES_H
#define RUX_TESTS_SUPPORT_PACK_BYTES_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "pack/writer.h"

namespace rux {

// The bytes of values, one each.
std::string Bytes(std::initializer_list<unsigned> values);

// A zlib stream built by hand: header 78 01, one final stored deflate block
// (LEN, NLEN), and the Adler-32 trailer, most significant byte first.
std::string ZlibStored(const std::string& data);

// The four little-endian bytes of value.
std::string Le32(std::uint32_t value);

// A packed table: its 12-byte header (the fields as given) and the zlib data.
std::string PackedTableBytes(std::uint32_t packedLength, std::uint32_t count,
                             std::uint32_t elementSize, const std::string& packed);

// The little-endian bytes of records, 20 each.
std::string EncodeRecords(const std::vector<DirectoryRecord>& records);

// The whole file: header, data, then the three tables deflated at level.
std::string SerializeImage(const ResourceImage& image, int level = 6);

// Writes bytes to path (created, or truncated). 1 on success, 0 on any failure.
int WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace rux

#endif
