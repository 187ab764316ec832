// The machine's bound for extracting a resource file: a trusting extractor
// that does nothing but the unavoidable work. It maps the whole file once,
// inflates each block into one reused buffer, and writes each block (or a
// stored resource in full) with one write call, in directory order. It
// checks nothing beyond what it needs not to crash on the benchmark's own
// files.
//
//   rux-bound zlib|libdeflate FILE.rux OUTDIR
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libdeflate.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "resource/format.h"

using namespace rux;

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "rux-bound: %s %s\n", what, detail.c_str());
    std::exit(1);
}

// Creates the file, and on a missing directory every directory before it.
int CreateOutput(std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != ENOENT) return fd;
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] != '/') continue;
        path[i] = '\0';
        ::mkdir(path.c_str(), 0777);
        path[i] = '/';
    }
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

void WriteAll(int fd, const std::uint8_t* data, std::size_t length, const std::string& path) {
    while (length > 0) {
        const ssize_t put = ::write(fd, data, length);
        if (put <= 0) Fail("cannot write", path);
        data += put;
        length -= static_cast<std::size_t>(put);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "zlib") != 0 && std::strcmp(argv[1], "libdeflate") != 0)) {
        std::fprintf(stderr, "usage: %s zlib|libdeflate FILE.rux OUTDIR\n", argv[0]);
        return 2;
    }
    const bool useLibdeflate = std::strcmp(argv[1], "libdeflate") == 0;
    const std::string outdir = argv[3];

    // The tables, through the library's own table reader.
    DiskFile file;
    if (!file.Open(argv[2], 0)) Fail("cannot open", argv[2]);
    std::uint8_t raw[FILE_HEADER_BYTES];
    FileHeader header;
    if (file.Read(raw, sizeof raw) != sizeof raw || !DecodeFileHeader(raw, &header)) {
        Fail("not a resource file:", argv[2]);
    }
    file.Seek(FILE_HEADER_BYTES + static_cast<std::int64_t>(header.skip), SEEK_FROM_BEGIN);
    PackedTableHeader recordsHeader, namesHeader, offsetsHeader;
    std::uint8_t* records = ReadPackedTable(file, &recordsHeader);
    std::uint8_t* names = ReadPackedTable(file, &namesHeader);
    std::uint8_t* offsetBytes = ReadPackedTable(file, &offsetsHeader);
    if (!records || !names || !offsetBytes) Fail("cannot read the tables of", argv[2]);
    std::vector<std::uint32_t> offsets(offsetsHeader.count);
    for (std::uint32_t i = 0; i < offsetsHeader.count; ++i) offsets[i] = LoadLE32(offsetBytes + 4 * i);

    const std::int64_t fileSize = file.Size();
    void* mapped = ::mmap(nullptr, static_cast<std::size_t>(fileSize), PROT_READ, MAP_PRIVATE,
                          static_cast<int>(file.handle), 0);
    if (mapped == MAP_FAILED) Fail("cannot map", argv[2]);
    const std::uint8_t* map = static_cast<const std::uint8_t*>(mapped);

    ::mkdir(outdir.c_str(), 0777);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::vector<std::uint8_t> buffer;
    for (std::uint32_t r = 0; r < recordsHeader.count; ++r) {
        DirectoryRecord record;
        DecodeDirectoryRecord(records + r * DIRECTORY_RECORD_BYTES, &record);
        std::string path = outdir + "/" + reinterpret_cast<const char*>(names + record.nameOffset);
        const int fd = CreateOutput(path);
        if (fd < 0) Fail("cannot create", path);
        if (record.kind == KIND_STORED) {
            WriteAll(fd, map + record.placement, record.size, path);
        } else if (record.kind == KIND_DEFLATED) {
            if (buffer.size() < record.blockLength) buffer.resize(record.blockLength);
            std::uint32_t block = record.placement;
            for (std::uint32_t at = 0; at < record.size; at += record.blockLength, ++block) {
                const std::uint32_t left = record.size - at;
                const std::uint32_t length = left < record.blockLength ? left : record.blockLength;
                const std::uint8_t* packed = map + offsets[block];
                const std::uint32_t packedLength = offsets[block + 1] - offsets[block];
                int ok;
                if (useLibdeflate) {
                    ok = libdeflate_zlib_decompress(decompressor, packed, packedLength, buffer.data(),
                                                    length, nullptr) == LIBDEFLATE_SUCCESS;
                } else {
                    uLongf produced = length;
                    ok = uncompress(buffer.data(), &produced, packed, packedLength) == Z_OK &&
                         produced == length;
                }
                if (!ok) Fail("cannot inflate a block of", path);
                WriteAll(fd, buffer.data(), length, path);
            }
        }
        ::close(fd);
    }
    return 0;
}
