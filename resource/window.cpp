#include "resource/window.h"

#include "resource/blocks.h"
#include "resource/set_impl.h"

namespace rux {

namespace {

// The bytes lent to the calling thread; file null for none.
struct Window {
    const ResourceFile* file = nullptr;
    std::uint64_t start = 0;
    std::uint32_t length = 0;
    const std::uint8_t* bytes = nullptr;
};

thread_local Window gWindow;

}  // namespace

int PackedExtent(const ResourceSet& set, int slot, int* fileSlot, std::uint64_t* start, std::uint64_t* end) {
    if (slot < 0 || slot >= INDEX_SLOTS) return 0;
    const ResourceSet::Impl& impl = ImplOf(set);
    const ResourceEntry& entry = impl.entries[slot];
    if (entry.fileSlot < 0 || entry.fileSlot >= MOUNT_SLOTS) return 0;
    const ResourceFile& file = impl.files[entry.fileSlot];
    *fileSlot = entry.fileSlot;
    if (entry.kind == KIND_STORED) {
        *start = entry.placement;
        *end = *start + entry.size;
        return 1;
    }
    if (entry.kind != KIND_DEFLATED) return 0;
    const std::uint64_t first = entry.placement;
    const std::uint64_t last = first + BlockCount(entry);
    if (last == first || last >= file.blockOffsetCount) return 0;
    *start = file.blockOffsets[first];
    *end = file.blockOffsets[last];
    return *end >= *start;
}

std::uint32_t ReadFileBytes(const ResourceSet& set, int fileSlot, std::uint64_t offset, void* buffer,
                            std::uint32_t count) {
    if (fileSlot < 0 || fileSlot >= MOUNT_SLOTS) return 0;
    ResourceFile& file = ImplOf(set).files[fileSlot];
    if (!file.inUse || !OpenData(file, nullptr)) return 0;
    return file.file.ReadAt(buffer, count, static_cast<std::int64_t>(offset));
}

void UseWindow(const ResourceSet& set, int fileSlot, std::uint64_t start, const std::uint8_t* bytes,
               std::uint32_t length) {
    if (fileSlot < 0 || fileSlot >= MOUNT_SLOTS || !bytes) {
        WindowOff();
        return;
    }
    gWindow.file = &ImplOf(set).files[fileSlot];
    gWindow.start = start;
    gWindow.length = length;
    gWindow.bytes = bytes;
}

void WindowOff() { gWindow = Window(); }

const std::uint8_t* WindowBytes(const ResourceFile& file, std::uint64_t offset, std::uint32_t count) {
    const Window& w = gWindow;
    if (w.file != &file || offset < w.start || offset - w.start > w.length) return nullptr;
    if (count > w.length - (offset - w.start)) return nullptr;
    return w.bytes + (offset - w.start);
}

}  // namespace rux
