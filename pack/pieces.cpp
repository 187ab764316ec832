#include "pack/pieces.h"

#include <cstring>

#include "resource/inflate.h"

namespace rux {

void Work(Piece* piece, std::uint32_t blockLength, int level) {
    const std::uint64_t count = piece->rawSize;
    if (piece->oldEnds.empty()) {
        piece->ok = DeflateBlocks(piece->raw.get(), count, blockLength, level, &piece->packed, &piece->ends) != 0;
        piece->deflated = piece->ends.size();
        return;
    }
    thread_local std::string inflated, one;
    thread_local std::vector<std::uint32_t> oneEnds;
    piece->packed.clear();
    piece->ends.clear();
    const std::uint64_t firstBlock = piece->at / blockLength;
    for (std::uint64_t at = 0, k = 0; at < count; at += blockLength, ++k) {
        const std::uint64_t left = count - at;
        const std::uint64_t length = left < blockLength ? left : blockLength;
        const char* bytes = piece->raw.get() + at;
        const std::uint64_t oldBlock = firstBlock + k;  // its number in the resource
        bool reused = false;
        if (oldBlock >= piece->oldFirst && oldBlock - piece->oldFirst < piece->oldEnds.size()) {
            const std::size_t j = static_cast<std::size_t>(oldBlock - piece->oldFirst);
            const std::uint64_t oldStart = oldBlock * blockLength;
            const std::uint64_t oldLeft = piece->oldSize - oldStart;
            const std::uint64_t oldLength = oldLeft < blockLength ? oldLeft : blockLength;
            const std::uint32_t from = j == 0 ? 0 : piece->oldEnds[j - 1];
            if (oldLength == length) {
                inflated.resize(static_cast<std::size_t>(length) + 1);
                reused = InflateExact(reinterpret_cast<const std::uint8_t*>(piece->old.data()) + from,
                                      piece->oldEnds[j] - from, reinterpret_cast<std::uint8_t*>(&inflated[0]),
                                      static_cast<std::uint32_t>(length)) &&
                         std::memcmp(inflated.data(), bytes, static_cast<std::size_t>(length)) == 0;
            }
            if (reused) piece->packed.append(piece->old, from, piece->oldEnds[j] - from);
        }
        if (!reused) {
            if (!DeflateBlocks(bytes, length, blockLength, level, &one, &oneEnds)) return;
            piece->packed.append(one);
        }
        ++(reused ? piece->reused : piece->deflated);
        piece->ends.push_back(static_cast<std::uint32_t>(piece->packed.size()));
    }
    piece->ok = true;
}

}  // namespace rux
