// Deflating for the writer: one compressor per thread, the back end this
// build has (libdeflate or zlib), and a resource's data cut into blocks.
#include "pack/writer.h"

#include <zlib.h>

#if RUX_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <cstring>

namespace rux {

namespace {

#if RUX_WITH_LIBDEFLATE

// One compressor per thread and level: libdeflate compresses a whole
// buffer in one call, and its compressor holds the tables of one level.
struct Deflater {
    libdeflate_compressor* compressor = nullptr;
    int level = -1;
    ~Deflater() {
        if (compressor) libdeflate_free_compressor(compressor);
    }
};
thread_local Deflater gDeflater;

void DeflateInto(const char* bytes, std::uint64_t count, int level, std::string* out) {
    Deflater& d = gDeflater;
    if (d.level != level) {
        if (d.compressor) libdeflate_free_compressor(d.compressor);
        d.compressor = libdeflate_alloc_compressor(level);
        d.level = d.compressor ? level : -1;
    }
    if (!d.compressor) {  // no memory for the state, or a level out of range
        out->clear();
        return;
    }
    const std::size_t size = static_cast<std::size_t>(count);
    out->resize(libdeflate_zlib_compress_bound(d.compressor, size));
    const std::size_t written =
        libdeflate_zlib_compress(d.compressor, bytes, size, &(*out)[0], out->size());
    out->resize(written);  // 0 only if the bound did not hold
}

#else

// One deflate state per thread, reset for each stream: compress2 would
// allocate, clear and free its quarter mebibyte for every block, which
// costs more than deflating a small block. The streams are the ones
// compress2 makes (deflateInit at the level).
struct Deflater {
    z_stream stream{};
    int level = -1;  // the level stream was made for; -1: none
    ~Deflater() {
        if (level >= 0) deflateEnd(&stream);
    }
};
thread_local Deflater gDeflater;

void DeflateInto(const char* bytes, std::uint64_t count, int level, std::string* out) {
    Deflater& d = gDeflater;
    if (d.level == level && deflateReset(&d.stream) != Z_OK) {
        deflateEnd(&d.stream);
        d.level = -1;
    }
    if (d.level != level) {
        if (d.level >= 0) deflateEnd(&d.stream);
        d.stream = z_stream();
        d.level = level >= 0 && level <= 9 && deflateInit(&d.stream, level) == Z_OK ? level : -1;
    }
    if (d.level < 0) {  // no memory for the state (compress2 would fail alike)
        out->clear();
        return;
    }
    // Room for the whole stream, so that one call finishes it.
    out->resize(deflateBound(&d.stream, static_cast<uLong>(count)));
    d.stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
    d.stream.avail_in = static_cast<uInt>(count);
    d.stream.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
    d.stream.avail_out = static_cast<uInt>(out->size());
    const int result = deflate(&d.stream, Z_FINISH);
    out->resize(result == Z_STREAM_END ? d.stream.total_out : 0);
}

#endif
}  // namespace

const char* DeflateBackEnd() {
#if RUX_WITH_LIBDEFLATE
    return "libdeflate";
#else
    return "zlib";
#endif
}

int MaxPackLevel() {
#if RUX_WITH_LIBDEFLATE
    return 12;
#else
    return 9;
#endif
}

std::string DeflateZlib(const std::string& bytes, int level) {
    std::string out;
    DeflateInto(bytes.data(), bytes.size(), level, &out);
    return out;
}
int DeflateBlocks(const char* bytes, std::uint64_t count, std::uint32_t blockLength, int level,
                  std::string* packed, std::vector<std::uint32_t>* ends) {
    packed->clear();
    ends->clear();
    std::string block;
    const char* last = nullptr;  // the block just deflated, for runs of equal ones
    std::uint64_t lastCount = 0;
    std::size_t lastFrom = 0;
    for (std::uint64_t at = 0; at < count; at += blockLength) {
        const std::uint64_t left = count - at;
        const std::uint64_t length = left < blockLength ? left : blockLength;
        const char* piece = bytes + at;
        const std::size_t from = packed->size();
        // Runs of equal blocks (zeros, padding) are deflated once.
        if (last && lastCount == length && std::memcmp(last, piece, static_cast<std::size_t>(length)) == 0) {
            const std::size_t size = from - lastFrom;
            packed->resize(from + size);
            std::memcpy(&(*packed)[from], packed->data() + lastFrom, size);
        } else {
            DeflateInto(piece, length, level, &block);
            if (block.empty()) return 0;  // no zlib stream is empty
            packed->append(block);
        }
        last = piece;
        lastCount = length;
        lastFrom = from;
        ends->push_back(static_cast<std::uint32_t>(packed->size()));
    }
    return 1;
}

}  // namespace rux
