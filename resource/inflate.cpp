#include "resource/inflate.h"

#include <zlib.h>

#if RUX_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

#if RUX_WITH_LIBDEFLATE

// libdeflate decodes a whole buffer in one call, checks the zlib header and
// the Adler-32 trailer, refuses preset dictionaries, and with no length
// returned reports both a short and an overlong result as failures.
int InflateExact(const std::uint8_t* in, std::uint32_t inLength,
                 std::uint8_t* out, std::uint32_t outLength) {
    // One decompressor for the process: it holds only tables rebuilt per
    // call, and the library is single-threaded.
    static libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (!decompressor) return 0;
    std::uint8_t empty = 0;
    std::uint8_t* destination = outLength ? out : &empty;
    return libdeflate_zlib_decompress(decompressor, in, inLength, destination, outLength,
                                      nullptr) == LIBDEFLATE_SUCCESS;
}

const char* InflateBackEnd() { return "libdeflate"; }

#else

int InflateExact(const std::uint8_t* in, std::uint32_t inLength,
                 std::uint8_t* out, std::uint32_t outLength) {
    uLongf produced = outLength;
    // zlib needs a non-null destination even for an empty result.
    Bytef empty = 0;
    Bytef* destination = outLength ? out : &empty;
    int result = uncompress(destination, &produced, in, inLength);
    return result == Z_OK && produced == outLength;
}

const char* InflateBackEnd() { return "zlib"; }

#endif

std::uint64_t MaxInflatedLength(std::uint32_t packedLength) {
    return 1032ull * packedLength + 1024;
}
