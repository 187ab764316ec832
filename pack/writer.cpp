#include "pack/writer.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace rux {

namespace {

// Largest piece handed to DiskFile or read from a source at once.
constexpr std::uint64_t PIECE_BYTES = std::uint64_t(1) << 20;

// One deflate state per thread, reset for each stream: compress2 would
// allocate, clear and free its quarter mebibyte for every block, which
// costs more than deflating a small block. The streams are the ones
// compress2 makes (deflateInit at the level).
struct Deflater {
    z_stream stream{};
    int level = -1;  // the level stream was made for; -1: none
    ~Deflater() {
        if (level >= 0) deflateEnd(&stream);
    }
};
thread_local Deflater gDeflater;

// Deflates count bytes (at most 4 GiB - 1) into *out as one zlib stream.
void DeflateInto(const char* bytes, std::uint64_t count, int level, std::string* out) {
    Deflater& d = gDeflater;
    if (d.level == level && deflateReset(&d.stream) != Z_OK) {
        deflateEnd(&d.stream);
        d.level = -1;
    }
    if (d.level != level) {
        if (d.level >= 0) deflateEnd(&d.stream);
        d.stream = z_stream();
        d.level = deflateInit(&d.stream, level) == Z_OK ? level : -1;
    }
    if (d.level < 0) {  // no memory for the state (compress2 would fail alike)
        out->clear();
        return;
    }
    // Room for the whole stream, so that one call finishes it.
    out->resize(deflateBound(&d.stream, static_cast<uLong>(count)));
    d.stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
    d.stream.avail_in = static_cast<uInt>(count);
    d.stream.next_out = reinterpret_cast<Bytef*>(&(*out)[0]);
    d.stream.avail_out = static_cast<uInt>(out->size());
    const int result = deflate(&d.stream, Z_FINISH);
    out->resize(result == Z_STREAM_END ? d.stream.total_out : 0);
}

// Calls each(at, count) for the consecutive pieces of size bytes, each of
// at most pieceBytes, until one returns 0. 1 if every call returned 1.
template <typename Each>
int ForEachPiece(std::uint64_t size, std::uint64_t pieceBytes, Each each) {
    for (std::uint64_t at = 0; at < size; at += pieceBytes) {
        const std::uint64_t left = size - at;
        if (!each(at, left < pieceBytes ? left : pieceBytes)) return 0;
    }
    return 1;
}

int WriteAll(DiskFile& file, const char* bytes, std::uint64_t count) {
    return ForEachPiece(count, PIECE_BYTES, [&](std::uint64_t at, std::uint64_t piece) {
        return file.Write(bytes + at, static_cast<std::uint32_t>(piece)) == piece;
    });
}

// ": " and the reason kept by the call that just failed, or "" if none.
std::string Because() {
    const int code = LastError();
    return code ? ": " + ErrorText(code) : "";
}

// Hands the data gathered in pending to the file.
int WritePending(PackWriter* writer) {
    const int ok = WriteAll(writer->file, writer->pending.data(), writer->pending.size());
    if (!ok) writer->failure = Because();
    writer->pending.clear();
    return ok;
}

// Appends count bytes to the data region, on disk or in memory. On disk
// the bytes are gathered into pieces first, so that small blocks do not
// cost a system call each.
int PutData(PackWriter* writer, const char* bytes, std::uint64_t count) {
    if (writer->file.IsValid()) {
        writer->pending.append(bytes, static_cast<std::size_t>(count));
        if (writer->pending.size() >= PIECE_BYTES && !WritePending(writer)) return 0;
    } else {
        writer->image.data.append(bytes, static_cast<std::size_t>(count));
    }
    writer->end += count;
    return 1;
}

// Moves the end of the data region back to offset, dropping what follows.
int RewindData(PackWriter* writer, std::uint64_t offset) {
    if (writer->file.IsValid()) {
        if (!WritePending(writer)) return 0;
        if (writer->file.Seek(static_cast<std::int64_t>(offset), SEEK_FROM_BEGIN) < 0) {
            writer->failure = Because();
            return 0;
        }
    } else {
        writer->image.data.resize(static_cast<std::size_t>(offset - FILE_HEADER_BYTES));
    }
    writer->end = offset;
    return 1;
}

// count bytes of source from offset at, which callers visit in order from
// 0; file sources are read into scratch. Null if the source runs short.
const char* ReadSource(const PackSource& source, std::uint64_t at, std::uint64_t count,
                       std::string* scratch) {
    if (!source.file) return source.bytes + at;
    if (at == 0 && source.file->Seek(0, SEEK_FROM_BEGIN) != 0) return nullptr;
    scratch->resize(static_cast<std::size_t>(count));
    char* buffer = count ? &(*scratch)[0] : nullptr;
    const int read = ForEachPiece(count, PIECE_BYTES, [&](std::uint64_t done, std::uint64_t piece) {
        return source.file->Read(buffer + done, static_cast<std::uint32_t>(piece)) == piece;
    });
    return read ? buffer : nullptr;
}

// ReadSource, telling the writer when it fails: the failure is the
// source's, with the reason of the read (none at an early end of file).
const char* ReadPiece(PackWriter* writer, const PackSource& source, std::uint64_t at, std::uint64_t count,
                      std::string* scratch) {
    KeepError(0);
    const char* piece = ReadSource(source, at, count, scratch);
    if (!piece) {
        writer->readFailed = 1;
        writer->failure = LastError() ? Because() : ": the file ended before its size when listed";
    }
    return piece;
}

// Writes all of source to the data region uncompressed.
int PutStored(PackWriter* writer, const PackSource& source) {
    return ForEachPiece(source.size, PIECE_BYTES, [&](std::uint64_t at, std::uint64_t count) {
        const char* piece = ReadPiece(writer, source, at, count, &writer->raw);
        return piece && PutData(writer, piece, count);
    });
}

enum DeflateResult { DEFLATE_FAILED, DEFLATE_DONE, DEFLATE_UNSHRUNK, DEFLATE_TOO_FAR };

// Writes source as blocks and their end offsets. Stops early with
// DEFLATE_UNSHRUNK once the blocks cannot end up smaller than the data
// (only when storeUnshrunk is set), or DEFLATE_TOO_FAR when a block would
// end at offsetLimit or beyond. A block that would reach the data's own
// size is never written, so data stored over the abandoned blocks covers
// every byte of them.
DeflateResult PutDeflated(PackWriter* writer, std::uint32_t blockLength, int level,
                          const PackSource& source) {
    const std::uint64_t start = writer->end;
    if (writer->storeUnshrunk && source.size == 0) return DEFLATE_UNSHRUNK;
    // The source is read a whole number of blocks at a time, a piece or
    // one block, whichever is larger.
    const std::uint64_t chunk =
        blockLength >= PIECE_BYTES ? blockLength : PIECE_BYTES / blockLength * blockLength;
    for (std::uint64_t chunkAt = 0; chunkAt < source.size; chunkAt += chunk) {
        const std::uint64_t chunkLeft = source.size - chunkAt;
        const std::uint64_t chunkCount = chunkLeft < chunk ? chunkLeft : chunk;
        const char* bytes = ReadPiece(writer, source, chunkAt, chunkCount, &writer->raw);
        if (!bytes) return DEFLATE_FAILED;
        for (std::uint64_t at = 0; at < chunkCount; at += blockLength) {
            const std::uint64_t left = chunkCount - at;
            const std::size_t count = static_cast<std::size_t>(left < blockLength ? left : blockLength);
            const char* piece = bytes + at;
            // Runs of equal blocks (zeros, padding) are deflated once.
            if (writer->lastLevel != level || writer->lastRaw.size() != count ||
                std::memcmp(writer->lastRaw.data(), piece, count) != 0) {
                DeflateInto(piece, count, level, &writer->packed);
                if (writer->packed.empty()) return DEFLATE_FAILED;  // no zlib stream is empty
                writer->lastRaw.assign(piece, count);
                writer->lastLevel = level;
            }
            const std::uint64_t blockEnd = writer->end + writer->packed.size();
            if (writer->storeUnshrunk && blockEnd - start >= source.size) return DEFLATE_UNSHRUNK;
            if (blockEnd >= writer->offsetLimit) return DEFLATE_TOO_FAR;
            if (!PutData(writer, writer->packed.data(), writer->packed.size())) {
                return DEFLATE_FAILED;
            }
            writer->image.blockOffsets.push_back(static_cast<std::uint32_t>(blockEnd));
        }
    }
    return DEFLATE_DONE;
}

// The four little-endian bytes of value.
std::string Le32(std::uint32_t value) {
    std::uint8_t bytes[4];
    StoreLE32(bytes, value);
    return std::string(reinterpret_cast<char*>(bytes), 4);
}

// The little-endian bytes of records, 20 each.
std::string EncodeRecords(const std::vector<DirectoryRecord>& records) {
    std::string out(records.size() * DIRECTORY_RECORD_BYTES, '\0');
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(&out[0]);
    for (const DirectoryRecord& r : records) {
        StoreLE32(p, r.nameOffset);
        StoreLE32(p + 4, r.kind);
        StoreLE32(p + 8, r.placement);
        StoreLE32(p + 12, r.size);
        StoreLE32(p + 16, r.blockLength);
        p += DIRECTORY_RECORD_BYTES;
    }
    return out;
}

// A packed table: its 12-byte header and the zlib data of inflated.
std::string PackTable(const std::string& inflated, std::uint32_t count,
                      std::uint32_t elementSize, int level) {
    std::string packed = DeflateZlib(inflated, level);
    return Le32(static_cast<std::uint32_t>(packed.size())) + Le32(count) + Le32(elementSize) + packed;
}

}  // namespace

void CountResource(TableSizes* sizes, std::size_t nameBytes, std::uint32_t kind,
                   std::uint64_t size, std::uint32_t blockLength) {
    sizes->directory += DIRECTORY_RECORD_BYTES;
    sizes->names += nameBytes + 1;
    if (kind == KIND_DEFLATED && blockLength > 0) {
        const std::uint64_t blocks = (size + blockLength - 1) / blockLength;
        sizes->blockOffsets += (blocks + 1) * BLOCK_OFFSET_BYTES;
    }
}

PackSource MemorySource(const std::string& bytes) {
    PackSource source;
    source.bytes = bytes.data();
    source.size = bytes.size();
    return source;
}

PackSource FileSource(DiskFile* file) {
    PackSource source;
    source.file = file;
    const std::int64_t size = file->Size();
    source.size = size < 0 ? 0 : static_cast<std::uint64_t>(size);
    return source;
}

std::string DeflateZlib(const std::string& bytes, int level) {
    std::string out;
    DeflateInto(bytes.data(), bytes.size(), level, &out);
    return out;
}

int BeginPackFile(PackWriter* writer, const std::string& path, std::string* error, int exclusive) {
    if (!writer->file.Open(path.c_str(), OPEN_WRITE | OPEN_CREATE | (exclusive ? OPEN_NEW : 0))) {
        writer->path = path;
        *error = "cannot create " + path + Because();
        return 0;
    }
    return BeginPackFileOn(writer, writer->file, path, error);
}

int BeginPackFileOn(PackWriter* writer, const DiskFile& file, const std::string& path, std::string* error) {
    writer->file = file;
    writer->path = path;
    const std::string header = "RUXA" + Le32(0);
    writer->end = 0;
    if (!PutData(writer, header.data(), header.size())) {
        *error = "cannot write " + path + writer->failure;
        return 0;
    }
    return 1;
}

int AddResource(PackWriter* writer, const std::string& name, std::uint32_t kind,
                std::uint32_t blockLength, int level, const PackSource& source,
                std::string* error) {
    if (source.size > UINT32_MAX) {
        *error = name + " is 4 GiB or larger; sizes are 32 bits";
        return 0;
    }
    const std::string tooFar = "offsets reach 4 GiB at " + name;
    const std::string unreadable = "cannot read all of " + name;
    const std::string unwritable = "cannot write " + writer->path;
    // Which of the two failed, and why.
    writer->readFailed = 0;
    writer->failure.clear();
    const auto failed = [&] { return (writer->readFailed ? unreadable : unwritable) + writer->failure; };
    DirectoryRecord record = {};
    record.nameOffset = static_cast<std::uint32_t>(writer->image.names.size());
    record.kind = kind;
    record.size = static_cast<std::uint32_t>(source.size);

    const std::uint64_t start = writer->end;
    if (kind == KIND_DEFLATED) {
        if (blockLength == 0) {
            *error = "block length 0 for " + name;
            return 0;
        }
        if (start >= writer->offsetLimit) {
            *error = tooFar;
            return 0;
        }
        const std::size_t first = writer->image.blockOffsets.size();
        writer->image.blockOffsets.push_back(static_cast<std::uint32_t>(start));
        const DeflateResult result = PutDeflated(writer, blockLength, level, source);
        if (result == DEFLATE_FAILED) {
            *error = failed();
            return 0;
        }
        // With storeUnshrunk, blocks that cross the limit are larger than
        // the data, so DEFLATE_UNSHRUNK has come first wherever stored
        // data would still fit.
        if (result == DEFLATE_TOO_FAR) {
            *error = tooFar;
            return 0;
        }
        if (result == DEFLATE_DONE) {
            record.placement = static_cast<std::uint32_t>(first);
            record.blockLength = blockLength;
        } else {
            // Not worth deflating: the same bytes go in as stored data.
            writer->image.blockOffsets.resize(first);
            if (!RewindData(writer, start)) {
                *error = failed();
                return 0;
            }
            record.kind = KIND_STORED;
        }
    }
    if (record.kind == KIND_STORED) {
        if (start + source.size >= writer->offsetLimit) {
            *error = tooFar;
            return 0;
        }
        record.placement = static_cast<std::uint32_t>(start);
        if (!PutStored(writer, source)) {
            *error = failed();
            return 0;
        }
    }
    writer->image.names += name;
    writer->image.names += '\0';
    writer->image.records.push_back(record);
    return 1;
}

int FinishPackFile(PackWriter* writer, int level, std::string* error) {
    const ResourceImage& image = writer->image;
    const char* tooLarge = nullptr;
    if (image.records.size() * std::uint64_t(DIRECTORY_RECORD_BYTES) > writer->tableLimit) {
        tooLarge = "directory";
    } else if (image.names.size() > writer->tableLimit) {
        tooLarge = "names";
    } else if (image.blockOffsets.size() * std::uint64_t(BLOCK_OFFSET_BYTES) > writer->tableLimit) {
        tooLarge = "block offset";
    }
    if (tooLarge) {
        *error = std::string("the ") + tooLarge + " table of " + writer->path +
                 " would inflate to more than " + std::to_string(writer->tableLimit) + " bytes";
        writer->file.Close();
        return 0;
    }
    writer->failure.clear();
    const std::string tables = EncodeTables(image, level);
    const std::uint32_t skip = static_cast<std::uint32_t>(writer->end - FILE_HEADER_BYTES);
    const std::string skipBytes = Le32(skip);
    int ok = WritePending(writer) &&
             writer->file.Seek(static_cast<std::int64_t>(writer->end), SEEK_FROM_BEGIN) >= 0 &&
             WriteAll(writer->file, tables.data(), tables.size()) &&
             writer->file.Seek(4, SEEK_FROM_BEGIN) == 4 &&
             WriteAll(writer->file, skipBytes.data(), skipBytes.size());
    if (!ok) *error = "cannot write " + writer->path + (writer->failure.empty() ? Because() : writer->failure);
    if (ok && writer->flush) {
        ok = writer->file.Flush();
        if (!ok) *error = "cannot flush " + writer->path + " to the disk" + Because();
    }
    if (writer->keepOpen) {
        if (ok) error->clear();
        return ok;
    }
    if (!writer->file.Close() && ok) {
        *error = "cannot write " + writer->path + Because();
        ok = 0;
    }
    if (ok) error->clear();
    return ok;
}

void CancelPackFile(PackWriter* writer) {
    writer->file.Close();
    std::remove(writer->path.c_str());
}

int LayoutResources(const std::vector<PackResource>& resources, ResourceImage* image,
                    std::string* error) {
    PackWriter writer;
    for (const PackResource& resource : resources) {
        if (!AddResource(&writer, resource.name, resource.kind, resource.blockLength,
                         resource.level, MemorySource(resource.data), error)) {
            return 0;
        }
    }
    *image = std::move(writer.image);
    return 1;
}

std::string EncodeOffsets(const std::vector<std::uint32_t>& offsets) {
    std::string out(offsets.size() * BLOCK_OFFSET_BYTES, '\0');
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(&out[0]);
    for (std::uint32_t value : offsets) {
        StoreLE32(p, value);
        p += BLOCK_OFFSET_BYTES;
    }
    return out;
}

std::string EncodeTables(const ResourceImage& image, int level) {
    return PackTable(EncodeRecords(image.records),
                     static_cast<std::uint32_t>(image.records.size()), DIRECTORY_RECORD_BYTES,
                     level) +
           PackTable(image.names, static_cast<std::uint32_t>(image.names.size()), 1, level) +
           PackTable(EncodeOffsets(image.blockOffsets),
                     static_cast<std::uint32_t>(image.blockOffsets.size()), BLOCK_OFFSET_BYTES,
                     level);
}

int CopySource(DiskFile& out, const PackSource& source) {
    std::string scratch;
    return ForEachPiece(source.size, PIECE_BYTES, [&](std::uint64_t at, std::uint64_t count) {
        const char* piece = ReadSource(source, at, count, &scratch);
        return piece && WriteAll(out, piece, count);
    });
}

void MakeParentDirectories(const std::string& path, std::size_t from) {
    for (std::size_t i = from; i < path.size(); ++i) {
        if (path[i] == '/' || path[i] == '\\') MakeDirectory(path.substr(0, i).c_str());
    }
}

int WriteResourceFile(const std::string& path, const std::vector<PackResource>& resources,
                      std::string* error) {
    PackWriter writer;
    if (!BeginPackFile(&writer, path, error)) return 0;
    for (const PackResource& resource : resources) {
        if (!AddResource(&writer, resource.name, resource.kind, resource.blockLength,
                         resource.level, MemorySource(resource.data), error)) {
            CancelPackFile(&writer);
            return 0;
        }
    }
    if (!FinishPackFile(&writer, 6, error)) return 0;
    for (const PackResource& resource : resources) {
        if (resource.kind != KIND_LOOSE) continue;
        const std::string loose = path + resource.name;
        MakeParentDirectories(loose, path.size());
        DiskFile file;
        const int copied = file.Open(loose.c_str(), OPEN_WRITE | OPEN_CREATE) &&
                           CopySource(file, MemorySource(resource.data));
        if (!file.Close() || !copied) {
            *error = "cannot write " + loose;
            return 0;
        }
    }
    return 1;
}



}  // namespace rux
