// The machine's bound for extracting a resource file: a trusting extractor
// that does nothing but the unavoidable work. It maps the whole file once,
// inflates each block into one reused buffer, and writes each block (or a
// stored resource in full) with one write call, in directory order. It
// checks nothing beyond what it needs not to crash on the benchmark's own
// files.
//
// With THREADS (0: one per core) it is the multi-threaded bound: thread t
// of N extracts resources t, t + N, t + 2N, ... in directory order.
//
//   rux-bound zlib|libdeflate FILE.rux OUTDIR [THREADS]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <libdeflate.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
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

// What every thread reads.
struct Tables {
    bool useLibdeflate = false;
    std::string outdir;
    const std::uint8_t* records = nullptr;
    std::uint32_t recordCount = 0;
    const std::uint8_t* names = nullptr;
    std::vector<std::uint32_t> offsets;
    const std::uint8_t* map = nullptr;
};

// Extracts records first, first + step, ... with one reused buffer.
void ExtractEvery(const Tables& t, std::uint32_t first, std::uint32_t step) {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::vector<std::uint8_t> buffer;
    for (std::uint32_t r = first; r < t.recordCount; r += step) {
        DirectoryRecord record;
        DecodeDirectoryRecord(t.records + r * DIRECTORY_RECORD_BYTES, &record);
        std::string path = t.outdir + "/" + reinterpret_cast<const char*>(t.names + record.nameOffset);
        const int fd = CreateOutput(path);
        if (fd < 0) Fail("cannot create", path);
        if (record.kind == KIND_STORED) {
            WriteAll(fd, t.map + record.placement, record.size, path);
        } else if (record.kind == KIND_DEFLATED) {
            if (buffer.size() < record.blockLength) buffer.resize(record.blockLength);
            std::uint32_t block = record.placement;
            for (std::uint32_t at = 0; at < record.size; at += record.blockLength, ++block) {
                const std::uint32_t left = record.size - at;
                const std::uint32_t length = left < record.blockLength ? left : record.blockLength;
                const std::uint8_t* packed = t.map + t.offsets[block];
                const std::uint32_t packedLength = t.offsets[block + 1] - t.offsets[block];
                int ok;
                if (t.useLibdeflate) {
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
    libdeflate_free_decompressor(decompressor);
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc != 4 && argc != 5) ||
        (std::strcmp(argv[1], "zlib") != 0 && std::strcmp(argv[1], "libdeflate") != 0)) {
        std::fprintf(stderr, "usage: %s zlib|libdeflate FILE.rux OUTDIR [THREADS]\n", argv[0]);
        return 2;
    }
    Tables t;
    t.useLibdeflate = std::strcmp(argv[1], "libdeflate") == 0;
    t.outdir = argv[3];
    int threads = 1;
    if (argc == 5) {
        threads = std::atoi(argv[4]);
        if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
        if (threads <= 0) threads = 1;
    }

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
    t.offsets.resize(offsetsHeader.count);
    for (std::uint32_t i = 0; i < offsetsHeader.count; ++i) t.offsets[i] = LoadLE32(offsetBytes + 4 * i);
    t.records = records;
    t.recordCount = recordsHeader.count;
    t.names = names;

    const std::int64_t fileSize = file.Size();
    void* mapped = ::mmap(nullptr, static_cast<std::size_t>(fileSize), PROT_READ, MAP_PRIVATE,
                          static_cast<int>(file.handle), 0);
    if (mapped == MAP_FAILED) Fail("cannot map", argv[2]);
    t.map = static_cast<const std::uint8_t*>(mapped);

    ::mkdir(t.outdir.c_str(), 0777);
    if (threads == 1) {
        ExtractEvery(t, 0, 1);
        return 0;
    }
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back(ExtractEvery, std::cref(t), static_cast<std::uint32_t>(i),
                             static_cast<std::uint32_t>(threads));
    }
    for (std::thread& w : workers) w.join();
    return 0;
}
