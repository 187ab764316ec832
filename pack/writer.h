// Making resource files.
//
// The writer lays a resource file out as the 8-byte header, the data of
// every stored and deflated resource (in the region the header's skip
// passes over, so every offset is known as soon as the data is placed),
// then the directory, names and block offset tables, each deflated.
//
// One core serves two ways of writing. A PackWriter with an open file
// streams: the header goes out first, each resource's data is written as it
// is read, the tables follow, and the skip field is patched last, so memory
// use does not grow with the data. Without a file the same core builds the
// data region in memory (LayoutResources), for tests and small examples
// that want the bytes themselves.
//
// Nothing here prints or throws; failures come back as 0 with a message.
#ifndef RUX_PACK_WRITER_H
#define RUX_PACK_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/disk_file.h"
#include "resource/format.h"

namespace rux {

// Every offset the format records is 32 bits: data must end below this.
constexpr std::uint64_t PACK_OFFSET_LIMIT = std::uint64_t(1) << 32;

struct PackResource {
    std::string name;
    std::uint32_t kind = KIND_DEFLATED;  // any value; only 1, 2 and 8 carry data
    std::string data;                    // loose: the loose file's contents
    std::uint32_t blockLength = 65536;   // deflated only; must be at least 1
    int level = 6;                       // for the blocks, 0 to MaxPackLevel()
};

// A resource file before its tables are packed.
struct ResourceImage {
    std::string data;  // the skip region: bytes from offset 8 up to the tables
    std::vector<DirectoryRecord> records;
    std::string names;  // NUL-terminated names, back to back
    std::vector<std::uint32_t> blockOffsets;
};

// Where a resource's bytes come from: size bytes of memory at bytes, or,
// when file is set, the first size bytes of that open file (read from
// offset 0, as often as the writer needs them).
struct PackSource {
    const char* bytes = nullptr;
    std::uint64_t size = 0;
    DiskFile* file = nullptr;
};
PackSource MemorySource(const std::string& bytes);
// size is the file's size now; -1 from Size() gives an empty source.
PackSource FileSource(DiskFile* file);

// The state of one resource file being written.
struct PackWriter {
    ResourceImage image;  // tables so far; the data region too when not streaming
    DiskFile file;        // streaming: data goes here; invalid: into image.data
    std::string path;     // of file
    std::uint64_t end = FILE_HEADER_BYTES;  // offset of the next data byte
    // Offsets must stay below this; tests lower it to reach the limit cheaply.
    std::uint64_t offsetLimit = PACK_OFFSET_LIMIT;
    // When set, a deflated resource whose blocks together are not smaller
    // than its data is written as KIND_STORED instead.
    int storeUnshrunk = 0;
    // When set, FinishPackFile makes the file durable (flushed to the disk)
    // before it closes it, so that a rename that follows cannot leave an
    // empty file after a power cut.
    int flush = 0;
    // When set, FinishPackFile leaves the file open for the caller, who
    // gives it its name and closes it (an unnamed temporary, say).
    int keepOpen = 0;
    // No table may inflate to more than this; tests lower it.
    std::uint64_t tableLimit = MAX_TABLE_BYTES;
    std::string raw, packed;  // scratch: data read from a source; its deflated blocks
    std::vector<std::uint32_t> ends;  // scratch: where each block of packed ends
    // The resource being placed (BeginResource to EndResource).
    struct Current {
        std::string name;
        std::uint32_t kind = 0;  // as it will be recorded: deflated may become stored
        std::uint64_t size = 0;
        std::uint32_t blockLength = 0;
        std::uint64_t start = 0;       // where its data begins
        std::size_t firstBlock = 0;    // its first entry in the block offsets
    } current;
    std::string pending;  // streaming: data not yet handed to file
    // The last failure: whether it was the source's (a read) rather than
    // the file's, and ": REASON" (the system's text), or "".
    int readFailed = 0;
    std::string failure;
};

// The bytes the three tables inflate to.
struct TableSizes {
    std::uint64_t directory = 0;
    std::uint64_t names = 0;
    std::uint64_t blockOffsets = 0;
};

// Adds to sizes the most that AddResource can put in the tables for one
// resource: a record, the name and its NUL, and for a deflated resource
// one block offset per block and one more for the end. Callers check a
// whole file's tables against MAX_TABLE_BYTES before writing any of it.
void CountResource(TableSizes* sizes, std::size_t nameBytes, std::uint32_t kind,
                   std::uint64_t size, std::uint32_t blockLength);

// The compressor this build deflates with: "libdeflate" (levels 0 to 12)
// where it is the back end, else "zlib" (levels 0 to 9). Each gives its own
// bytes, always the same for the same input and level.
const char* DeflateBackEnd();
int MaxPackLevel();

// One complete zlib stream of bytes at the given level (0 to MaxPackLevel());
// empty if it cannot be made.
std::string DeflateZlib(const std::string& bytes, int level);

// Starts streaming a resource file at path (created, or truncated; with
// exclusive, only created, failing when anything has that name): writes the
// header with a skip to be patched. 1 on success; 0 with a message.
int BeginPackFile(PackWriter* writer, const std::string& path, std::string* error, int exclusive = 0);

// The same on file, already open for writing and empty, which the writer
// then holds; path names it in messages.
int BeginPackFileOn(PackWriter* writer, const DiskFile& file, const std::string& path, std::string* error);

// Places one resource: its data is read from source and written at the
// writer's end (stored, or deflated in blocks of blockLength at level), and
// its record is appended to writer->image.records, which then shows the
// kind and size actually written. Loose resources and other kinds get a
// record of size source.size and no data. 0 with a message, leaving the
// writer fit only for CancelPackFile, when blockLength is 0 for a deflated
// resource, the size does not fit 32 bits, the data would reach
// offsetLimit, the source gives fewer than size bytes ("cannot read all of
// NAME: REASON"), or a write fails ("cannot write PATH: REASON").
int AddResource(PackWriter* writer, const std::string& name, std::uint32_t kind,
                std::uint32_t blockLength, int level, const PackSource& source,
                std::string* error);

// The same in steps, for a caller that deflates the blocks elsewhere (on
// worker threads, say) and hands them over in order: BeginResource, then,
// while writer->current.kind is KIND_DEFLATED, PutBlocks with the next
// blocks, then EndResource. The bytes are those AddResource writes when the
// blocks are DeflateBlocks' of consecutive chunks.
//
// BeginResource refuses what AddResource refuses before reading; 0 with a
// message.
int BeginResource(PackWriter* writer, const std::string& name, std::uint32_t kind,
                  std::uint32_t blockLength, std::uint64_t size, std::string* error);

enum PutResult { PUT_FAILED = 0, PUT_DONE = 1, PUT_STORED = 2 };
// Appends count deflated blocks, block k being packed[ends[k-1], ends[k])
// (ends[-1] being 0). PUT_STORED when, with storeUnshrunk, the blocks will
// not end up smaller than the data: they are dropped and the resource is
// to be stored, so no more blocks are wanted. PUT_FAILED with a message.
int PutBlocks(PackWriter* writer, const char* packed, const std::uint32_t* ends, std::size_t count,
              std::string* error);

// Ends the resource, writing its data from source when it is stored, and
// appends its record. 1, or 0 with a message.
int EndResource(PackWriter* writer, const PackSource& source, std::string* error);

// How many bytes of a source AddResource reads at once: a whole number of
// blocks, 1 MiB or one block, whichever is larger.
std::uint64_t PackChunkBytes(std::uint32_t blockLength);

// Deflates count bytes as consecutive blocks of blockLength (the last may
// be shorter) at level: their bytes back to back in *packed, where each
// ends in *ends. May run on any thread. 1, or 0 when a block could not be
// deflated (no memory).
int DeflateBlocks(const char* bytes, std::uint64_t count, std::uint32_t blockLength, int level,
                  std::string* packed, std::vector<std::uint32_t>* ends);

// Writes the tables deflated at level after the data, patches the skip
// field, flushes the file when writer->flush is set, and closes it. 1 on
// success; 0 with a message (the file is then closed but incomplete), also
// when a table would inflate past writer->tableLimit.
int FinishPackFile(PackWriter* writer, int level, std::string* error);

// Closes and removes a file that will not be finished.
void CancelPackFile(PackWriter* writer);

// Lays out resources in order, in memory. 1 on success; 0 with a message
// in *error when a deflated resource has block length 0 or an offset would
// reach 4 GiB.
int LayoutResources(const std::vector<PackResource>& resources, ResourceImage* image,
                    std::string* error);

// The little-endian bytes of 32-bit offsets.
std::string EncodeOffsets(const std::vector<std::uint32_t>& offsets);

// The three packed tables of an image, back to back, deflated at level.
std::string EncodeTables(const ResourceImage& image, int level = 6);

// Copies all of source to the end of an open file. 1 if every byte was
// read and written.
int CopySource(DiskFile& out, const PackSource& source);

// Creates the directories that the separators ('/' or '\') of path imply,
// looking only at those from index from on. Existing ones are fine.
void MakeParentDirectories(const std::string& path, std::size_t from);

// Streams the resource file to path, and writes each loose resource's file
// at path immediately followed by its name (creating the directories that
// name implies). 1 on success; 0 with a message in *error.
int WriteResourceFile(const std::string& path, const std::vector<PackResource>& resources,
                      std::string* error);

// ": " and the reason kept by the platform call that just failed
// (LastError), or "" when it kept none: the tail of a failure's message.
std::string LastErrorSuffix();

}  // namespace rux

#endif
