// Writing resource files: the data region, on disk or in memory, each
// resource's records, and the file finished or cancelled. Whole files
// made at once from a list in memory are in whole_file.cpp.
#include "pack/writer.h"

#include <cstdio>
#include <cstring>

namespace rux {

namespace {

// Largest piece handed to DiskFile or read from a source at once.
constexpr std::uint64_t PIECE_BYTES = std::uint64_t(1) << 20;

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

// Hands the data gathered in pending to the file.
int WritePending(PackWriter* writer) {
    const int ok = WriteAll(writer->file, writer->pending.data(), writer->pending.size());
    if (!ok) writer->failure = LastErrorSuffix();
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
            writer->failure = LastErrorSuffix();
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
        writer->failure = LastError() ? LastErrorSuffix() : ": the file ended before its size when listed";
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

// The four little-endian bytes of value.
std::string Le32(std::uint32_t value) {
    std::uint8_t bytes[4];
    StoreLE32(bytes, value);
    return std::string(reinterpret_cast<char*>(bytes), 4);
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

int BeginPackFile(PackWriter* writer, const std::string& path, std::string* error, int exclusive) {
    if (!writer->file.Open(path.c_str(), OPEN_WRITE | OPEN_CREATE | (exclusive ? OPEN_NEW : 0))) {
        writer->path = path;
        *error = "cannot create " + path + LastErrorSuffix();
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

int BeginResource(PackWriter* writer, const std::string& name, std::uint32_t kind,
                  std::uint32_t blockLength, std::uint64_t size, std::string* error) {
    PackWriter::Current& c = writer->current;
    c = PackWriter::Current();
    writer->readFailed = 0;
    writer->failure.clear();
    if (size > UINT32_MAX) {
        *error = name + " is 4 GiB or larger; sizes are 32 bits";
        return 0;
    }
    c.name = name;
    c.kind = kind;
    c.size = size;
    c.start = writer->end;
    if (kind != KIND_DEFLATED) return 1;
    if (blockLength == 0) {
        *error = "block length 0 for " + name;
        return 0;
    }
    if (c.start >= writer->offsetLimit) {
        *error = "offsets reach 4 GiB at " + name;
        return 0;
    }
    // Nothing deflates to less than nothing.
    if (writer->storeUnshrunk && size == 0) {
        c.kind = KIND_STORED;
        return 1;
    }
    c.blockLength = blockLength;
    c.firstBlock = writer->image.blockOffsets.size();
    writer->image.blockOffsets.push_back(static_cast<std::uint32_t>(c.start));
    return 1;
}

// A block that would reach the data's own size is never written, so data
// stored over the abandoned blocks covers every byte of them.
int PutBlocks(PackWriter* writer, const char* packed, const std::uint32_t* ends, std::size_t count,
              std::string* error) {
    PackWriter::Current& c = writer->current;
    if (c.kind != KIND_DEFLATED) return PUT_STORED;
    std::uint32_t from = 0;
    for (std::size_t k = 0; k < count; from = ends[k], ++k) {
        const std::uint64_t blockEnd = writer->end + (ends[k] - from);
        if (writer->storeUnshrunk && blockEnd - c.start >= c.size) {
            // Not worth deflating: the same bytes go in as stored data.
            writer->image.blockOffsets.resize(c.firstBlock);
            if (!RewindData(writer, c.start)) {
                *error = "cannot write " + writer->path + writer->failure;
                return PUT_FAILED;
            }
            c.kind = KIND_STORED;
            return PUT_STORED;
        }
        // With storeUnshrunk, blocks that cross the limit are larger than
        // the data, so the case above has come first wherever stored data
        // would still fit.
        if (blockEnd >= writer->offsetLimit) {
            *error = "offsets reach 4 GiB at " + c.name;
            return PUT_FAILED;
        }
        if (!PutData(writer, packed + from, ends[k] - from)) {
            *error = "cannot write " + writer->path + writer->failure;
            return PUT_FAILED;
        }
        writer->image.blockOffsets.push_back(static_cast<std::uint32_t>(blockEnd));
    }
    return PUT_DONE;
}

int EndResource(PackWriter* writer, const PackSource& source, std::string* error) {
    PackWriter::Current& c = writer->current;
    DirectoryRecord record = {};
    record.nameOffset = static_cast<std::uint32_t>(writer->image.names.size());
    record.kind = c.kind;
    record.size = static_cast<std::uint32_t>(c.size);
    if (c.kind == KIND_DEFLATED) {
        record.placement = static_cast<std::uint32_t>(c.firstBlock);
        record.blockLength = c.blockLength;
    } else if (c.kind == KIND_STORED) {
        if (c.start + c.size >= writer->offsetLimit) {
            *error = "offsets reach 4 GiB at " + c.name;
            return 0;
        }
        record.placement = static_cast<std::uint32_t>(c.start);
        writer->readFailed = 0;
        writer->failure.clear();
        if (!PutStored(writer, source)) {
            *error = (writer->readFailed ? "cannot read all of " + c.name : "cannot write " + writer->path) +
                     writer->failure;
            return 0;
        }
    }
    writer->image.names += c.name;
    writer->image.names += '\0';
    writer->image.records.push_back(record);
    return 1;
}

std::uint64_t PackChunkBytes(std::uint32_t blockLength) {
    if (blockLength == 0) return PIECE_BYTES;
    return blockLength >= PIECE_BYTES ? blockLength : PIECE_BYTES / blockLength * blockLength;
}

int AddResource(PackWriter* writer, const std::string& name, std::uint32_t kind,
                std::uint32_t blockLength, int level, const PackSource& source,
                std::string* error) {
    if (!BeginResource(writer, name, kind, blockLength, source.size, error)) return 0;
    if (writer->current.kind == KIND_DEFLATED) {
        // The source is read a whole number of blocks at a time.
        const std::uint64_t chunk = PackChunkBytes(blockLength);
        for (std::uint64_t at = 0; at < source.size; at += chunk) {
            const std::uint64_t left = source.size - at;
            const std::uint64_t count = left < chunk ? left : chunk;
            const char* bytes = ReadPiece(writer, source, at, count, &writer->raw);
            if (!bytes) {
                *error = "cannot read all of " + name + writer->failure;
                return 0;
            }
            if (!DeflateBlocks(bytes, count, blockLength, level, &writer->packed, &writer->ends)) {
                *error = "cannot deflate " + name + ": out of memory";
                return 0;
            }
            const int put = PutBlocks(writer, writer->packed.data(), writer->ends.data(),
                                      writer->ends.size(), error);
            if (put == PUT_FAILED) return 0;
            if (put == PUT_STORED) break;
        }
    }
    return EndResource(writer, source, error);
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
    if (!ok) *error = "cannot write " + writer->path + (writer->failure.empty() ? LastErrorSuffix() : writer->failure);
    if (ok && writer->flush) {
        ok = writer->file.Flush();
        if (!ok) *error = "cannot flush " + writer->path + " to the disk" + LastErrorSuffix();
    }
    if (writer->keepOpen) {
        if (ok) error->clear();
        return ok;
    }
    if (!writer->file.Close() && ok) {
        *error = "cannot write " + writer->path + LastErrorSuffix();
        ok = 0;
    }
    if (ok) error->clear();
    return ok;
}

void CancelPackFile(PackWriter* writer) {
    writer->file.Close();
    std::remove(writer->path.c_str());
}

int CopySource(DiskFile& out, const PackSource& source) {
    std::string scratch;
    return ForEachPiece(source.size, PIECE_BYTES, [&](std::uint64_t at, std::uint64_t count) {
        const char* piece = ReadSource(source, at, count, &scratch);
        return piece && WriteAll(out, piece, count);
    });
}

std::string LastErrorSuffix() {
    const int code = LastError();
    return code ? ": " + ErrorText(code) : "";
}

}  // namespace rux
