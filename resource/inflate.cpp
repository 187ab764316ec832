#include "resource/inflate.h"

#include <zlib.h>

#if RUX_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace rux {

#if RUX_WITH_LIBDEFLATE

namespace {
// One decompressor per thread: it holds only tables rebuilt per call, but
// those may not be shared between threads.
// Freed at the thread's end as well, so a pool's workers, which never call
// InflateFree, leave nothing behind. The pointer itself has no destructor:
// a later one of the same thread (the block cache's) may still call
// InflateFree and must find it null.
thread_local libdeflate_decompressor* gDecompressor = nullptr;
struct DecompressorRelease {
    ~DecompressorRelease() { InflateFree(); }
};
thread_local DecompressorRelease gDecompressorRelease;
}  // namespace

void InflateFree() {
    if (gDecompressor) libdeflate_free_decompressor(gDecompressor);
    gDecompressor = nullptr;
}

// libdeflate decodes a whole buffer in one call, checks the zlib header and
// the Adler-32 trailer, refuses preset dictionaries, and with no length
// returned reports both a short and an overlong result as failures.
int InflateExact(const std::uint8_t* in, std::uint32_t inLength,
                 std::uint8_t* out, std::uint32_t outLength) {
    if (!gDecompressor) {
        gDecompressor = libdeflate_alloc_decompressor();
        (void)&gDecompressorRelease;  // arms its destructor for this thread
    }
    libdeflate_decompressor* decompressor = gDecompressor;
    if (!decompressor) return 0;
    std::uint8_t empty = 0;
    std::uint8_t* destination = outLength ? out : &empty;
    return libdeflate_zlib_decompress(decompressor, in, inLength, destination, outLength,
                                      nullptr) == LIBDEFLATE_SUCCESS;
}

const char* InflateBackEnd() { return "libdeflate"; }

#else

namespace {
// One inflate state per thread, reset per stream: uncompress would allocate
// and free it for every block. With the whole output offered and Z_FINISH,
// inflate needs no window either.
// Ended at the thread's end as well, as above.
thread_local z_stream gStream;
thread_local int gStreamReady = 0;
struct StreamRelease {
    ~StreamRelease() { InflateFree(); }
};
thread_local StreamRelease gStreamRelease;
}  // namespace

void InflateFree() {
    if (gStreamReady) inflateEnd(&gStream);
    gStreamReady = 0;
}

// A stream that asks for a preset dictionary stops with Z_NEED_DICT and
// fails.
int InflateExact(const std::uint8_t* in, std::uint32_t inLength,
                 std::uint8_t* out, std::uint32_t outLength) {
    z_stream& stream = gStream;
    if (!gStreamReady) {
        stream = z_stream();
        gStreamReady = inflateInit(&stream) == Z_OK;
        (void)&gStreamRelease;  // arms its destructor for this thread
    }
    if (!gStreamReady || inflateReset(&stream) != Z_OK) return 0;
    // zlib needs a non-null destination even for an empty result.
    Bytef empty = 0;
    stream.next_in = const_cast<Bytef*>(in);
    stream.avail_in = inLength;
    stream.next_out = outLength ? out : &empty;
    stream.avail_out = outLength;
    const int result = inflate(&stream, Z_FINISH);
    return result == Z_STREAM_END && stream.total_out == outLength;
}

const char* InflateBackEnd() { return "zlib"; }

#endif

std::uint64_t MaxInflatedLength(std::uint32_t packedLength) {
    return 1032ull * packedLength + 1024;
}

}  // namespace rux
