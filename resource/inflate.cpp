#include "resource/inflate.h"

#include <zlib.h>

int InflateExact(const std::uint8_t* in, std::uint32_t inLength,
                 std::uint8_t* out, std::uint32_t outLength) {
    uLongf produced = outLength;
    // zlib needs a non-null destination even for an empty result.
    Bytef empty = 0;
    Bytef* destination = outLength ? out : &empty;
    int result = uncompress(destination, &produced, in, inLength);
    return result == Z_OK && produced == outLength;
}

std::uint64_t MaxInflatedLength(std::uint32_t packedLength) {
    return 1032ull * packedLength + 1024;
}
