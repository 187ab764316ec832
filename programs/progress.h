// The progress line of rux-extract and rux-pack: one line on a terminal, kept up to date while
// resources are read, showing the bytes done of the total, the percentage,
// the rate, the time left at that rate, and the resources done of the total.
//
// Threads: with shared set, each call below takes it, so workers may add
// bytes while another thread draws; a thread that writes other text to the
// line's stream holds it (ProgressHold) from ProgressClear to ProgressDraw.
#ifndef RUX_PROGRAMS_PROGRESS_H
#define RUX_PROGRAMS_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace rux {

struct Progress {
    std::FILE* stream = nullptr;  // null: nothing is shown
    std::uint64_t totalBytes = 0;
    std::uint64_t doneBytes = 0;
    unsigned totalResources = 0;
    unsigned doneResources = 0;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point drawn;  // when the line was last drawn
    int width = 0;                                // characters on the line now
    std::recursive_mutex* shared = nullptr;       // null: one thread only
};

// Holds progress.shared, if set, for as long as it lives.
class ProgressHold {
public:
    explicit ProgressHold(Progress& progress) : lock_(progress.shared) {
        if (lock_) lock_->lock();
    }
    ~ProgressHold() {
        if (lock_) lock_->unlock();
    }
    ProgressHold(const ProgressHold&) = delete;
    ProgressHold& operator=(const ProgressHold&) = delete;

private:
    std::recursive_mutex* lock_;
};

// Starts showing progress on stream, or nothing at all if stream is null;
// shared is null after it.
void ProgressStart(Progress& progress, std::FILE* stream, std::uint64_t totalBytes, unsigned totalResources);

// Counts bytes done; redraws the line if it was last drawn a while ago.
void ProgressAdd(Progress& progress, std::uint64_t bytes);

// A resource turned out to hold real bytes rather than listed ones (a loose
// file, or one that cannot be read): the total follows.
void ProgressResize(Progress& progress, std::uint64_t listed, std::uint64_t real);

// Counts one resource done; redraws the line as ProgressAdd does.
void ProgressResourceDone(Progress& progress);

// Takes the figures of a run as its engine tells them; redraws the line
// as ProgressAdd does.
void ProgressSet(Progress& progress, std::uint64_t doneBytes, std::uint64_t totalBytes, unsigned doneResources,
                 unsigned totalResources);

// Erases the line, so that other text can take its place; the next redraw
// puts it back below that text.
void ProgressClear(Progress& progress);

// Draws the line as it stands now.
void ProgressDraw(Progress& progress);

// Draws the final line and ends it.
void ProgressEnd(Progress& progress);

}  // namespace rux

#endif
