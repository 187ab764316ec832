#include "resource/stream.h"

#include <cstdio>
#include <cstring>

#include "resource/blocks.h"
#include "resource/index.h"

namespace rux {

namespace {

DiskFile LooseFile(const ResourceEntry& entry) {
    DiskFile file;
    file.handle = entry.placement;
    return file;
}

int OpenLoose(ResourceEntry& entry) {
    // One handle per slot: a second open while the file is open is refused
    // rather than losing the first handle.
    if (entry.placement != INVALID_FILE_HANDLE) return 0;
    const ResourceFile& mount = MountSlots()[entry.fileSlot];
    char path[LOOSE_PATH_BYTES];
    const int length = std::snprintf(path, sizeof path, "%s%s", mount.path, entry.name);
    if (length < 0 || length >= static_cast<int>(sizeof path)) return 0;
    DiskFile file;
    if (!file.Open(path, 0)) return 0;
    const std::int64_t size = file.Size();
    if (size < 0 || size > static_cast<std::int64_t>(UINT32_MAX)) {
        file.Close();
        return 0;
    }
    entry.placement = file.handle;
    return 1;
}

}  // namespace

int OpenSlot(int slot) {
    if (slot < 0 || slot >= INDEX_SLOTS) return 0;
    ResourceEntry& entry = IndexSlots()[slot];
    switch (entry.kind) {
    case KIND_LOOSE:
        return OpenLoose(entry);
    case KIND_STORED:
    case KIND_DEFLATED:
        if (entry.open) return 0;
        entry.position = 0;
        entry.open = 1;
        return 1;
    default:
        return 0;
    }
}

std::uint32_t ReadStored(void* buffer, int slot, std::uint32_t position, std::uint32_t count) {
    const ResourceEntry& entry = IndexSlots()[slot];
    ResourceFile& mount = MountSlots()[entry.fileSlot];
    if (position >= entry.size) return 0;
    if (count > entry.size - position) count = entry.size - position;
    if (count == 0) return 0;
    const std::uint64_t offset = static_cast<std::uint64_t>(entry.placement) + position;
    if (offset > UINT32_MAX) return 0;
    return ReadDataFile(mount, offset, buffer, count);
}

int ResourceStream::Open(const char* name) {
    slot_ = LookupResource(name);
    return OpenSlot(slot_);
}

int ResourceStream::IsOpen() const {
    if (slot_ < 0) return 0;
    const ResourceEntry& entry = IndexSlots()[slot_];
    switch (entry.kind) {
    case KIND_LOOSE:
        return entry.placement != INVALID_FILE_HANDLE;
    case KIND_STORED:
    case KIND_DEFLATED:
        return entry.open;
    default:
        return 0;
    }
}

std::uint32_t ResourceStream::Size() const {
    if (!IsOpen()) return 0;
    const ResourceEntry& entry = IndexSlots()[slot_];
    if (entry.kind == KIND_LOOSE) {
        // The open refused files of 4 GiB or more.
        return static_cast<std::uint32_t>(LooseFile(entry).Size());
    }
    return entry.size;
}

std::uint32_t ResourceStream::Read(void* buffer, std::uint32_t count) {
    if (!IsOpen()) return 0;
    ResourceEntry& entry = IndexSlots()[slot_];
    std::uint32_t n = 0;
    switch (entry.kind) {
    case KIND_LOOSE: {
        DiskFile file = LooseFile(entry);
        return file.Read(buffer, count);
    }
    case KIND_STORED:
        n = ReadStored(buffer, slot_, entry.position, count);
        break;
    case KIND_DEFLATED:
        n = ReadDeflated(buffer, slot_, entry.position, count);
        break;
    default:
        return 0;
    }
    entry.position += n;
    return n;
}

void ResourceStream::Close() {
    if (!IsOpen()) return;
    ResourceEntry& entry = IndexSlots()[slot_];
    if (entry.kind == KIND_LOOSE) {
        DiskFile file = LooseFile(entry);
        file.Close();
        entry.placement = INVALID_FILE_HANDLE;
    } else {
        entry.open = 0;
    }
}

}  // namespace rux
