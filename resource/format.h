// The resource file's on-disk records, decoded explicitly as little-endian
// whatever the host's byte order, and the reading of its packed tables.
// Installed as <rux/format.h>. A program that only reads resources needs
// none of it beyond the KIND_* constants: <rux/index.h> mounts the file and
// <rux/stream.h> reads it. These calls are for tools that inspect the
// format itself.
//
// Layout: an 8-byte FileHeader ("RUXA", skip), skip uninterpreted bytes,
// then three PackedTables back to back (directory, names, block offsets).
// Each packed table is a 12-byte header followed by one zlib stream that
// inflates to exactly count x element size bytes.
#ifndef RUX_RESOURCE_FORMAT_H
#define RUX_RESOURCE_FORMAT_H

#include <cstdint>

#include <rux/disk_file.h>

namespace rux {

// Storage kinds; 0 marks a free index slot.
constexpr std::uint32_t KIND_LOOSE = 1;
constexpr std::uint32_t KIND_STORED = 2;
constexpr std::uint32_t KIND_DEFLATED = 8;

constexpr std::uint32_t FILE_HEADER_BYTES = 8;
constexpr std::uint32_t PACKED_TABLE_HEADER_BYTES = 12;
constexpr std::uint32_t DIRECTORY_RECORD_BYTES = 20;
constexpr std::uint32_t BLOCK_OFFSET_BYTES = 4;

// The most one packed table may inflate to. Packed data can legitimately
// inflate about 1000:1, so without a limit a small hostile file could claim
// tables of gigabytes. 8 MiB holds 419430 directory records, 8 MiB of
// names, or 2097152 block offsets, far beyond what the 4096-slot index can
// use; with it, a mounted file's tables hold at most 16 MiB after the mount
// (names and block offsets) and 24 MiB during it.
constexpr std::uint32_t MAX_TABLE_BYTES = 8u << 20;

struct FileHeader {
    std::uint8_t magic[4];  // "RUXA"
    std::uint32_t skip;     // bytes between the header and the first table
};

struct PackedTableHeader {
    std::uint32_t packedLength;  // bytes of zlib data after the header
    std::uint32_t count;         // elements in the table
    std::uint32_t elementSize;   // bytes per element
};

struct DirectoryRecord {
    std::uint32_t nameOffset;   // into the inflated names table
    std::uint32_t kind;         // KIND_*, stored unchanged
    std::uint32_t placement;    // stored: data offset; deflated: first block-table index
    std::uint32_t size;         // bytes after inflation
    std::uint32_t blockLength;  // deflated: inflated length of every block but the last
};

// These five touch only their arguments: they may run concurrently with any
// call. None checks its pointers: each reads (or writes) exactly the bytes
// its record has, which the caller provides.

// The 32-bit value stored little-endian in bytes[0..4).
std::uint32_t LoadLE32(const std::uint8_t* bytes);
// Stores value little-endian into bytes[0..4).
void StoreLE32(std::uint8_t* bytes, std::uint32_t value);

// Decodes FILE_HEADER_BYTES bytes into *header. 1 if the magic is "RUXA",
// else 0 (the fields are decoded all the same).
int DecodeFileHeader(const std::uint8_t* bytes, FileHeader* header);
// Decodes PACKED_TABLE_HEADER_BYTES bytes into *header; no check of values.
void DecodePackedTableHeader(const std::uint8_t* bytes, PackedTableHeader* header);
// Decodes DIRECTORY_RECORD_BYTES bytes into *record; no check of values.
void DecodeDirectoryRecord(const std::uint8_t* bytes, DirectoryRecord* record);

// Reads one packed table from the current position of file and inflates it.
// Returns a buffer of exactly count x element size bytes, owned by the
// caller (release with delete[]), and the table's header in *header if
// header is not null. An empty table (count x element size = 0) gives a
// valid buffer of one byte. Returns null, having freed whatever it
// allocated, when the 12-byte header is short, the packed length runs past
// the end of the file, count x element size exceeds MAX_TABLE_BYTES, an
// allocation fails, or the zlib data does not inflate to exactly
// count x element size bytes with a valid checksum. It moves file's
// position, so it may run concurrently with calls on other files only.
std::uint8_t* ReadPackedTable(DiskFile& file, PackedTableHeader* header);

// Why ReadPackedTable returned null.
enum class TableError {
    NONE = 0,
    SHORT_HEADER,   // the file ends inside the 12-byte header
    PAST_END,       // the packed bytes run past the end of the file
    TOO_LARGE,      // count x element size exceeds MAX_TABLE_BYTES
    OVERSTATED,     // more than the packed bytes could ever inflate to
    OUT_OF_MEMORY,  // an allocation failed
    READ_FAILED,    // the file could not be read (LastError() says why)
    DAMAGED,        // the data does not inflate to exactly its length
};

// ReadPackedTable, with the reason for a null result in *why (NONE on
// success). why may be null.
std::uint8_t* ReadPackedTable(DiskFile& file, PackedTableHeader* header, TableError* why);

// A short English text for a table error, such as "its data does not
// inflate"; "" for NONE. May run concurrently with any call.
const char* TableErrorText(TableError error);

}  // namespace rux

#endif
