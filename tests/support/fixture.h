// Test support: fresh temporary directories, files, and resource files
// built in code with knobs to damage every part of them.
#ifndef RUX_TESTS_SUPPORT_FIXTURE_H
#define RUX_TESTS_SUPPORT_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "pack/writer.h"
#include "tests/support/pack_bytes.h"

using namespace rux;

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadWholeFile(const std::string& path);  // "" if unreadable
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Every regular file below root, as paths relative to it, sorted; with
// directories too (suffixed "/") when withDirectories is set.
std::vector<std::string> ListTree(const std::string& root, bool withDirectories = false);

// Sets an existing file's length; a longer file gets a hole (sparse where
// the file system allows). False on failure.
bool ResizeFile(const std::string& path, std::int64_t length);
// The number of file handles this process holds open (descriptors on
// POSIX, kernel handles on Windows): tests compare it before and after.
int OpenHandleCount();

// One packed table as it will be written; every header field and the zlib
// stream may be overridden to damage it.
struct RawTable {
    std::string inflated;        // the table's bytes before packing
    std::uint32_t count = 0;
    std::uint32_t elementSize = 1;
    int level = 6;
    bool overridePacked = false;  // use packed as the zlib data verbatim
    std::string packed;
    bool overridePackedLength = false;  // write packedLength instead of the real one
    std::uint32_t packedLength = 0;
};

// A resource file field by field. Serialize() writes exactly these fields,
// so a test may set any of them to any value.
struct RawFile {
    std::string magic = "RUXA";
    bool overrideSkip = false;
    std::uint32_t skip = 0;  // default: data.size()
    std::string data;        // the skip region (stored and deflated data)
    RawTable directory;      // elements: 20-byte records
    RawTable names;          // NUL-terminated names
    RawTable blocks;         // 32-bit offsets
    std::string trailer;     // bytes after the last table

    std::string Serialize() const;
};
// One table as Serialize() writes it: its 12-byte header and its data.
std::string SerializeTable(const RawTable& table);

// Tables of an image (records, names, offsets) as a RawFile with correct
// fields, ready to be damaged.
RawFile ToRawFile(const ResourceImage& image);
// Lays out resources (failing the test on error) and converts them.
RawFile MakeRawFile(const std::vector<PackResource>& resources);

// Re-encodes a RawFile's directory table from records (after editing them).
void SetRecords(RawFile* file, const std::vector<DirectoryRecord>& records);
std::vector<DirectoryRecord> GetRecords(const RawFile& file);
// Sets one field of record index and re-encodes the directory table.
void SetRecordField(RawFile* file, std::size_t index, std::uint32_t DirectoryRecord::*field,
                    std::uint32_t value);
void SetBlockOffsets(RawFile* file, const std::vector<std::uint32_t>& offsets);
std::vector<std::uint32_t> GetBlockOffsets(const RawFile& file);

// The file with its tables first, as the format allows (rux-pack writes
// them last): the header's skip 0, the three tables, zeros up to byte at,
// then the data, every stored placement and block offset moved to match
// (in *file too). Fails the test when the tables do not fit before at.
std::string TablesFirst(RawFile* file, std::uint32_t at = 4096);

// Convenience constructors.
PackResource Loose(const std::string& name, const std::string& data);
PackResource Stored(const std::string& name, const std::string& data);
PackResource Deflated(const std::string& name, const std::string& data,
                      std::uint32_t blockLength = 65536, int level = 6);

// A zlib stream of data that needs the preset dictionary dict to inflate.
std::string DeflateWithDictionary(const std::string& data, const std::string& dict);

// Deterministic bytes that compress moderately (text-like) or not at all.
std::string TextBytes(std::size_t length, std::uint32_t seed = 1);
std::string RandomBytes(std::size_t length, std::uint32_t seed = 1);

#endif
