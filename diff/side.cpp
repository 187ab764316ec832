#include "diff/side.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "resource/ascii.h"
#include "resource/format.h"

namespace fs = std::filesystem;

namespace rux {
namespace {

bool EndsWithRux(const std::string& text, std::size_t end) {
    if (end < 4) return false;
    return FoldedAscii(text.substr(end - 4, 4)) == ".rux";
}

// Reads the block offset table of the file at path again, for the packed
// bytes of its blocks; leaves raw empty if anything is amiss.
void LoadRaw(const char* path, RawFile* raw) {
    if (!raw->file.Open(path, 0)) return;
    std::uint8_t headerBytes[FILE_HEADER_BYTES];
    FileHeader header;
    if (raw->file.Read(headerBytes, FILE_HEADER_BYTES) != FILE_HEADER_BYTES ||
        !DecodeFileHeader(headerBytes, &header) ||
        raw->file.Seek(std::int64_t(FILE_HEADER_BYTES) + header.skip, SEEK_FROM_BEGIN) < 0) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        PackedTableHeader table;
        std::unique_ptr<std::uint8_t[]> bytes(ReadPackedTable(raw->file, &table));
        if (!bytes) return;
        if (i < 2) continue;
        if (table.elementSize != BLOCK_OFFSET_BYTES) return;
        raw->offsets.resize(table.count);
        for (std::uint32_t k = 0; k < table.count; ++k) raw->offsets[k] = LoadLE32(bytes.get() + 4 * k);
    }
    raw->size = raw->file.Size();
}

void SortMembers(std::vector<Member>* members) {
    std::sort(members->begin(), members->end(), [](const Member& a, const Member& b) {
        return a.key != b.key ? a.key < b.key : a.listed.name < b.listed.name;
    });
}

int LoadFiles(const DiffSide& side, LoadedSide* loaded, std::string* error) {
    if (side.files.size() > std::size_t(MOUNT_SLOTS)) {
        *error = "a union holds at most " + std::to_string(MOUNT_SLOTS) + " resource files";
        return 0;
    }
    std::vector<int> order(MOUNT_SLOTS, -1);  // mount slot -> place in the union
    for (std::size_t i = 0; i < side.files.size(); ++i) {
        const MountResult mounted = loaded->set.Mount(side.files[i].c_str());
        if (!mounted.ok()) {
            *error = side.files[i] + ": " + MountErrorText(mounted);
            return 0;
        }
        if (mounted.replaced > 0) {
            *error = side.files[i] + ": the union lists more resources than one index holds (" +
                     std::to_string(INDEX_SLOTS) + ")";
            return 0;
        }
        order[mounted.fileSlot] = static_cast<int>(i);
        LoadRaw(side.files[i].c_str(), &loaded->raw[mounted.fileSlot]);
    }
    // The first file given wins an identity; its own spellings all stay.
    std::map<std::string, int> winner;
    const ResourceEntry* slots = loaded->set.Slots();
    for (int s = 0; s < INDEX_SLOTS; ++s) {
        if (slots[s].kind == 0 || !slots[s].name) continue;
        const int place = order[slots[s].fileSlot];
        auto found = winner.emplace(FoldedPath(slots[s].name), place).first;
        found->second = std::min(found->second, place);
    }
    for (int s = 0; s < INDEX_SLOTS; ++s) {
        const ResourceEntry& e = slots[s];
        if (e.kind == 0 || !e.name) continue;
        ++loaded->records;
        Member m;
        m.key = FoldedPath(e.name);
        m.listed.file = order[e.fileSlot];
        if (winner[m.key] != m.listed.file) continue;
        m.slot = s;
        m.listed.present = m.listed.resource = true;
        m.listed.name = e.name;
        m.listed.kind = e.kind;
        m.listed.size = e.size;
        m.listed.packedSize = e.packedSize;
        m.listed.blockLength = e.blockLength;
        if (e.kind == KIND_DEFLATED && e.blockLength > 0) {
            m.listed.blocks = static_cast<std::uint32_t>((std::uint64_t(e.size) + e.blockLength - 1) / e.blockLength);
        }
        loaded->members.push_back(std::move(m));
    }
    loaded->resources = true;
    return 1;
}

}  // namespace

LoadedSide::~LoadedSide() {
    for (RawFile& r : raw) r.file.Close();
}

std::vector<std::string> SplitUnion(const std::string& argument) {
    std::error_code ec;
    if (fs::exists(fs::path(argument), ec)) return {argument};
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i < argument.size(); ++i) {
        if (argument[i] == '+' && i > start && EndsWithRux(argument, i)) {
            pieces.push_back(argument.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.push_back(argument.substr(start));
    return pieces;
}

int SideOf(const std::string& argument, DiffSide* side, std::string* error) {
    *side = DiffSide();
    std::error_code ec;
    const std::vector<std::string> paths = SplitUnion(argument);
    if (paths.size() == 1 && fs::is_directory(fs::path(argument), ec)) {
        side->dir = argument;
        return 1;
    }
    for (const std::string& path : paths) {
        if (path.empty()) {
            *error = "'" + argument + "': a union needs a resource file on each side of '+'";
            return 0;
        }
        if (fs::is_directory(fs::path(path), ec)) {
            *error = "a union holds resource files only, not '" + path + "'";
            return 0;
        }
    }
    side->files = paths;
    return 1;
}

int LoadSide(const DiffSide& side, LoadedSide* loaded, std::vector<PackWarning>* warnings,
             std::string* error) {
    if (!side.files.empty()) {
        if (!LoadFiles(side, loaded, error)) return 0;
    } else {
        std::vector<PackEntry> walked;
        const std::vector<PackEntry>* entries = side.entries;
        if (!entries) {
            std::error_code ec;
            if (!fs::is_directory(fs::path(side.dir), ec)) {
                *error = side.dir + ": not a directory";
                return 0;
            }
            PackOptions options;
            options.dir = side.dir;
            if (!WalkPackTree(options, &walked, warnings, error)) return 0;
            entries = &walked;
        }
        for (const PackEntry& entry : *entries) {
            Member m;
            m.key = FoldedPath(entry.name.c_str());
            m.listed.present = true;
            m.listed.name = entry.name;
            m.listed.size = entry.size;
            m.path = entry.path;
            loaded->members.push_back(std::move(m));
        }
    }
    SortMembers(&loaded->members);
    return 1;
}

std::int64_t ReadMember(const LoadedSide& side, const Member& m, DiskFile* file, std::uint64_t offset,
                        void* buffer, std::uint32_t count, std::string* reason) {
    if (m.listed.resource) {
        ReadStatus status;
        const std::int64_t got = side.set.ReadAt(m.slot, offset, buffer, count, &status);
        if (got < 0) *reason = ReadErrorText(side.set, m.slot, status);
        return got;
    }
    std::uint32_t done = 0;
    KeepError(0);
    while (done < count) {
        const std::uint32_t got = file->ReadAt(static_cast<char*>(buffer) + done, count - done,
                                               static_cast<std::int64_t>(offset + done));
        if (got == 0) break;
        done += got;
    }
    if (done < count && LastError() != 0) {
        *reason = "cannot read " + m.path + ": " + ErrorText(LastError());
        return -1;
    }
    return done;
}

}  // namespace rux
