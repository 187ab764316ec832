// A resource set's reads (loose files, data files, stored bytes), its
// public members over the inside, and the texts of its failure reasons.
#include "resource/set.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <zlib.h>

#include "resource/ascii.h"
#include "resource/cache.h"
#include "resource/index.h"
#include "resource/set_impl.h"

namespace rux {

namespace {

// The loose file's path: its mount path followed by the name. 0 if it does
// not fit LOOSE_PATH_BYTES.
int LoosePath(const ResourceSet::Impl& set, int slot, char (&path)[LOOSE_PATH_BYTES]) {
    const ResourceEntry& entry = set.entries[slot];
    const int length = std::snprintf(path, sizeof path, "%s%s", set.files[entry.fileSlot].path, entry.name);
    return length >= 0 && length < static_cast<int>(sizeof path);
}

// The slot's shared loose handle, opened by the first read that needs it;
// null with *status filled when it cannot be.
const LooseFile* SharedLoose(const ResourceSet::Impl& set, int slot, ReadStatus* status) {
    std::atomic<LooseFile*>& shared = const_cast<SlotState&>(set.state[slot]).loose;
    if (const LooseFile* open = shared.load(std::memory_order_acquire)) return open;
    char path[LOOSE_PATH_BYTES];
    if (!LoosePath(set, slot, path)) {
        status->error = ReadError::CANNOT_OPEN;
        status->systemError = 0;
        return nullptr;
    }
    LooseFile* made = new (std::nothrow) LooseFile;
    if (!made) {
        status->error = ReadError::OUT_OF_MEMORY;
        return nullptr;
    }
    if (!made->file.Open(path, 0)) {
        status->error = ReadError::CANNOT_OPEN;
        status->systemError = LastError();
        delete made;
        return nullptr;
    }
    made->size = made->file.Size();
    if (made->size < 0 || made->size > static_cast<std::int64_t>(UINT32_MAX)) {
        status->error = made->size < 0 ? ReadError::READ_FAILED : ReadError::TOO_LARGE;
        status->systemError = made->size < 0 ? LastError() : 0;
        made->file.Close();
        delete made;
        return nullptr;
    }
    // Two first reads at once: one handle wins, the other is closed.
    LooseFile* expected = nullptr;
    if (!shared.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        made->file.Close();
        delete made;
        return expected;
    }
    return made;
}

}  // namespace

int OpenData(ResourceFile& file, int* error) {
    int state = file.opened.load(std::memory_order_acquire);
    if (state == 0) {
        std::lock_guard<std::mutex> hold(file.openLock);
        state = file.opened.load(std::memory_order_relaxed);
        if (state == 0) {
            if (!file.file.Open(file.path, 0)) {
                // Tried again at the next read, unless OpenDataFiles settles it.
                file.openError = LastError();
                if (error) *error = file.openError;
                return 0;
            }
            file.fileSize = file.file.Size();
            state = 1;
            file.opened.store(state, std::memory_order_release);
        }
    }
    // A settled failure's reason was kept before it was published.
    if (state == 2 && error) *error = file.openError;
    return state == 1;
}

std::uint32_t ReadData(ResourceFile& file, std::uint64_t offset, void* buffer, std::uint32_t count,
                       ReadStatus* status) {
    if (!OpenData(file, &status->systemError)) {
        status->error = ReadError::CANNOT_OPEN;
        return 0;
    }
    const std::uint32_t got = file.file.ReadAt(buffer, count, static_cast<std::int64_t>(offset));
    if (got != count) {
        status->error = ReadError::READ_FAILED;
        status->systemError = LastError();
    }
    return got;
}

std::int64_t ReadStoredAt(const ResourceSet::Impl& set, int slot, std::uint32_t position, void* buffer,
                          std::uint32_t count, ReadStatus* status) {
    const ResourceEntry& entry = set.entries[slot];
    const std::uint64_t offset = static_cast<std::uint64_t>(entry.placement) + position;
    if (offset > UINT32_MAX) {
        status->error = ReadError::OFFSET_OVERFLOW;
        status->delivered = 0;
        return -1;
    }
    ResourceFile& file = const_cast<ResourceFile&>(set.files[entry.fileSlot]);
    const std::uint32_t got = ReadData(file, offset, buffer, count, status);
    if (got == count) return count;
    status->delivered = got;
    if (status->error != ReadError::READ_FAILED || status->systemError != 0) return -1;
    // The file ended first: how much of the data it still holds.
    std::int64_t size = file.file.Size();
    if (size < 0) size = static_cast<std::int64_t>(offset + got);
    if (CutShort(file, entry.placement, size)) {
        const std::uint64_t end = static_cast<std::uint64_t>(size);
        const std::uint64_t held = end > entry.placement ? end - entry.placement : 0;
        status->error = ReadError::CUT_SHORT;
        status->inFile = static_cast<std::uint32_t>(held < entry.size ? held : entry.size);
        status->length = entry.size;
    }
    return -1;
}

ResourceSet::ResourceSet() : impl_(new Impl) { impl_->Reset(); }

ResourceSet::~ResourceSet() {
    impl_->Release();
    delete impl_;
}

MountResult ResourceSet::Mount(const char* path) { return impl_->Mount(path); }

void ResourceSet::Release() { impl_->Release(); }

int ResourceSet::Lookup(const char* name) const { return impl_->Lookup(name); }

const ResourceEntry* ResourceSet::Slots() const { return impl_->entries; }

const char* ResourceSet::MountPath(int fileSlot) const {
    if (fileSlot < 0 || fileSlot >= MOUNT_SLOTS || !impl_->files[fileSlot].inUse) return nullptr;
    return impl_->files[fileSlot].path;
}

int ResourceSet::OpenDataFiles() const {
    int missing = 0;
    for (ResourceFile& file : impl_->files) {
        if (!file.inUse) continue;
        if (!OpenData(file, nullptr)) {
            ++missing;
            // Settled: reads fail at once rather than try the open again.
            file.opened.store(2, std::memory_order_release);
        }
    }
    return missing;
}

std::int64_t ResourceSet::DataSize(int slot, ReadStatus* status) const {
    ReadStatus ignored;
    ReadStatus& why = status ? *status : ignored;
    why = ReadStatus();
    if (slot < 0 || slot >= INDEX_SLOTS) {
        why.error = ReadError::NO_RESOURCE;
        return -1;
    }
    const ResourceEntry& entry = impl_->entries[slot];
    switch (entry.kind) {
    case KIND_STORED:
    case KIND_DEFLATED: return entry.size;
    case KIND_LOOSE: {
        const LooseFile* loose = SharedLoose(*impl_, slot, &why);
        return loose ? loose->size : -1;
    }
    default: why.error = ReadError::NO_RESOURCE; return -1;
    }
}

std::int64_t ResourceSet::ReadAt(int slot, std::uint64_t offset, void* buffer, std::uint32_t count,
                                 ReadStatus* status) const {
    ReadStatus ignored;
    ReadStatus& why = status ? *status : ignored;
    why = ReadStatus();
    const std::int64_t size = DataSize(slot, &why);
    if (size < 0) return -1;
    if (offset >= static_cast<std::uint64_t>(size)) return 0;
    if (count > static_cast<std::uint64_t>(size) - offset) count = static_cast<std::uint32_t>(size - offset);
    if (count == 0) return 0;
    const std::uint32_t from = static_cast<std::uint32_t>(offset);
    switch (impl_->entries[slot].kind) {
    case KIND_STORED: return ReadStoredAt(*impl_, slot, from, buffer, count, &why);
    case KIND_DEFLATED: return ReadDeflatedAt(*impl_, slot, from, buffer, count, &why, 1);
    default: {
        const LooseFile* loose = impl_->state[slot].loose.load(std::memory_order_acquire);
        DiskFile file = loose->file;
        const std::uint32_t got = file.ReadAt(buffer, count, static_cast<std::int64_t>(offset));
        if (got == count) return count;
        why.error = ReadError::READ_FAILED;
        why.systemError = LastError();
        why.delivered = got;
        return -1;
    }
    }
}

ResourceSet& DefaultResourceSet() {
    // Never destroyed: streams and reads may run until the process ends.
    static ResourceSet* set = new ResourceSet;
    return *set;
}

std::string Grouped(std::uint64_t n) {
    std::string digits = std::to_string(n), text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

std::string MountErrorText(const MountResult& result) {
    auto withSystem = [&](std::string text) {
        if (result.systemError != 0) text += ": " + ErrorText(result.systemError);
        return text;
    };
    auto cut = [&](const char* part) {
        return "cut short: the file ends at byte " + Grouped(result.fileEnd) + ", and its " + part +
               " needs bytes up to " + Grouped(result.needed);
    };
    auto table = [&](const char* which) {
        if (result.cutShort()) return cut((std::string(which) + " table").c_str());
        return withSystem(std::string("damaged ") + which + " table: " + TableErrorText(result.table));
    };
    switch (result.error) {
    case MountError::NONE: return "";
    case MountError::NO_FREE_SLOT: return "no free mount slot: 16 files are mounted";
    case MountError::PATH_TOO_LONG: return "path too long";
    case MountError::CANNOT_OPEN: return withSystem("cannot open");
    case MountError::NOT_RESOURCE_FILE: return "not a resource file";
    case MountError::DIRECTORY_TABLE: return table("directory");
    case MountError::NAMES_TABLE: return table("names");
    case MountError::BLOCK_TABLE: return table("block offset");
    case MountError::BAD_RECORD_SIZE: return "damaged directory table: its records are not 20 bytes";
    case MountError::BAD_OFFSET_SIZE: return "damaged block offset table: its offsets are not 4 bytes";
    case MountError::NAME_OUTSIDE_TABLE:
        return "damaged directory: record " + std::to_string(result.record) + " names a place outside the names table";
    case MountError::NAME_UNTERMINATED:
        return "damaged names table: the name of record " + std::to_string(result.record) + " does not end";
    case MountError::CUT_SHORT: return cut("header");
    }
    return "unknown error";
}

std::string ReadErrorText(const ResourceSet& set, int slot, const ReadStatus& status) {
    const ResourceSet::Impl& impl = ImplOf(set);
    const bool valid = slot >= 0 && slot < INDEX_SLOTS && impl.entries[slot].kind != 0;
    const bool loose = valid && impl.entries[slot].kind == KIND_LOOSE;
    std::string file;
    if (loose) {
        char path[LOOSE_PATH_BYTES];
        file = LoosePath(impl, slot, path) ? path : "(path too long)";
    } else if (valid) {
        file = impl.files[impl.entries[slot].fileSlot].path;
    }
    const std::string what = (loose ? "loose file " : "resource file ") + file;
    const std::string system = status.systemError ? ": " + ErrorText(status.systemError) : "";
    switch (status.error) {
    case ReadError::NONE: return "";
    case ReadError::NO_RESOURCE: return "no such resource";
    case ReadError::CANNOT_OPEN: return "cannot open " + what + system;
    case ReadError::READ_FAILED:
        if (status.systemError) return "cannot read " + what + system;
        return loose ? "cannot read " + what + ": it ended before its size when opened"
                     : "its data lies past the end of the resource file";
    case ReadError::DAMAGED_BLOCK:
        // Counted from 1 for people; status.block counts from 0.
        return "damaged block " + std::to_string(status.block + 1) + " of " + std::to_string(status.blocks);
    case ReadError::TOO_LARGE: return what + " is 4 GiB or larger; sizes are 32 bits";
    case ReadError::OFFSET_OVERFLOW: return "data placed beyond 4 GiB";
    case ReadError::OUT_OF_MEMORY: return "out of memory";
    case ReadError::CUT_SHORT: {
        // Blocks counted from 1, as for a damaged one.
        const std::string of = valid && impl.entries[slot].kind == KIND_DEFLATED
                                   ? "block " + std::to_string(status.block + 1)
                                   : "its data";
        return "cut short: " + Grouped(status.inFile) + " of " + Grouped(status.length) + " bytes of " + of +
               " are in the file";
    }
    }
    return "unknown error";
}

int ResourceReader::Open(const ResourceSet& set, const char* name, ReadStatus* status) {
    return OpenSlot(set, set.Lookup(name), status);
}

int ResourceReader::OpenSlot(const ResourceSet& set, int slot, ReadStatus* status) {
    Close();
    const std::int64_t size = set.DataSize(slot, status);
    if (size < 0) return 0;
    set_ = &set;
    slot_ = slot;
    size_ = size;
    position_ = 0;
    return 1;
}

std::int64_t ResourceReader::Read(void* buffer, std::uint32_t count, ReadStatus* status) {
    if (!set_) {
        if (status) *status = ReadStatus{ReadError::NO_RESOURCE};
        return -1;
    }
    const std::int64_t got = set_->ReadAt(slot_, position_, buffer, count, status);
    if (got > 0) position_ += static_cast<std::uint64_t>(got);
    return got;
}

std::int64_t ResourceReader::Seek(std::int64_t offset, int origin) {
    if (!set_) return -1;
    const std::int64_t base = origin == SEEK_FROM_CURRENT ? static_cast<std::int64_t>(position_) : 0;
    if (offset < -base || (offset > 0 && base > INT64_MAX - offset)) return -1;
    position_ = static_cast<std::uint64_t>(base + offset);
    return static_cast<std::int64_t>(position_);
}

void ResourceReader::Close() {
    set_ = nullptr;
    slot_ = -1;
    position_ = 0;
    size_ = 0;
}

}  // namespace rux
