#include "resource/index.h"

#include <cstring>
#include <new>
#include <zlib.h>

#include "resource/blocks.h"

namespace rux {

namespace {

ResourceFile gMountTable[MOUNT_SLOTS];
ResourceEntry gIndex[INDEX_SLOTS];
// Occupied index slots. Once all are taken every insert lands on its home
// slot, so a huge directory costs one step per record, not a full probe.
int gOccupied = 0;

unsigned char FoldCase(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

int NamesEqualIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = FoldCase(static_cast<unsigned char>(*a));
        unsigned char y = FoldCase(static_cast<unsigned char>(*b));
        if (x != y) return 0;
        if (x == 0) return 1;
    }
}

// Everything MountResourceFile reads before it touches the tables; freed
// as a whole if any part fails.
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

// Reads and checks the three packed tables from file's current position.
int ReadDirectory(DiskFile& file, Directory* dir) {
    PackedTableHeader header;
    dir->records = ReadPackedTable(file, &header);
    if (!dir->records || header.elementSize != DIRECTORY_RECORD_BYTES) return 0;
    dir->recordCount = header.count;

    dir->names = ReadPackedTable(file, &header);
    if (!dir->names) return 0;
    dir->namesLength = header.count * header.elementSize;

    dir->blockOffsets = ReadPackedTable(file, &header);
    if (!dir->blockOffsets || header.elementSize != BLOCK_OFFSET_BYTES) return 0;
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
        if (record.nameOffset >= dir->namesLength) return 0;
        const void* end = std::memchr(dir->names + record.nameOffset, 0,
                                      dir->namesLength - record.nameOffset);
        if (!end) return 0;
    }
    return 1;
}

}  // namespace

ResourceEntry* IndexSlots() { return gIndex; }
ResourceFile* MountSlots() { return gMountTable; }

void ResetResourceTables() {
    for (ResourceEntry& entry : gIndex) entry.kind = 0;
    for (ResourceFile& file : gMountTable) file.inUse = 0;
    gOccupied = 0;
    CacheReset();
}

void ReleaseResourceTables() {
    for (ResourceEntry& entry : gIndex) {
        if (entry.kind == KIND_LOOSE && entry.placement != INVALID_FILE_HANDLE) {
            DiskFile loose;
            loose.handle = entry.placement;
            loose.Close();
        }
        entry = ResourceEntry();
    }
    gOccupied = 0;
    for (ResourceFile& file : gMountTable) {
        delete[] file.blockOffsets;
        delete[] file.names;
        file.file.Close();
        file.openSettled = 0;
        file.fileSize = -1;
        file.inUse = 0;
        file.path[0] = '\0';
        file.blockOffsets = nullptr;
        file.blockOffsetCount = 0;
        file.names = nullptr;
        file.namesLength = 0;
    }
    CacheFree();
    TheBlockCache().inflations = 0;
}

int HomeSlot(const char* name) {
    const std::size_t length = std::strlen(name) + 1;  // the NUL is hashed too
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(name), static_cast<uInt>(length));
    return static_cast<int>(crc & (INDEX_SLOTS - 1));
}

int LookupResource(const char* name) {
    int h = HomeSlot(name);
    for (int probes = 0; probes < INDEX_SLOTS; ++probes) {
        const ResourceEntry& entry = gIndex[h];
        if (entry.kind != 0 && NamesEqualIgnoringCase(entry.name, name)) return h;
        h = (h + 1) & (INDEX_SLOTS - 1);
    }
    return -1;
}

void InsertResource(const DirectoryRecord& record, int fileSlot, const char* names) {
    const char* name = names + record.nameOffset;
    int h = HomeSlot(name);
    if (gOccupied < INDEX_SLOTS) {
        const int home = h;
        for (int probes = 0; gIndex[h].kind != 0 && probes < INDEX_SLOTS; ++probes) {
            h = (h + 1) & (INDEX_SLOTS - 1);
        }
        if (gIndex[h].kind != 0) h = home;
    }
    ResourceEntry& entry = gIndex[h];
    if (entry.kind == 0) {
        if (record.kind != 0) ++gOccupied;
    } else {
        // A full index: the occupant is replaced, and nothing of it may
        // reach the newcomer (cached blocks, open state, a loose handle).
        CacheDrop(h);
        if (entry.kind == KIND_LOOSE && entry.placement != INVALID_FILE_HANDLE) {
            DiskFile loose;
            loose.handle = entry.placement;
            loose.Close();
        }
        entry.open = 0;
        if (record.kind == 0) --gOccupied;
    }
    entry.name = name;
    entry.kind = record.kind;
    entry.fileSlot = fileSlot;
    // A loose entry's word holds its file handle, invalid until opened.
    entry.placement = record.kind == KIND_LOOSE ? INVALID_FILE_HANDLE : record.placement;
    entry.size = record.size;
    entry.blockLength = record.blockLength;
    entry.position = 0;
}

int MountResourceFile(const char* path) {
    int slot = 0;
    while (slot < MOUNT_SLOTS && gMountTable[slot].inUse) ++slot;
    if (slot == MOUNT_SLOTS) return 0;
    const std::size_t pathLength = std::strlen(path);
    if (pathLength >= static_cast<std::size_t>(MOUNT_PATH_BYTES)) return 0;

    DiskFile file;
    if (!file.Open(path, 0)) return 0;
    std::uint8_t raw[FILE_HEADER_BYTES];
    FileHeader header;
    Directory dir;
    int ok = file.Read(raw, sizeof raw) == sizeof raw && DecodeFileHeader(raw, &header) &&
             file.Seek(FILE_HEADER_BYTES + static_cast<std::int64_t>(header.skip),
                       SEEK_FROM_BEGIN) >= 0 &&
             ReadDirectory(file, &dir);
    file.Close();
    if (!ok) {
        dir.Free();
        return 0;
    }

    ResourceFile& mount = gMountTable[slot];
    char* names = reinterpret_cast<char*>(dir.names);
    for (std::uint32_t i = 0; i < dir.recordCount; ++i) {
        DirectoryRecord record;
        DecodeDirectoryRecord(dir.records + i * DIRECTORY_RECORD_BYTES, &record);
        InsertResource(record, slot, names);
    }
    delete[] dir.records;

    // A slot reused after ReleaseResourceTables starts clean; a slot freed
    // by ResetResourceTables keeps whatever it held, as nothing is freed then.
    std::memcpy(mount.path, path, pathLength + 1);
    mount.inUse = 1;
    mount.file = DiskFile();
    mount.openSettled = 0;
    mount.fileSize = -1;
    mount.blockOffsets = reinterpret_cast<std::uint32_t*>(dir.blockOffsets);
    mount.blockOffsetCount = dir.blockOffsetCount;
    mount.names = names;
    mount.namesLength = dir.namesLength;
    return 1;
}

int OpenDataFile(ResourceFile& file) {
    if (!file.file.IsValid() && !file.openSettled) {
        file.file.Open(file.path, 0);
        file.fileSize = file.file.Size();
    }
    return file.file.IsValid();
}

int OpenDataFiles() {
    int missing = 0;
    for (ResourceFile& file : gMountTable) {
        if (!file.inUse) continue;
        if (!OpenDataFile(file)) ++missing;
        file.openSettled = 1;
    }
    return missing;
}

std::uint32_t ReadDataFile(ResourceFile& file, std::uint64_t offset, void* buffer,
                           std::uint32_t count) {
    if (!OpenDataFile(file)) return 0;
    return file.file.ReadAt(buffer, count, static_cast<std::int64_t>(offset));
}

}  // namespace rux
