// Inflating one complete zlib stream (RFC 1950) into a buffer of known size.
#ifndef RUX_RESOURCE_INFLATE_H
#define RUX_RESOURCE_INFLATE_H

#include <cstdint>

namespace rux {

// Inflates the zlib stream in[0..inLength) into out, which has room for
// exactly outLength bytes. 1 only if the stream is well-formed, asks for no
// preset dictionary, its Adler-32 trailer matches, and it inflates to
// exactly outLength bytes; else 0, and out's contents are undefined.
//
// Two back ends keep this contract: libdeflate (built with RUX_LIBDEFLATE,
// the default off Windows) and zlib's uncompress. Bytes after the end of the
// stream are ignored by both. Each thread has its own inflater state, so
// this may run concurrently with any call.
int InflateExact(const std::uint8_t* in, std::uint32_t inLength,
                 std::uint8_t* out, std::uint32_t outLength);

// Frees the calling thread's inflater state (the next InflateExact makes a
// new one). CacheFree calls it. May run concurrently with any call.
void InflateFree();

// The back end InflateExact uses: "libdeflate" or "zlib". May run
// concurrently with any call.
const char* InflateBackEnd();

// The most that packedLength bytes of zlib data can inflate to; deflate
// expands at most a little over 1032:1. Used to refuse claimed lengths
// before anything is allocated for them. May run concurrently with any call.
std::uint64_t MaxInflatedLength(std::uint32_t packedLength);

}  // namespace rux

#endif
