// The pieces of a pack's work: each resource in flight, the chunks it is
// read in, and the threads that deflate them. Inside the packer only.
#ifndef RUX_PACK_PIECES_H
#define RUX_PACK_PIECES_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/pool.h"
#include "pack/files.h"
#include "pack/old_file.h"
#include "pack/tree.h"
#include "pack/writer.h"

namespace rux {

// One resource from its first read to its record.
struct Flight {
    const PackEntry* entry = nullptr;
    std::uint32_t kind = 0;
    DiskFile file;
    bool opened = false;
    FileState before;
    PackSource source;
    std::string error;           // the reader's failure, told when its turn comes
    int errorCode = 0;           // ... and the system's error of it
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
void Work(Piece* piece, std::uint32_t blockLength, int level);

// The pieces in flight on the thread pool, worked in the order given; the
// thread that submits them may work them too (RunOne).
class Pool {
public:
    Pool(int workers, std::uint32_t blockLength, int level)
        : blockLength_(blockLength), level_(level), threads_(workers) {}
    void Submit(Piece* piece) {
        threads_.Submit([this, piece] {
            Work(piece, blockLength_, level_);
            std::lock_guard<std::mutex> hold(mutex_);
            piece->done = true;
            finished_.notify_all();
        });
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
    bool RunOne() { return threads_.RunOne(); }

private:
    const std::uint32_t blockLength_;
    const int level_;
    std::mutex mutex_;
    std::condition_variable finished_;
    // Last, so that the workers are gone before what they use.
    ThreadPool threads_;
};

}  // namespace rux

#endif
