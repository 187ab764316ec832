// A resource set's index side: mounting a file's tables into the slots,
// the slots' lifetime, and lookups by name.
#include "resource/set.h"

#include <cstring>
#include <new>

#include "resource/ascii.h"
#include "resource/cache.h"
#include "resource/index.h"
#include "resource/set_impl.h"

namespace rux {

namespace {

// Stamps are handed out once in the process, across every set.
std::atomic<std::uint64_t> gStamps{0};

int NamesEqualIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = FoldAscii(static_cast<unsigned char>(*a));
        unsigned char y = FoldAscii(static_cast<unsigned char>(*b));
        if (x != y) return 0;
        if (x == 0) return 1;
    }
}

// A mounted file keeps its tables as read, in arrays made as bytes: they
// go back as bytes, the type they were made with.
void FreeTables(ResourceFile& file) {
    delete[] reinterpret_cast<std::uint8_t*>(file.blockOffsets);
    delete[] reinterpret_cast<std::uint8_t*>(file.names);
}

// Everything Mount reads before it touches the tables; freed as a whole
// if any part fails.
struct Directory {
    std::uint8_t* records = nullptr;
    std::uint32_t recordCount = 0;
    std::uint8_t* names = nullptr;
    std::uint32_t namesLength = 0;
    std::uint8_t* blockOffsets = nullptr;
    std::uint32_t blockOffsetCount = 0;

    void Free() {
        delete[] records;
        delete[] names;
        delete[] blockOffsets;
        *this = Directory();
    }
};

// Reads one packed table from file's current position. On failure, a
// table the file ends before (its header, or its packed bytes) leaves the
// file's end and the bytes it needs in *result.
std::uint8_t* ReadTable(DiskFile& file, PackedTableHeader* header, MountResult* result) {
    const std::int64_t at = file.Seek(0, SEEK_FROM_CURRENT);
    *header = PackedTableHeader();
    std::uint8_t* table = ReadPackedTable(file, header, &result->table);
    if (table || at < 0) return table;
    const std::uint64_t start = static_cast<std::uint64_t>(at);
    if (result->table == TableError::SHORT_HEADER) {
        result->needed = start + PACKED_TABLE_HEADER_BYTES;
    } else if (result->table == TableError::PAST_END) {
        result->needed = start + PACKED_TABLE_HEADER_BYTES + header->packedLength;
    } else {
        return nullptr;
    }
    const std::int64_t size = file.Size();
    result->fileEnd = size < 0 ? 0 : static_cast<std::uint64_t>(size);
    // A short read of bytes the file holds is no cut (nor, then, are the numbers).
    if (size < 0 || result->fileEnd >= result->needed) result->fileEnd = result->needed = 0;
    return nullptr;
}

// Reads and checks the three packed tables from file's current position.
MountError ReadDirectory(DiskFile& file, Directory* dir, MountResult* result) {
    PackedTableHeader header;
    dir->records = ReadTable(file, &header, result);
    if (!dir->records) return MountError::DIRECTORY_TABLE;
    if (header.elementSize != DIRECTORY_RECORD_BYTES) return MountError::BAD_RECORD_SIZE;
    dir->recordCount = header.count;

    dir->names = ReadTable(file, &header, result);
    if (!dir->names) return MountError::NAMES_TABLE;
    dir->namesLength = header.count * header.elementSize;

    dir->blockOffsets = ReadTable(file, &header, result);
    if (!dir->blockOffsets) return MountError::BLOCK_TABLE;
    if (header.elementSize != BLOCK_OFFSET_BYTES) return MountError::BAD_OFFSET_SIZE;
    dir->blockOffsetCount = header.count;
    // Stored little-endian; kept in host order.
    for (std::uint32_t i = 0; i < dir->blockOffsetCount; ++i) {
        std::uint32_t value = LoadLE32(dir->blockOffsets + i * BLOCK_OFFSET_BYTES);
        std::memcpy(dir->blockOffsets + i * BLOCK_OFFSET_BYTES, &value, sizeof value);
    }

    // Every name must start inside the names table and end there with a NUL.
    for (std::uint32_t i = 0; i < dir->recordCount; ++i) {
        DirectoryRecord record;
        DecodeDirectoryRecord(dir->records + i * DIRECTORY_RECORD_BYTES, &record);
        result->record = i;
        if (record.nameOffset >= dir->namesLength) return MountError::NAME_OUTSIDE_TABLE;
        const void* end = std::memchr(dir->names + record.nameOffset, 0,
                                      dir->namesLength - record.nameOffset);
        if (!end) return MountError::NAME_UNTERMINATED;
    }
    result->record = 0;
    return MountError::NONE;
}

void CloseHandle(FileHandle handle) {
    DiskFile file;
    file.handle = handle;
    file.Close();
}

// The packed bytes of a deflated resource, from its file's block table; 0
// when the table does not hold its blocks in order.
std::uint64_t PackedSize(const ResourceEntry& entry, const ResourceFile& file) {
    const std::uint64_t first = entry.placement;
    const std::uint64_t last = first + BlockCount(entry);
    if (last >= file.blockOffsetCount) return 0;
    const std::uint32_t start = file.blockOffsets[first], end = file.blockOffsets[last];
    return end >= start ? end - start : 0;
}

}  // namespace

int CutShort(const ResourceFile& file, std::uint64_t start, std::int64_t fileEnd) {
    if (fileEnd < 0) return 0;
    if (static_cast<std::uint64_t>(fileEnd) < file.tablesEnd) return 1;
    return start >= file.tablesEnd && file.dataStart >= file.tablesEnd;
}

void ResourceSet::Impl::NewStamp() { stamp = ++gStamps; }

void ResourceSet::Impl::CloseLoose(int slot) {
    SlotState& s = state[slot];
    if (s.streamHandle != INVALID_FILE_HANDLE) CloseHandle(s.streamHandle);
    s.streamHandle = INVALID_FILE_HANDLE;
    if (LooseFile* loose = s.loose.exchange(nullptr)) {
        loose->file.Close();
        delete loose;
    }
}

void ResourceSet::Impl::Chain(int slot) {
    const int chain = IdentityHome(entries[slot].name);
    foldNext[slot] = foldHead[chain];
    foldHead[chain] = slot;
}

void ResourceSet::Impl::Unchain(int slot) {
    std::int32_t* link = &foldHead[IdentityHome(entries[slot].name)];
    while (*link != slot && *link >= 0) link = &foldNext[*link];
    if (*link == slot) *link = foldNext[slot];
}

void ResourceSet::Impl::Reset() {
    for (int i = 0; i < INDEX_SLOTS; ++i) {
        entries[i].kind = 0;
        state[i].used = 0;
        state[i].hidden = 0;
        foldHead[i] = -1;
        foldNext[i] = -1;
    }
    for (ResourceFile& file : files) file.inUse = 0;
    occupied = 0;
    NewStamp();
}

void ResourceSet::Impl::Release() {
    for (int i = 0; i < INDEX_SLOTS; ++i) {
        CloseLoose(i);
        entries[i] = ResourceEntry();
        state[i].position = 0;
        state[i].open = 0;
    }
    for (ResourceFile& file : files) {
        FreeTables(file);
        file.file.Close();
        file.opened.store(0);
        file.openError = 0;
        file.fileSize = -1;
        file.path[0] = '\0';
        file.blockOffsets = nullptr;
        file.blockOffsetCount = 0;
        file.names = nullptr;
        file.namesLength = 0;
    }
    Reset();
}

int ResourceSet::Impl::Lookup(const char* name) const {
    const int home = HomeSlot(name);
    int h = home;
    for (int probes = 0; probes < INDEX_SLOTS; ++probes) {
        // Slots are freed only all at once, and an insert takes the first
        // free slot from the home slot on: past a slot never used, no
        // resource of this home slot can lie.
        if (!state[h].used) break;
        const ResourceEntry& entry = entries[h];
        if (entry.kind != 0 && NamesEqualIgnoringCase(entry.name, name)) return h;
        h = (h + 1) & (INDEX_SLOTS - 1);
    }
    // A name listed in another case lies past that slot, or before the home
    // slot: of those that match, the first from the home slot on wins, as a
    // probe of every slot would find.
    int best = -1;
    int bestDistance = INDEX_SLOTS;
    for (int slot = foldHead[IdentityHome(name)]; slot >= 0; slot = foldNext[slot]) {
        const int distance = (slot - home) & (INDEX_SLOTS - 1);
        if (distance < bestDistance && NamesEqualIgnoringCase(entries[slot].name, name)) {
            best = slot;
            bestDistance = distance;
        }
    }
    return best;
}

void ResourceSet::Impl::Insert(const DirectoryRecord& record, int fileSlot, const char* names,
                               std::uint32_t* replaced) {
    const char* name = names + record.nameOffset;
    int h = HomeSlot(name);
    if (occupied < INDEX_SLOTS) {
        const int home = h;
        for (int probes = 0; entries[h].kind != 0 && probes < INDEX_SLOTS; ++probes) {
            h = (h + 1) & (INDEX_SLOTS - 1);
        }
        if (entries[h].kind != 0) h = home;
    }
    ResourceEntry& entry = entries[h];
    SlotState& s = state[h];
    if (entry.kind == 0) {
        if (record.kind != 0) ++occupied;
        // A slot freed by Reset may still hold the loose handles of what
        // was there: they belong to another file.
        CloseLoose(h);
        s.open = 0;
    } else {
        // A full index: the occupant is replaced, and nothing of it may
        // reach the newcomer (open state, loose handles; its cached blocks
        // carry the old stamp).
        CloseLoose(h);
        Unchain(h);
        s.open = 0;
        if (replaced) ++*replaced;
        if (record.kind == 0) --occupied;
    }
    if (record.kind != 0) s.used = 1;
    entry.name = name;
    entry.kind = record.kind;
    entry.fileSlot = fileSlot;
    entry.placement = record.placement;
    entry.size = record.size;
    entry.blockLength = record.blockLength;
    entry.packedSize = record.kind == KIND_STORED ? record.size : 0;
    s.position = 0;
    if (record.kind != 0) Chain(h);
    NewStamp();
}

MountResult ResourceSet::Impl::Mount(const char* path) {
    MountResult result;
    int slot = 0;
    while (slot < MOUNT_SLOTS && files[slot].inUse) ++slot;
    if (slot == MOUNT_SLOTS) {
        result.error = MountError::NO_FREE_SLOT;
        return result;
    }
    const std::size_t pathLength = std::strlen(path);
    if (pathLength >= static_cast<std::size_t>(MOUNT_PATH_BYTES)) {
        result.error = MountError::PATH_TOO_LONG;
        return result;
    }

    DiskFile file;
    if (!file.Open(path, 0)) {
        result.error = MountError::CANNOT_OPEN;
        result.systemError = LastError();
        return result;
    }
    std::uint8_t raw[FILE_HEADER_BYTES];
    FileHeader header;
    Directory dir;
    const std::uint32_t got = file.Read(raw, sizeof raw);
    if (got != sizeof raw) {
        // What there is of a header, if it starts as one does, is a
        // resource file cut short; an empty file is none at all.
        result.error = MountError::NOT_RESOURCE_FILE;
        if (got > 0 && std::memcmp(raw, "RUXA", got < 4 ? got : 4) == 0) {
            result.error = MountError::CUT_SHORT;
            result.fileEnd = got;
            result.needed = FILE_HEADER_BYTES;
        }
    } else if (!DecodeFileHeader(raw, &header)) {
        result.error = MountError::NOT_RESOURCE_FILE;
    } else if (file.Seek(FILE_HEADER_BYTES + static_cast<std::int64_t>(header.skip), SEEK_FROM_BEGIN) < 0) {
        result.error = MountError::DIRECTORY_TABLE;
        result.table = TableError::SHORT_HEADER;
    } else {
        result.error = ReadDirectory(file, &dir, &result);
    }
    const std::int64_t tablesEnd = result.error == MountError::NONE ? file.Seek(0, SEEK_FROM_CURRENT) : 0;
    if (result.error != MountError::NONE && result.table == TableError::READ_FAILED) {
        result.systemError = LastError();
    }
    file.Close();
    if (result.error != MountError::NONE) {
        dir.Free();
        return result;
    }

    ResourceFile& mount = files[slot];
    // A slot freed by Reset still holds its tables and data handle, which
    // nothing refers to any more: they go now.
    FreeTables(mount);
    mount.file.Close();
    std::memcpy(mount.path, path, pathLength + 1);
    mount.inUse = 1;
    mount.file = DiskFile();
    mount.opened.store(0);
    mount.openError = 0;
    mount.fileSize = -1;
    mount.blockOffsets = reinterpret_cast<std::uint32_t*>(dir.blockOffsets);
    mount.blockOffsetCount = dir.blockOffsetCount;
    char* names = reinterpret_cast<char*>(dir.names);
    mount.names = names;
    mount.namesLength = dir.namesLength;
    mount.tablesEnd = tablesEnd < 0 ? 0 : static_cast<std::uint64_t>(tablesEnd);
    mount.dataStart = UINT64_MAX;
    for (std::uint32_t i = 0; i < dir.recordCount; ++i) {
        DirectoryRecord record;
        DecodeDirectoryRecord(dir.records + i * DIRECTORY_RECORD_BYTES, &record);
        Insert(record, slot, names, &result.replaced);
        std::uint64_t start = UINT64_MAX;
        if (record.kind == KIND_STORED && record.size > 0) start = record.placement;
        if (record.kind == KIND_DEFLATED && record.placement < dir.blockOffsetCount) {
            start = mount.blockOffsets[record.placement];
        }
        if (start < mount.dataStart) mount.dataStart = start;
    }
    delete[] dir.records;
    for (ResourceEntry& entry : entries) {
        if (entry.kind == KIND_DEFLATED && entry.fileSlot == slot) entry.packedSize = PackedSize(entry, mount);
    }
    MarkHidden();
    result.fileSlot = slot;
    result.records = dir.recordCount;
    return result;
}

}  // namespace rux
