#include "pack/pack.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "pack/writer.h"
#include "platform/output_dir.h"
#include "common/workers.h"
#include "resource/blocks.h"
#include "resource/inflate.h"
#include "resource/set.h"

namespace fs = std::filesystem;

namespace rux {
namespace {


// A file being written as a temporary in the directory of its path, which
// gets that name only when complete.
struct Temporary {
    FileHandle dir = INVALID_FILE_HANDLE;
    int slot = -1;
    DiskFile file;
    std::size_t start = 0;  // where the file's own name begins in path
};

// Begins the temporary for path: 1, or 0 with a message.
bool BeginTemporary(const std::string& path, Temporary* t, std::string* error) {
    const std::size_t cut = path.find_last_of(
#ifdef _WIN32
        "/\\"
#else
        "/"
#endif
    );
    t->start = cut == std::string::npos ? 0 : cut + 1;
    const std::string directory = t->start == 0 ? "." : path.substr(0, t->start);
    if (!OpenDirectory(directory.c_str(), &t->dir)) {
        *error = "cannot write " + path + LastErrorSuffix();
        return false;
    }
    t->slot = CreateTemporary(t->dir, path.c_str(), t->start, &t->file);
    if (t->slot < 0) {
        *error = "cannot create a temporary file beside " + path + LastErrorSuffix();
        CloseDirectory(t->dir);
        return false;
    }
    return true;
}

// Drops the temporary: nothing of it is left.
void AbortTemporaryFile(Temporary* t) {
    t->file.Close();
    AbortTemporary(t->slot);
    CloseDirectory(t->dir);
}

// Gives the complete (and flushed) temporary its name, replacing a file of
// that name, then makes the new name itself durable.
bool CommitTemporaryFile(Temporary* t, const std::string& path, std::string* error) {
    const CommitResult committed = CommitTemporary(t->slot, &t->file, path.c_str(), t->start, 1);
    const int reason = LastError();
    CloseDirectory(t->dir);
    if (committed != CommitResult::Done) {
        KeepError(reason);
        *error = "cannot write " + path + LastErrorSuffix();
        return false;
    }
    const std::string directory = t->start == 0 ? "." : path.substr(0, t->start);
    if (!SyncDirectory(directory.c_str())) {
        *error = "cannot flush directory " + directory + " to the disk" + LastErrorSuffix();
        return false;
    }
    return true;
}

// Copies a loose resource to its place, by way of a temporary file.
bool WriteLoose(const std::string& out, const std::string& name, const PackSource& source,
                std::string* error) {
    const std::string path = NativePath(out + name);
    MakeParentDirectories(path, NativePath(out).size());
    Temporary t;
    if (!BeginTemporary(path, &t, error)) return false;
    KeepError(0);
    if (!CopySource(t.file, source) || !t.file.Flush()) {
        *error = "cannot write loose file " + path + LastErrorSuffix();
        AbortTemporaryFile(&t);
        return false;
    }
    return CommitTemporaryFile(&t, path, error);
}

// What a file looked like when its reading began: any change by its end
// means the bytes packed may be of no one moment.
struct FileState {
    std::int64_t size = -1;
    std::int64_t modified = 0;
    bool known = false;
};

FileState StateOf(DiskFile& file) {
    FileState state;
    state.known = file.Stamp(&state.size, &state.modified) != 0;
    return state;
}

bool Changed(const FileState& before, DiskFile& file) {
    if (!before.known) return false;
    const FileState after = StateOf(file);
    return !after.known || after.size != before.size || after.modified != before.modified;
}

// Reads count bytes at offset into buffer. 1 if all came.
bool ReadFully(DiskFile& file, std::uint64_t offset, char* buffer, std::uint64_t count) {
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t left = count - done;
        const std::uint32_t ask = static_cast<std::uint32_t>(left < (1u << 30) ? left : (1u << 30));
        const std::uint32_t got = file.ReadAt(buffer + done, ask, static_cast<std::int64_t>(offset + done));
        if (got == 0) return false;
        done += got;
    }
    return true;
}

// ----- the file an update starts from -----

// A deflated resource of the old file whose blocks may be reused.
struct OldResource {
    std::uint32_t size = 0;
    std::uint32_t blockLength = 0;
    std::uint32_t first = 0;   // its first entry in offsets
    std::uint32_t blocks = 0;  // how many it has
};

struct OldFile {
    DiskFile file;
    std::vector<std::uint32_t> offsets;  // the block offset table
    std::map<std::string, OldResource> byName;
};

// Reads the tables of the resource file at path; resources whose blocks do
// not lie in order inside the file are not kept (they are packed afresh).
// 1, or 0 with why it is not a readable resource file.
bool LoadOldFile(const std::string& path, OldFile* old, std::string* error) {
    {
        // The library's own checks, and its words for what is wrong.
        ResourceSet set;
        const MountResult mounted = set.Mount(path.c_str());
        if (!mounted.ok()) {
            *error = "cannot update " + path + ": " + MountErrorText(mounted);
            return false;
        }
    }
    const auto fail = [&](const std::string& why) {
        *error = "cannot update " + path + ": " + why;
        return false;
    };
    if (!old->file.Open(path.c_str(), 0)) return fail("cannot open it" + LastErrorSuffix());
    std::uint8_t headerBytes[FILE_HEADER_BYTES];
    FileHeader header;
    if (old->file.Read(headerBytes, FILE_HEADER_BYTES) != FILE_HEADER_BYTES ||
        !DecodeFileHeader(headerBytes, &header) ||
        old->file.Seek(std::int64_t(FILE_HEADER_BYTES) + header.skip, SEEK_FROM_BEGIN) < 0) {
        return fail("not a resource file");
    }
    std::unique_ptr<std::uint8_t[]> tables[3];
    PackedTableHeader headers[3];
    for (int i = 0; i < 3; ++i) {
        TableError why = TableError::NONE;
        tables[i].reset(ReadPackedTable(old->file, &headers[i], &why));
        if (!tables[i]) return fail(std::string("a table cannot be read: ") + TableErrorText(why));
    }
    const std::int64_t fileSize = old->file.Size();
    const std::uint64_t names = std::uint64_t(headers[1].count) * headers[1].elementSize;
    const char* nameBytes = reinterpret_cast<const char*>(tables[1].get());
    old->offsets.resize(std::uint64_t(headers[2].count) * headers[2].elementSize / BLOCK_OFFSET_BYTES);
    for (std::size_t i = 0; i < old->offsets.size(); ++i) {
        old->offsets[i] = LoadLE32(tables[2].get() + i * BLOCK_OFFSET_BYTES);
    }
    const std::uint64_t records = std::uint64_t(headers[0].count) * headers[0].elementSize / DIRECTORY_RECORD_BYTES;
    for (std::uint64_t r = 0; r < records; ++r) {
        DirectoryRecord record;
        DecodeDirectoryRecord(tables[0].get() + r * DIRECTORY_RECORD_BYTES, &record);
        if (record.kind != KIND_DEFLATED || record.blockLength == 0 || record.nameOffset >= names) continue;
        const void* end = std::memchr(nameBytes + record.nameOffset, '\0', names - record.nameOffset);
        if (!end) continue;
        OldResource resource;
        resource.size = record.size;
        resource.blockLength = record.blockLength;
        resource.first = record.placement;
        resource.blocks = static_cast<std::uint32_t>((std::uint64_t(record.size) + record.blockLength - 1) /
                                                     record.blockLength);
        if (std::uint64_t(resource.first) + resource.blocks >= old->offsets.size()) continue;
        bool inOrder = true;
        for (std::uint32_t k = 0; k < resource.blocks && inOrder; ++k) {
            inOrder = old->offsets[resource.first + k] <= old->offsets[resource.first + k + 1];
        }
        inOrder = inOrder && std::int64_t(old->offsets[resource.first + resource.blocks]) <= fileSize;
        if (!inOrder) continue;
        // Names met twice keep the first.
        old->byName.emplace(std::string(nameBytes + record.nameOffset), resource);
    }
    return true;
}

// ----- pieces of work -----

// One resource from its first read to its record.
struct Flight {
    const PackEntry* entry = nullptr;
    std::uint32_t kind = 0;
    DiskFile file;
    bool opened = false;
    FileState before;
    PackSource source;
    std::string error;           // the reader's failure, told when its turn comes
    const OldResource* old = nullptr;  // update: the old resource of that name
    bool begun = false;          // BeginResource done
    bool stored = false;         // it turned out not to shrink: no more chunks wanted
    std::uint64_t counted = 0;   // bytes told to progress
};

// A chunk of a deflated resource, or (end) the mark that its chunks are
// all read.
struct Piece {
    std::shared_ptr<Flight> flight;
    bool end = false;
    std::uint64_t at = 0;  // offset of raw in the resource
    // The bytes read, left unset until read (no zeroing of what the read
    // fills at once).
    std::unique_ptr<char[]> raw;
    std::size_t rawSize = 0;
    // Update: the old file's blocks from block number oldFirst on, back to
    // back, each ending at oldEnds[k]; the old resource's size.
    std::string old;
    std::vector<std::uint32_t> oldEnds;
    std::uint64_t oldFirst = 0;
    std::uint64_t oldSize = 0;
    // Filled in by whichever thread works it.
    std::string packed;
    std::vector<std::uint32_t> ends;
    std::uint64_t reused = 0, deflated = 0;
    bool ok = false;
    bool done = false;  // under the pool's lock
};

// Deflates (or, where the old block inflates to the same bytes, copies) the
// blocks of a piece.
void Work(Piece* piece, std::uint32_t blockLength, int level) {
    const std::uint64_t count = piece->rawSize;
    if (piece->oldEnds.empty()) {
        piece->ok = DeflateBlocks(piece->raw.get(), count, blockLength, level, &piece->packed, &piece->ends) != 0;
        piece->deflated = piece->ends.size();
        return;
    }
    thread_local std::string inflated, one;
    thread_local std::vector<std::uint32_t> oneEnds;
    piece->packed.clear();
    piece->ends.clear();
    const std::uint64_t firstBlock = piece->at / blockLength;
    for (std::uint64_t at = 0, k = 0; at < count; at += blockLength, ++k) {
        const std::uint64_t left = count - at;
        const std::uint64_t length = left < blockLength ? left : blockLength;
        const char* bytes = piece->raw.get() + at;
        const std::uint64_t oldBlock = firstBlock + k;  // its number in the resource
        bool reused = false;
        if (oldBlock >= piece->oldFirst && oldBlock - piece->oldFirst < piece->oldEnds.size()) {
            const std::size_t j = static_cast<std::size_t>(oldBlock - piece->oldFirst);
            const std::uint64_t oldStart = oldBlock * blockLength;
            const std::uint64_t oldLeft = piece->oldSize - oldStart;
            const std::uint64_t oldLength = oldLeft < blockLength ? oldLeft : blockLength;
            const std::uint32_t from = j == 0 ? 0 : piece->oldEnds[j - 1];
            if (oldLength == length) {
                inflated.resize(static_cast<std::size_t>(length) + 1);
                reused = InflateExact(reinterpret_cast<const std::uint8_t*>(piece->old.data()) + from,
                                      piece->oldEnds[j] - from, reinterpret_cast<std::uint8_t*>(&inflated[0]),
                                      static_cast<std::uint32_t>(length)) &&
                         std::memcmp(inflated.data(), bytes, static_cast<std::size_t>(length)) == 0;
            }
            if (reused) piece->packed.append(piece->old, from, piece->oldEnds[j] - from);
        }
        if (!reused) {
            if (!DeflateBlocks(bytes, length, blockLength, level, &one, &oneEnds)) return;
            piece->packed.append(one);
        }
        ++(reused ? piece->reused : piece->deflated);
        piece->ends.push_back(static_cast<std::uint32_t>(piece->packed.size()));
    }
    piece->ok = true;
}

// Worker threads that take pieces in the order given; the thread that
// submits them may work them too (RunOne).
class Pool {
public:
    Pool(int workers, std::uint32_t blockLength, int level) : blockLength_(blockLength), level_(level) {
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Serve(); });
    }
    ~Pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            queue_.clear();
        }
        work_.notify_all();
        for (std::thread& t : threads_) t.join();
    }
    void Submit(Piece* piece) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(piece);
        }
        work_.notify_one();
    }
    void Wait(Piece* piece) {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [piece] { return piece->done; });
    }
    bool Done(Piece* piece) {
        std::lock_guard<std::mutex> lock(mutex_);
        return piece->done;
    }
    // Works the oldest piece no worker has taken on the calling thread. 1
    // if there was one.
    bool RunOne() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (queue_.empty()) return false;
        WorkFront(lock);
        return true;
    }

private:
    void Serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            WorkFront(lock);
        }
    }
    // Takes the oldest queued piece and works it with the lock let go.
    void WorkFront(std::unique_lock<std::mutex>& lock) {
        Piece* piece = queue_.front();
        queue_.pop_front();
        lock.unlock();
        Work(piece, blockLength_, level_);
        lock.lock();
        piece->done = true;
        finished_.notify_all();
    }
    const std::uint32_t blockLength_;
    const int level_;
    std::mutex mutex_;
    std::condition_variable work_, finished_;
    std::deque<Piece*> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

// Whether the old file's blocks are what this build makes at this level:
// the longest first blocks of the resources that may be reused are
// inflated and deflated again, and must come out the same. An update that
// reused blocks of another level would not give a fresh pack's bytes.
bool SameCompressor(const OldFile& old, const PackOptions& options,
                    const std::vector<PackEntry>& entries) {
    std::vector<const OldResource*> candidates;
    for (const PackEntry& entry : entries) {
        const auto found = old.byName.find(entry.name);
        if (found != old.byName.end() && found->second.blockLength == options.blockSize &&
            found->second.blocks > 0) {
            candidates.push_back(&found->second);
        }
    }
    const auto firstLength = [](const OldResource* r) { return std::min(r->size, r->blockLength); };
    std::stable_sort(candidates.begin(), candidates.end(), [&](const OldResource* a, const OldResource* b) {
        return firstLength(a) > firstLength(b);
    });
    if (candidates.size() > 8) candidates.resize(8);
    DiskFile& file = const_cast<DiskFile&>(old.file);
    for (const OldResource* r : candidates) {
        const std::uint32_t from = old.offsets[r->first], to = old.offsets[r->first + 1];
        const std::uint32_t length = firstLength(r);
        if (to - from > MaxInflatedLength(0) + std::uint64_t(length) * 2) return false;
        std::string packed(to - from, '\0'), inflated(length + std::size_t(1), '\0'), again;
        std::vector<std::uint32_t> ends;
        if (!ReadFully(file, from, &packed[0], packed.size()) ||
            !InflateExact(reinterpret_cast<const std::uint8_t*>(packed.data()), to - from,
                          reinterpret_cast<std::uint8_t*>(&inflated[0]), length) ||
            !DeflateBlocks(inflated.data(), length, r->blockLength, options.level, &again, &ends) ||
            again != packed) {
            return false;
        }
    }
    return true;
}

}  // namespace

int PackEntries(const PackOptions& options, const std::vector<PackEntry>& entries,
                const PackCallbacks& callbacks, PackStats* stats, std::string* error) {
    PackStats ignored;
    if (!stats) stats = &ignored;
    *stats = PackStats();
    const std::string out = NativePath(options.out);
    const std::uint32_t blockLength = options.blockSize;
    if (blockLength == 0 || blockLength > MAX_BLOCK_BYTES) {
        *error = "block size " + std::to_string(blockLength) + " is not from 1 to " + std::to_string(MAX_BLOCK_BYTES);
        return 0;
    }
    if (options.level < 0 || options.level > MaxPackLevel()) {
        *error = "level " + std::to_string(options.level) + " is not from 0 to " + std::to_string(MaxPackLevel()) +
                 ", the levels of " + DeflateBackEnd();
        return 0;
    }

    OldFile old;
    bool reuse = false;
    std::error_code ec;
    if (options.update && fs::exists(fs::symlink_status(out, ec))) {
        if (!LoadOldFile(out, &old, error)) return 0;
        reuse = SameCompressor(old, options, entries);
        if (!reuse && !old.byName.empty()) {
            stats->notReused = options.out + " was not packed by this build at level " +
                               std::to_string(options.level) + ": every block is deflated again";
        }
    }

    PackWriter writer;
    writer.storeUnshrunk = 1;
    writer.flush = 1;
    writer.keepOpen = 1;
    Temporary temporary;
    if (!BeginTemporary(out, &temporary, error)) return 0;
    if (!BeginPackFileOn(&writer, temporary.file, out, error)) {
        temporary.file = writer.file;
        AbortTemporaryFile(&temporary);
        return 0;
    }

    const int jobs = std::max(1, std::min(options.jobs > 0 ? options.jobs : DefaultWorkers(), MAX_WORKERS));
    const std::uint64_t chunk = PackChunkBytes(blockLength);
    // The window: enough pieces to keep every thread busy on small files,
    // and no more bytes than about two chunks per thread.
    const std::size_t maxPieces = static_cast<std::size_t>(std::min(16 * jobs + 16, 1024));
    const std::uint64_t maxBytes = (std::uint64_t(jobs) + 2) * chunk;

    // Declared before the pool, so that the workers are gone first.
    std::deque<std::unique_ptr<Piece>> window;
    std::uint64_t windowBytes = 0;
    Pool pool(jobs - 1, blockLength, options.level);

    // Places the oldest piece. false with *error when the pack must end.
    const auto commit = [&]() -> bool {
        std::unique_ptr<Piece> piece = std::move(window.front());
        window.pop_front();
        windowBytes -= piece->rawSize + piece->old.size();
        // Whatever comes of it, no worker may still hold the piece.
        if (!piece->end) {
            // Rather than sleep, this thread works pieces itself until its
            // own is done or taken by a worker.
            while (!pool.Done(piece.get()) && pool.RunOne()) {
            }
            pool.Wait(piece.get());
        }
        Flight& f = *piece->flight;
        const PackEntry& entry = *f.entry;
        if (!f.begun) {
            f.begun = true;
            if (!f.opened) {
                *error = f.error;
                return false;
            }
            if (!BeginResource(&writer, entry.name, f.kind, blockLength, f.source.size, error)) return false;
        }
        if (!piece->end) {
            if (writer.current.kind != KIND_DEFLATED) return true;  // stored after all
            if (!piece->ok) {
                *error = "cannot deflate " + entry.name + ": out of memory";
                return false;
            }
            const int put = PutBlocks(&writer, piece->packed.data(), piece->ends.data(), piece->ends.size(), error);
            if (put == PUT_FAILED) return false;
            if (put == PUT_STORED) f.stored = true;
            stats->reusedBlocks += piece->reused;
            stats->deflatedBlocks += piece->deflated;
            if (put == PUT_DONE && callbacks.progress) callbacks.progress(piece->rawSize);
            if (put == PUT_DONE) f.counted += piece->rawSize;
            return true;
        }
        if (!f.error.empty()) {
            *error = f.error;
            return false;
        }
        if (!EndResource(&writer, f.source, error)) return false;
        if (f.kind == KIND_LOOSE && !WriteLoose(options.out, entry.name, f.source, error)) return false;
        // A file that grew, shrank or was written to while it was read.
        if (Changed(f.before, f.file)) {
            *error = entry.path + " changed as it was read";
            return false;
        }
        f.file.Close();
        if (callbacks.progress && f.source.size > f.counted) callbacks.progress(f.source.size - f.counted);
        if (callbacks.packed) callbacks.packed(entry, writer.image.records.back());
        return true;
    };
    // Makes room for a piece of the given bytes.
    const auto room = [&](std::uint64_t bytes) -> bool {
        while (!window.empty() && (window.size() >= maxPieces || windowBytes + bytes > maxBytes)) {
            if (!commit()) return false;
        }
        return true;
    };
    const auto push = [&](std::unique_ptr<Piece> piece) {
        windowBytes += piece->rawSize + piece->old.size();
        if (!piece->end) pool.Submit(piece.get());
        window.push_back(std::move(piece));
    };

    bool ok = true;
    for (std::size_t i = 0; ok && i < entries.size(); ++i) {
        const PackEntry& entry = entries[i];
        auto flight = std::make_shared<Flight>();
        flight->entry = &entry;
        flight->kind = PackKind(options, entry);
        flight->opened = flight->file.Open(entry.path.c_str(), 0) != 0;
        if (!flight->opened) flight->error = "cannot open " + entry.path + LastErrorSuffix();
        if (flight->opened) {
            flight->before = StateOf(flight->file);
            flight->source.file = &flight->file;
            flight->source.size = flight->before.known ? static_cast<std::uint64_t>(flight->before.size) : 0;
            if (reuse) {
                const auto found = old.byName.find(entry.name);
                if (found != old.byName.end() && found->second.blockLength == blockLength) {
                    flight->old = &found->second;
                }
            }
        }
        // Deflated data is read here, a chunk at a time, and deflated on
        // the pool; a size past 32 bits is refused when its turn comes.
        const std::uint64_t size = flight->source.size;
        if (flight->opened && flight->kind == KIND_DEFLATED && size <= UINT32_MAX) {
            for (std::uint64_t at = 0; at < size; at += chunk) {
                const std::uint64_t count = std::min(chunk, size - at);
                if (!(ok = room(count))) break;
                if (flight->stored) break;
                auto piece = std::make_unique<Piece>();
                piece->flight = flight;
                piece->at = at;
                piece->rawSize = static_cast<std::size_t>(count);
                piece->raw.reset(new char[piece->rawSize]);
                KeepError(0);
                if (!ReadFully(flight->file, at, piece->raw.get(), count)) {
                    flight->error = "cannot read all of " + entry.name +
                                    (LastError() ? LastErrorSuffix() : ": the file ended before its size when listed");
                    break;
                }
                if (const OldResource* r = flight->old) {
                    // The old blocks of the same numbers, where it had them.
                    const std::uint64_t first = at / blockLength;
                    const std::uint64_t last = std::min<std::uint64_t>((at + count + blockLength - 1) / blockLength, r->blocks);
                    if (first < last) {
                        const std::uint32_t from = old.offsets[r->first + first];
                        const std::uint32_t to = old.offsets[r->first + last];
                        // Blocks far larger than their data are not deflate's.
                        if (to - from <= count + count / 8 + 1024 * (last - first)) {
                            piece->old.resize(to - from);
                            if (ReadFully(old.file, from, &piece->old[0], to - from)) {
                                for (std::uint64_t k = first; k < last; ++k) {
                                    piece->oldEnds.push_back(old.offsets[r->first + k + 1] - from);
                                }
                                piece->oldFirst = first;
                                piece->oldSize = r->size;
                            } else {
                                piece->old.clear();
                            }
                        }
                    }
                }
                push(std::move(piece));
            }
        }
        if (!ok) break;
        auto end = std::make_unique<Piece>();
        end->flight = flight;
        end->end = true;
        ok = room(0);
        if (ok) push(std::move(end));
    }
    while (ok && !window.empty()) ok = commit();
    old.file.Close();
    if (ok) ok = FinishPackFile(&writer, options.level, error) != 0;
    temporary.file = writer.file;
    if (!ok) {
        AbortTemporaryFile(&temporary);
        return 0;
    }
    return CommitTemporaryFile(&temporary, out, error) ? 1 : 0;
}

int CheckPackPaths(const PackOptions& options, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(NativePath(options.dir), ec)) {
        *error = options.dir + " is not a directory";
        return 0;
    }
    if (fs::is_directory(NativePath(options.out), ec)) {
        *error = options.out + " is a directory, not a resource file name";
        return 0;
    }
    return 1;
}

int PackDirectory(const PackOptions& options, const PackCallbacks& callbacks,
                  std::vector<PackWarning>* warnings, std::vector<std::string>* refusals,
                  PackStats* stats, std::string* error) {
    if (!CheckPackPaths(options, error)) return 0;
    std::vector<PackEntry> entries;
    if (!WalkPackTree(options, &entries, warnings, error)) return 0;
    *refusals = PackRefusals(options, entries);
    if (!refusals->empty()) {
        *error = "refused";
        return 0;
    }
    return PackEntries(options, entries, callbacks, stats, error);
}

}  // namespace rux
