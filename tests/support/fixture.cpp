#include "tests/support/fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "rux-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
#ifdef _WIN32
    // No mkdtemp: make a unique name from the process and a counter.
    static int counter = 0;
    for (;;) {
        std::string candidate = (fs::temp_directory_path() /
                                 ("rux-test-" + std::to_string(std::rand()) + "-" +
                                  std::to_string(++counter)))
                                    .string();
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate;
            break;
        }
    }
#else
    if (!mkdtemp(buffer.data())) std::abort();
    path_ = buffer.data();
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool IsDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

std::vector<std::string> ListTree(const std::string& root, bool withDirectories) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string relative = fs::relative(it->path(), root).generic_string();
        if (it->is_directory()) {
            if (withDirectories) out.push_back(relative + "/");
        } else {
            out.push_back(relative);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

std::string Le32(std::uint32_t value) {
    std::uint8_t bytes[4];
    StoreLE32(bytes, value);
    return std::string(reinterpret_cast<char*>(bytes), 4);
}

std::string SerializeTable(const RawTable& table) {
    std::string packed = table.overridePacked ? table.packed : DeflateZlib(table.inflated, table.level);
    std::uint32_t length =
        table.overridePackedLength ? table.packedLength : static_cast<std::uint32_t>(packed.size());
    return Le32(length) + Le32(table.count) + Le32(table.elementSize) + packed;
}

}  // namespace

std::string RawFile::Serialize() const {
    std::string out = magic;
    out += Le32(overrideSkip ? skip : static_cast<std::uint32_t>(data.size()));
    out += data;
    out += SerializeTable(directory);
    out += SerializeTable(names);
    out += SerializeTable(blocks);
    out += trailer;
    return out;
}

RawFile ToRawFile(const ResourceImage& image) {
    RawFile file;
    file.data = image.data;
    SetRecords(&file, image.records);
    file.names.inflated = image.names;
    file.names.count = static_cast<std::uint32_t>(image.names.size());
    file.names.elementSize = 1;
    SetBlockOffsets(&file, image.blockOffsets);
    return file;
}

RawFile MakeRawFile(const std::vector<PackResource>& resources) {
    ResourceImage image;
    std::string error;
    EXPECT_TRUE(LayoutResources(resources, &image, &error)) << error;
    return ToRawFile(image);
}

void SetRecords(RawFile* file, const std::vector<DirectoryRecord>& records) {
    file->directory.inflated = EncodeRecords(records);
    file->directory.count = static_cast<std::uint32_t>(records.size());
    file->directory.elementSize = DIRECTORY_RECORD_BYTES;
}

std::vector<DirectoryRecord> GetRecords(const RawFile& file) {
    std::vector<DirectoryRecord> records(file.directory.inflated.size() / DIRECTORY_RECORD_BYTES);
    for (std::size_t i = 0; i < records.size(); ++i) {
        DecodeDirectoryRecord(
            reinterpret_cast<const std::uint8_t*>(file.directory.inflated.data()) +
                i * DIRECTORY_RECORD_BYTES,
            &records[i]);
    }
    return records;
}

void SetBlockOffsets(RawFile* file, const std::vector<std::uint32_t>& offsets) {
    file->blocks.inflated = EncodeOffsets(offsets);
    file->blocks.count = static_cast<std::uint32_t>(offsets.size());
    file->blocks.elementSize = BLOCK_OFFSET_BYTES;
}

PackResource Loose(const std::string& name, const std::string& data) {
    return {name, KIND_LOOSE, data, 0, 6};
}
PackResource Stored(const std::string& name, const std::string& data) {
    return {name, KIND_STORED, data, 0, 6};
}
PackResource Deflated(const std::string& name, const std::string& data, std::uint32_t blockLength,
                      int level) {
    return {name, KIND_DEFLATED, data, blockLength, level};
}

std::string TextBytes(std::size_t length, std::uint32_t seed) {
    static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
    std::string out;
    std::uint32_t state = seed;
    while (out.size() < length) {
        state = state * 1103515245u + 12345u;
        out += words[(state >> 16) % 6];
    }
    out.resize(length);
    return out;
}

std::string RandomBytes(std::size_t length, std::uint32_t seed) {
    std::string out(length, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    return out;
}
