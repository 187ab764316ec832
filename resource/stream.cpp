#include "resource/stream.h"

#include <cstdio>
#include <cstring>

#include "resource/blocks.h"
#include "resource/index.h"
#include "resource/set_impl.h"

namespace rux {

namespace {

ResourceSet::Impl& Default() { return ImplOf(DefaultResourceSet()); }

DiskFile StreamFile(const SlotState& state) {
    DiskFile file;
    file.handle = state.streamHandle;
    return file;
}

int OpenLoose(const ResourceEntry& entry, SlotState& state) {
    // One handle per slot: a second open while the file is open is refused
    // rather than losing the first handle.
    if (state.streamHandle != INVALID_FILE_HANDLE) return 0;
    char path[LOOSE_PATH_BYTES];
    const int length = std::snprintf(path, sizeof path, "%s%s", Default().files[entry.fileSlot].path, entry.name);
    if (length < 0 || length >= static_cast<int>(sizeof path)) return 0;
    DiskFile file;
    if (!file.Open(path, 0)) return 0;
    const std::int64_t size = file.Size();
    if (size < 0 || size > static_cast<std::int64_t>(UINT32_MAX)) {
        file.Close();
        return 0;
    }
    state.streamHandle = file.handle;
    return 1;
}

}  // namespace

int OpenSlot(int slot) {
    if (slot < 0 || slot >= INDEX_SLOTS) return 0;
    ResourceSet::Impl& set = Default();
    const ResourceEntry& entry = set.entries[slot];
    SlotState& state = set.state[slot];
    switch (entry.kind) {
    case KIND_LOOSE:
        return OpenLoose(entry, state);
    case KIND_STORED:
    case KIND_DEFLATED:
        if (state.open) return 0;
        state.position = 0;
        state.open = 1;
        return 1;
    default:
        return 0;
    }
}

std::uint32_t ReadStored(void* buffer, int slot, std::uint32_t position, std::uint32_t count) {
    const ResourceSet::Impl& set = Default();
    const ResourceEntry& entry = set.entries[slot];
    if (position >= entry.size) return 0;
    if (count > entry.size - position) count = entry.size - position;
    if (count == 0) return 0;
    ReadStatus status;
    const std::int64_t got = ReadStoredAt(set, slot, position, buffer, count, &status);
    return got >= 0 ? static_cast<std::uint32_t>(got) : status.delivered;
}

int ResourceStream::Open(const char* name) {
    slot_ = LookupResource(name);
    opened_ = OpenSlot(slot_);
    return opened_;
}

int ResourceStream::IsOpen() const {
    if (!opened_) return 0;
    const ResourceSet::Impl& set = Default();
    const SlotState& state = set.state[slot_];
    switch (set.entries[slot_].kind) {
    case KIND_LOOSE:
        return state.streamHandle != INVALID_FILE_HANDLE;
    case KIND_STORED:
    case KIND_DEFLATED:
        return state.open;
    default:
        return 0;
    }
}

std::uint32_t ResourceStream::Size() const {
    if (!IsOpen()) return 0;
    const ResourceSet::Impl& set = Default();
    const ResourceEntry& entry = set.entries[slot_];
    if (entry.kind == KIND_LOOSE) {
        // The open refused files of 4 GiB or more.
        return static_cast<std::uint32_t>(StreamFile(set.state[slot_]).Size());
    }
    return entry.size;
}

std::uint32_t ResourceStream::Read(void* buffer, std::uint32_t count) {
    if (!IsOpen()) return 0;
    ResourceSet::Impl& set = Default();
    const ResourceEntry& entry = set.entries[slot_];
    SlotState& state = set.state[slot_];
    std::uint32_t n = 0;
    switch (entry.kind) {
    case KIND_LOOSE: {
        DiskFile file = StreamFile(state);
        return file.Read(buffer, count);
    }
    case KIND_STORED:
        n = ReadStored(buffer, slot_, state.position, count);
        break;
    case KIND_DEFLATED:
        n = ReadDeflated(buffer, slot_, state.position, count);
        break;
    default:
        return 0;
    }
    state.position += n;
    return n;
}

void ResourceStream::Close() {
    if (!IsOpen()) {
        opened_ = 0;
        return;
    }
    opened_ = 0;
    SlotState& state = Default().state[slot_];
    if (Default().entries[slot_].kind == KIND_LOOSE) {
        DiskFile file = StreamFile(state);
        file.Close();
        state.streamHandle = INVALID_FILE_HANDLE;
    } else {
        state.open = 0;
    }
}

}  // namespace rux
