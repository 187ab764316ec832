#include "engine/listing.h"

#include <cinttypes>
#include <cstdio>

#include "resource/format.h"
#include "common/print.h"

namespace rux {

namespace {

const char RULE[] = "--------  ----------  ----------  -----  ------  ----\n";

// The space the packed bytes save, as unzip -v's "Cmpr" gives it: "59%",
// "-2%"; "-" when nothing is packed inside the file.
std::string Ratio(std::uint64_t size, std::uint64_t packed, bool any) {
    if (!any) return "-";
    if (size == 0) return "0%";
    const double saved = 100.0 * (static_cast<double>(size) - static_cast<double>(packed)) / static_cast<double>(size);
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%", saved);
    return text;
}

std::string Columns(const char* kind, std::uint64_t size, std::uint64_t packed, const std::string& ratio,
                    std::uint64_t blocks, const std::string& name) {
    char line[96];
    std::snprintf(line, sizeof line, "%-8s  %10" PRIu64 "  %10" PRIu64 "  %5s  %6" PRIu64 "  ", kind, size, packed,
                  ratio.c_str(), blocks);
    return line + name + "\n";
}

}  // namespace

const char* KindWord(std::uint32_t kind) {
    switch (kind) {
        case KIND_LOOSE: return "loose";
        case KIND_STORED: return "stored";
        case KIND_DEFLATED: return "deflated";
        default: return "unknown";
    }
}

std::uint32_t ListedBlocks(const ResourceEntry& entry) {
    if (entry.kind != KIND_DEFLATED || entry.blockLength == 0) return 0;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(entry.size) + entry.blockLength - 1) /
                                      entry.blockLength);
}

void AddToTotals(ListingTotals* totals, const ResourceEntry& entry, std::uint32_t size, bool failed) {
    ++totals->resources;
    if (failed) ++totals->failed;
    totals->size += size;
    totals->packed += entry.packedSize;
    if (entry.kind == KIND_STORED || entry.kind == KIND_DEFLATED) totals->packedOf += size;
    totals->blocks += ListedBlocks(entry);
}

std::string VerboseHeading() {
    return std::string("Kind            Size      Packed  Ratio  Blocks  Name\n") + RULE;
}

std::string VerboseLine(const ResourceEntry& entry, std::uint32_t size) {
    const bool packed = entry.kind == KIND_STORED || entry.kind == KIND_DEFLATED;
    return Columns(KindWord(entry.kind), size, entry.packedSize, Ratio(size, entry.packedSize, packed),
                   ListedBlocks(entry), EscapedName(entry.name));
}

std::string VerboseTotals(const ListingTotals& totals) {
    const std::string count = std::to_string(totals.resources) + (totals.resources == 1 ? " resource" : " resources");
    return RULE + Columns("", totals.size, totals.packed, Ratio(totals.packedOf, totals.packed, totals.packedOf != 0),
                          totals.blocks, count);
}

std::string JsonStart(const char* resourceFile) {
    return "{\n  \"file\": " + JsonName(resourceFile) + ",\n  \"resources\": [";
}

std::string JsonResource(int slot, const ResourceEntry& entry, std::uint32_t size, bool first, bool tested,
                         const std::string& reason, const std::string& refused) {
    char numbers[192];
    std::snprintf(numbers, sizeof numbers,
                  ", \"size\": %" PRIu32 ", \"packed_size\": %" PRIu64 ", \"block_length\": %" PRIu32
                  ", \"blocks\": %" PRIu32,
                  size, entry.packedSize, entry.kind == KIND_DEFLATED ? entry.blockLength : 0, ListedBlocks(entry));
    std::string text = first ? "\n    " : ",\n    ";
    text += "{\"slot\": " + std::to_string(slot) + ", \"kind\": \"" + KindWord(entry.kind) +
            "\", \"kind_number\": " + std::to_string(entry.kind) + ", \"name\": " + JsonName(entry.name) + numbers;
    if (tested) text += reason.empty() ? ", \"read\": true" : ", \"read\": false";
    if (!reason.empty()) text += ", \"reason\": " + JsonName(reason.c_str());
    if (!refused.empty()) text += ", \"refused\": " + JsonName(refused.c_str());
    return text + "}";
}

std::string JsonEnd(const ListingTotals& totals, bool tested) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s],\n  \"totals\": {\"resources\": %u, \"size\": %" PRIu64 ", \"packed_size\": %" PRIu64
                  ", \"blocks\": %" PRIu64 "%s%s, \"failed\": %u}\n}\n",
                  totals.resources ? "\n  " : "", totals.resources, totals.size, totals.packed, totals.blocks,
                  tested ? ", \"read\": " : "", tested ? std::to_string(totals.resources - totals.failed).c_str() : "",
                  totals.failed);
    return text;
}

}  // namespace rux
