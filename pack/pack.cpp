#include "pack/pack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <system_error>

#include "pack/files.h"
#include "pack/old_file.h"
#include "pack/pieces.h"
#include "pack/writer.h"
#include "platform/output_dir.h"
#include "common/workers.h"
#include "resource/blocks.h"

namespace fs = std::filesystem;

namespace rux {
namespace {

// One pack: the resources read in chunks on the calling thread, deflated
// on the pool, and placed in order from the window of pieces in flight.
class Packer {
public:
    Packer(const PackOptions& options, const std::vector<PackEntry>& entries, const PackCallbacks& callbacks,
           PackStats* stats, std::string* error)
        : options_(options), entries_(entries), callbacks_(callbacks), stats_(stats), error_(error) {}

    int Run();

private:
    // Keeps what failed: the path it concerns and the system's error, then
    // false (the message is in *error_ already).
    bool Failed(const std::string& path, int code) {
        stats_->failure.path = path;
        stats_->failure.error = code;
        return false;
    }
    bool Failed(const std::string& path) { return Failed(path, LastError()); }
    bool Stopped() {
        if (!StopRequested(options_.stop)) return false;
        stats_->stopped = true;
        *error_ = "stopped";
        return true;
    }
    bool Commit();
    bool Room(std::uint64_t bytes);
    void Push(std::unique_ptr<Piece> piece);
    bool ReadResource(const PackEntry& entry);
    void AddOldBlocks(Piece& piece, const OldResource& r);

    const PackOptions& options_;
    const std::vector<PackEntry>& entries_;
    const PackCallbacks& callbacks_;
    PackStats* stats_;
    std::string* error_;
    std::string out_;
    std::uint32_t blockLength_ = 0;
    std::uint64_t chunk_ = 0;
    std::size_t maxPieces_ = 0;
    std::uint64_t maxBytes_ = 0;
    OldFile old_;
    bool reuse_ = false;
    PackWriter writer_;
    TemporaryTableHold temporaries_;  // of this pack's own
    // Declared before the pool, so that the workers are gone first.
    std::deque<std::unique_ptr<Piece>> window_;
    std::uint64_t windowBytes_ = 0;
    std::unique_ptr<Pool> pool_;
};

// Places the oldest piece. false with *error when the pack must end.
bool Packer::Commit() {
    std::unique_ptr<Piece> piece = std::move(window_.front());
    window_.pop_front();
    windowBytes_ -= piece->rawSize + piece->old.size();
    // Whatever comes of it, no worker may still hold the piece.
    if (!piece->end) {
        // Rather than sleep, this thread works pieces itself until its
        // own is done or taken by a worker.
        while (!pool_->Done(piece.get()) && pool_->RunOne()) {
        }
        pool_->Wait(piece.get());
    }
    if (Stopped()) return false;
    Flight& f = *piece->flight;
    const PackEntry& entry = *f.entry;
    if (!f.begun) {
        f.begun = true;
        if (!f.opened) {
            *error_ = f.error;
            return Failed(entry.path, f.errorCode);
        }
        if (!BeginResource(&writer_, entry.name, f.kind, blockLength_, f.source.size, error_)) return Failed(out_);
    }
    if (!piece->end) {
        if (writer_.current.kind != KIND_DEFLATED) return true;  // stored after all
        if (!piece->ok) {
            *error_ = "cannot deflate " + entry.name + ": out of memory";
            return Failed(entry.path, ENOMEM);
        }
        const int put = PutBlocks(&writer_, piece->packed.data(), piece->ends.data(), piece->ends.size(), error_);
        if (put == PUT_FAILED) return Failed(out_);
        if (put == PUT_STORED) f.stored = true;
        stats_->reusedBlocks += piece->reused;
        stats_->deflatedBlocks += piece->deflated;
        if (put == PUT_DONE && callbacks_.progress) callbacks_.progress(piece->rawSize);
        if (put == PUT_DONE) f.counted += piece->rawSize;
        return true;
    }
    if (!f.error.empty()) {
        *error_ = f.error;
        return Failed(entry.path, f.errorCode);
    }
    if (!EndResource(&writer_, f.source, error_)) return Failed(out_);
    std::string loosePath;
    if (f.kind == KIND_LOOSE && !WriteLoose(temporaries_.table, options_.out, entry.name, f.source, error_, &loosePath)) {
        return Failed(loosePath);
    }
    // A file that grew, shrank or was written to while it was read.
    if (Changed(f.before, f.file)) {
        *error_ = entry.path + " changed as it was read";
        return Failed(entry.path, 0);
    }
    f.file.Close();
    if (callbacks_.progress && f.source.size > f.counted) callbacks_.progress(f.source.size - f.counted);
    ++stats_->resources;
    stats_->bytes += f.source.size;
    if (callbacks_.packed) callbacks_.packed(entry, writer_.image.records.back());
    return true;
}

// Makes room for a piece of the given bytes.
bool Packer::Room(std::uint64_t bytes) {
    while (!window_.empty() && (window_.size() >= maxPieces_ || windowBytes_ + bytes > maxBytes_)) {
        if (!Commit()) return false;
    }
    return true;
}

void Packer::Push(std::unique_ptr<Piece> piece) {
    windowBytes_ += piece->rawSize + piece->old.size();
    if (!piece->end) pool_->Submit(piece.get());
    window_.push_back(std::move(piece));
}

// The old blocks of the same numbers as the piece's, where the old
// resource had them.
void Packer::AddOldBlocks(Piece& piece, const OldResource& r) {
    const std::uint64_t at = piece.at, count = piece.rawSize;
    const std::uint64_t first = at / blockLength_;
    const std::uint64_t last = std::min<std::uint64_t>((at + count + blockLength_ - 1) / blockLength_, r.blocks);
    if (first >= last) return;
    const std::uint32_t from = old_.offsets[r.first + first];
    const std::uint32_t to = old_.offsets[r.first + last];
    // Blocks far larger than their data are not deflate's.
    if (to - from > count + count / 8 + 1024 * (last - first)) return;
    piece.old.resize(to - from);
    if (!ReadFully(old_.file, from, &piece.old[0], to - from)) {
        piece.old.clear();
        return;
    }
    for (std::uint64_t k = first; k < last; ++k) piece.oldEnds.push_back(old_.offsets[r.first + k + 1] - from);
    piece.oldFirst = first;
    piece.oldSize = r.size;
}

// Opens the entry's file and reads it, a chunk at a time for a deflated
// one, into the window; then its end mark. false when the pack must end.
bool Packer::ReadResource(const PackEntry& entry) {
    auto flight = std::make_shared<Flight>();
    flight->entry = &entry;
    flight->kind = PackKind(options_, entry);
    if (callbacks_.begins) callbacks_.begins(entry);
    flight->opened = flight->file.Open(entry.path.c_str(), 0) != 0;
    if (!flight->opened) {
        flight->errorCode = LastError();
        flight->error = "cannot open " + entry.path + LastErrorSuffix();
    }
    if (flight->opened) {
        flight->before = StateOf(flight->file);
        flight->source.file = &flight->file;
        flight->source.size = flight->before.known ? static_cast<std::uint64_t>(flight->before.size) : 0;
        if (reuse_) {
            const auto found = old_.byName.find(entry.name);
            if (found != old_.byName.end() && found->second.blockLength == blockLength_) {
                flight->old = &found->second;
            }
        }
    }
    // Deflated data is read here, a chunk at a time, and deflated on the
    // pool; a size past 32 bits is refused when its turn comes.
    const std::uint64_t size = flight->source.size;
    if (flight->opened && flight->kind == KIND_DEFLATED && size <= UINT32_MAX) {
        for (std::uint64_t at = 0; at < size; at += chunk_) {
            const std::uint64_t count = std::min(chunk_, size - at);
            if (!Room(count) || Stopped()) return false;
            if (flight->stored) break;
            auto piece = std::make_unique<Piece>();
            piece->flight = flight;
            piece->at = at;
            piece->rawSize = static_cast<std::size_t>(count);
            piece->raw.reset(new char[piece->rawSize]);
            KeepError(0);
            if (!ReadFully(flight->file, at, piece->raw.get(), count)) {
                flight->errorCode = LastError();
                flight->error = "cannot read all of " + entry.name +
                                (LastError() ? LastErrorSuffix() : ": the file ended before its size when listed");
                break;
            }
            if (flight->old) AddOldBlocks(*piece, *flight->old);
            Push(std::move(piece));
        }
    }
    auto end = std::make_unique<Piece>();
    end->flight = flight;
    end->end = true;
    if (!Room(0)) return false;
    Push(std::move(end));
    return true;
}

int Packer::Run() {
    *stats_ = PackStats();
    out_ = NativePath(options_.out);
    blockLength_ = options_.blockSize;
    if (blockLength_ == 0 || blockLength_ > MAX_BLOCK_BYTES) {
        *error_ = "block size " + std::to_string(blockLength_) + " is not from 1 to " + std::to_string(MAX_BLOCK_BYTES);
        return Failed("", EINVAL);
    }
    if (options_.level < 0 || options_.level > MaxPackLevel()) {
        *error_ = "level " + std::to_string(options_.level) + " is not from 0 to " + std::to_string(MaxPackLevel()) +
                  ", the levels of " + DeflateBackEnd();
        return Failed("", EINVAL);
    }
    std::error_code ec;
    if (options_.update && fs::exists(fs::symlink_status(out_, ec))) {
        if (!LoadOldFile(out_, &old_, error_)) return Failed(out_, LastError() ? LastError() : EINVAL);
        reuse_ = SameCompressor(old_, options_, entries_);
        if (!reuse_ && !old_.byName.empty()) {
            stats_->notReused = options_.out + " was not packed by this build at level " +
                                std::to_string(options_.level) + ": every block is deflated again";
        }
    }

    writer_.storeUnshrunk = 1;
    writer_.flush = 1;
    writer_.keepOpen = 1;
    Temporary temporary;
    if (!BeginTemporary(temporaries_.table, out_, &temporary, error_)) return Failed(out_);
    if (!BeginPackFileOn(&writer_, temporary.file, out_, error_)) {
        Failed(out_);
        temporary.file = writer_.file;
        AbortTemporaryFile(&temporary);
        return 0;
    }

    const int jobs = std::max(1, std::min(options_.jobs > 0 ? options_.jobs : DefaultWorkers(), MAX_WORKERS));
    chunk_ = PackChunkBytes(blockLength_);
    // The window: enough pieces to keep every thread busy on small files,
    // and no more bytes than about two chunks per thread. Each piece may
    // hold its file open: no more of them than the run's share of the
    // descriptors.
    maxPieces_ = std::min<std::size_t>(static_cast<std::size_t>(std::min(16 * jobs + 16, 1024)), OpenHandleBudget());
    maxBytes_ = (std::uint64_t(jobs) + 2) * chunk_;
    pool_.reset(new Pool(jobs - 1, blockLength_, options_.level));

    bool ok = true;
    for (std::size_t i = 0; ok && i < entries_.size(); ++i) ok = !Stopped() && ReadResource(entries_[i]);
    while (ok && !window_.empty()) ok = Commit();
    pool_.reset();
    window_.clear();
    old_.file.Close();
    if (ok && !FinishPackFile(&writer_, options_.level, error_)) ok = Failed(out_);
    if (ok && Stopped()) ok = false;
    temporary.file = writer_.file;
    if (!ok) {
        AbortTemporaryFile(&temporary);
        return 0;
    }
    if (!CommitTemporaryFile(&temporary, out_, error_)) return Failed(out_);
    return 1;
}

}  // namespace

int PackEntries(const PackOptions& options, const std::vector<PackEntry>& entries,
                const PackCallbacks& callbacks, PackStats* stats, std::string* error) {
    PackStats ignored;
    Packer packer(options, entries, callbacks, stats ? stats : &ignored, error);
    const int packed = packer.Run();
    if (!packed && stats) stats->failure.message = *error;
    return packed;
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
    PackStats ignored;
    if (!stats) stats = &ignored;
    *stats = PackStats();
    const auto fail = [&](int code, const std::string& path) {
        stats->failure.message = *error;
        stats->failure.error = code;
        stats->failure.path = path;
        return 0;
    };
    std::error_code ec;
    if (!CheckPackPaths(options, error)) {
        if (fs::is_directory(NativePath(options.out), ec)) return fail(EISDIR, options.out);
        return fail(ENOTDIR, options.dir);
    }
    std::vector<PackEntry> entries;
    KeepError(0);
    if (!WalkPackTree(options, &entries, warnings, error)) return fail(LastError(), options.dir);
    if (callbacks.warning) {
        for (const PackWarning& warning : *warnings) callbacks.warning(warning);
    }
    *refusals = PackRefusals(options, entries);
    if (!refusals->empty()) {
        *error = "refused";
        return fail(EINVAL, options.dir);
    }
    if (callbacks.choose && !callbacks.choose(&entries, error)) return 0;
    return PackEntries(options, entries, callbacks, stats, error);
}

}  // namespace rux
