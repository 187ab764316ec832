// Making resource files.
//
// The writer lays a resource file out as the 8-byte header, the data of
// every stored and deflated resource (in the region the header's skip
// passes over, so every offset is known before the tables are written),
// then the directory, names and block offset tables, each deflated.
#ifndef RUX_PACK_WRITER_H
#define RUX_PACK_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "resource/format.h"

struct PackResource {
    std::string name;
    std::uint32_t kind = KIND_DEFLATED;  // any value; only 1, 2 and 8 carry data
    std::string data;                    // loose: the loose file's contents
    std::uint32_t blockLength = 65536;   // deflated only; must be at least 1
    int level = 6;                       // zlib level for the blocks, 0 to 9
};

// A resource file before its tables are packed.
struct ResourceImage {
    std::string data;  // the skip region: bytes from offset 8 up to the tables
    std::vector<DirectoryRecord> records;
    std::string names;  // NUL-terminated names, back to back
    std::vector<std::uint32_t> blockOffsets;
};

// One complete zlib stream of bytes at the given level.
std::string DeflateZlib(const std::string& bytes, int level);

// Lays out resources in order. 1 on success; 0 with a message in *error
// when a deflated resource has block length 0 or an offset would reach
// 4 GiB.
int LayoutResources(const std::vector<PackResource>& resources, ResourceImage* image,
                    std::string* error);

// The little-endian bytes of records, 20 each, and of 32-bit offsets.
std::string EncodeRecords(const std::vector<DirectoryRecord>& records);
std::string EncodeOffsets(const std::vector<std::uint32_t>& offsets);

// The whole file: header, data, then the three tables deflated at level.
std::string SerializeImage(const ResourceImage& image, int level = 6);

// Writes bytes to path. 1 on success, 0 on any failure.
int WriteWholeFile(const std::string& path, const std::string& bytes);

// Lays out and writes the resource file at path, and each loose resource's
// file at path immediately followed by its name (creating the directories
// that name implies). 1 on success; 0 with a message in *error.
int WriteResourceFile(const std::string& path, const std::vector<PackResource>& resources,
                      std::string* error);

#endif
