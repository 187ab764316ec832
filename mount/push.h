// Pages ahead of the reader: when a read begins at the start of a small
// file, a thread of its own puts the files that follow it in a walk of the
// tree into the kernel's page cache (fuse_lowlevel_notify_store), so a
// program that reads the files one after another (find | xargs cat,
// grep -r, cp -r) finds most of them there and waits for no round trip to
// this process.
//
// Nothing changes while mounted, so pages pushed are never stale; the
// kernel may drop them again as it drops any page. A push the kernel
// cannot take (the file's inode not known to it yet) is simply left out,
// and the reader's own read then comes here as usual. Pushing runs on its
// own thread and never on a thread that serves requests: a push waits for
// pages that a read in flight holds, and that read needs a serving thread.
#ifndef RUX_MOUNT_PUSH_H
#define RUX_MOUNT_PUSH_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "mount/fs.h"

namespace rux {

class MountPusher {
public:
    // Files up to MAX_FILE_BYTES are pushed (the kernel's readahead serves
    // larger ones well); after each hint FIRST_FILES of them, or twice as
    // many as last time when the reader came to their end, up to MAX_FILES
    // or BUDGET_BYTES in all.
    static constexpr std::uint64_t MAX_FILE_BYTES = 1 << 20;
    static constexpr int FIRST_FILES = 8;
    static constexpr int MAX_FILES = 512;
    static constexpr std::uint64_t BUDGET_BYTES = 32 << 20;

    MountPusher(const MountFs& fs, const MountTree& tree);
    ~MountPusher();  // Stop()

    // Starts the thread, which pushes through session. Once only.
    void Start(struct fuse_session* session);
    // Ends the thread; hints after it do nothing.
    void Stop();

    // A read began at offset 0 of ino: the files after it are pushed.
    // Cheap and safe from any thread.
    void Hint(fuse_ino_t ino);

private:
    void Run();
    void PushAfter(int node);

    const MountFs& fs_;
    const MountTree& tree_;
    struct fuse_session* session_ = nullptr;
    std::vector<int> order_;                   // the files in the order of a walk
    std::vector<std::size_t> rank_;            // a file's place in order_
    std::unique_ptr<std::atomic<bool>[]> seen_;  // read or pushed already
    int window_ = FIRST_FILES;  // the pushing thread's own
    std::size_t end_ = 0;       // the rank where the last push stopped
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<int> hints_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace rux

#endif
