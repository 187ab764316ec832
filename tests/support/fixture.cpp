#include "tests/support/fixture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#else
#include <unistd.h>
#endif

using namespace rux;

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

#ifdef _WIN32

bool ResizeFile(const std::string& path, std::int64_t length) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // NTFS would otherwise write out the whole gap as zeros.
    DWORD unused = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = length;
    const bool done = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return done;
}

int OpenHandleCount() {
    // Handle values are multiples of 4, handed out lowest first; probing
    // them works where GetProcessHandleCount does not (Wine reports 0).
    constexpr std::uintptr_t PROBED_HANDLES = 1024;
    int count = 0;
    for (std::uintptr_t value = 4; value <= 4 * PROBED_HANDLES; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

#else

// Tests make sparse files of up to 4 GiB + 1 bytes, on 32-bit builds too.
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits: build with -D_FILE_OFFSET_BITS=64");

bool ResizeFile(const std::string& path, std::int64_t length) {
    return ::truncate(path.c_str(), static_cast<off_t>(length)) == 0;
}

int OpenHandleCount() {
    int count = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        ++count;
    }
    return count;
}

#endif

std::string SerializeTable(const RawTable& table) {
    std::string packed = table.overridePacked ? table.packed : DeflateZlib(table.inflated, table.level);
    std::uint32_t length =
        table.overridePackedLength ? table.packedLength : static_cast<std::uint32_t>(packed.size());
    return PackedTableBytes(length, table.count, table.elementSize, packed);
}

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

void SetRecordField(RawFile* file, std::size_t index, std::uint32_t DirectoryRecord::*field,
                    std::uint32_t value) {
    std::vector<DirectoryRecord> records = GetRecords(*file);
    records.at(index).*field = value;
    SetRecords(file, records);
}

std::vector<std::uint32_t> GetBlockOffsets(const RawFile& file) {
    std::vector<std::uint32_t> offsets;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.blocks.inflated.data());
    for (std::size_t at = 0; at + 4 <= file.blocks.inflated.size(); at += 4) offsets.push_back(LoadLE32(bytes + at));
    return offsets;
}

std::string TablesFirst(RawFile* file, std::uint32_t at) {
    const std::uint32_t shift = at - FILE_HEADER_BYTES;
    std::vector<DirectoryRecord> records = GetRecords(*file);
    for (DirectoryRecord& record : records) {
        if (record.kind == KIND_STORED) record.placement += shift;
    }
    SetRecords(file, records);
    std::vector<std::uint32_t> offsets = GetBlockOffsets(*file);
    for (std::uint32_t& offset : offsets) offset += shift;
    SetBlockOffsets(file, offsets);
    RawFile head = *file;
    head.overrideSkip = true;
    head.skip = 0;
    head.data.clear();
    head.trailer.clear();
    std::string bytes = head.Serialize();
    EXPECT_LE(bytes.size(), at) << "the tables do not fit before the data";
    bytes.resize(at, '\0');
    return bytes + file->data + file->trailer;
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

std::string DeflateWithDictionary(const std::string& data, const std::string& dict) {
    z_stream z = {};
    deflateInit(&z, 6);
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dict.data()),
                         static_cast<uInt>(dict.size()));
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}
