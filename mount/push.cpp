#include "mount/push.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <vector>

namespace rux {

MountPusher::MountPusher(const MountFs& fs, const MountTree& tree)
    : fs_(fs), tree_(tree), rank_(tree.Nodes().size(), 0), seen_(new std::atomic<bool>[tree.Nodes().size()]) {
    const std::vector<MountNode>& nodes = tree_.Nodes();
    for (std::size_t n = 0; n < nodes.size(); ++n) seen_[n].store(false, std::memory_order_relaxed);
    // The files in the order a walk of the tree meets them (find, cp -r,
    // grep -r): each directory's entries in listing order, a directory's
    // whole subtree where the directory is listed.
    std::vector<std::pair<int, std::size_t>> stack = {{0, 0}};
    while (!stack.empty()) {
        auto& [dir, next] = stack.back();
        const std::vector<int>& children = nodes[static_cast<std::size_t>(dir)].children;
        if (next == children.size()) {
            stack.pop_back();
            continue;
        }
        const int child = children[next++];
        if (nodes[static_cast<std::size_t>(child)].IsDirectory()) {
            stack.push_back({child, 0});
        } else {
            rank_[static_cast<std::size_t>(child)] = order_.size();
            order_.push_back(child);
        }
    }
}

MountPusher::~MountPusher() { Stop(); }

void MountPusher::Start(struct fuse_session* session) {
    session_ = session;
    // The thread takes no signal: they belong to the request loop, which
    // waits for them on a descriptor.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void MountPusher::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        hints_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void MountPusher::Hint(fuse_ino_t ino) {
    if (ino < FUSE_ROOT_ID || ino - FUSE_ROOT_ID >= tree_.Nodes().size()) return;
    const int node = static_cast<int>(ino - FUSE_ROOT_ID);
    // Only the first read of a file's start says where a reader is.
    if (seen_[static_cast<std::size_t>(node)].exchange(true)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ || !session_) return;
        // A reader that outruns the pushing: the newest hints matter.
        if (hints_.size() >= 4) hints_.pop_front();
        hints_.push_back(node);
    }
    wake_.notify_one();
}

void MountPusher::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !hints_.empty(); });
        if (stop_) return;
        const int node = hints_.front();
        hints_.pop_front();
        lock.unlock();
        PushAfter(node);
        lock.lock();
    }
}

void MountPusher::PushAfter(int node) {
    const std::vector<MountNode>& nodes = tree_.Nodes();
    if (nodes[static_cast<std::size_t>(node)].IsDirectory()) return;
    // As the kernel's readahead does: a few files at first, twice as many
    // each time the reader comes to the end of what was pushed for it.
    const std::size_t from = rank_[static_cast<std::size_t>(node)] + 1;
    window_ = from - 1 == end_ ? std::min(2 * window_, MAX_FILES) : FIRST_FILES;
    std::vector<char> buffer;
    std::uint64_t bytes = 0;
    int files = 0;
    std::size_t k = from;
    for (; k < order_.size() && files < window_ && bytes < BUDGET_BYTES; ++k) {
        {
            // A newer hint, or the end: leave this one.
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_ || !hints_.empty()) return;
        }
        const int next = order_[k];
        const MountNode& file = nodes[static_cast<std::size_t>(next)];
        if (file.size == 0 || file.size > MAX_FILE_BYTES) continue;
        if (seen_[static_cast<std::size_t>(next)].exchange(true)) continue;
        const fuse_ino_t ino = static_cast<fuse_ino_t>(next) + FUSE_ROOT_ID;
        buffer.resize(static_cast<std::size_t>(file.size));
        bool stored = false;
        if (fs_.Read(ino, 0, buffer.size(), buffer.data()) == static_cast<long>(buffer.size())) {
            struct fuse_bufvec data = FUSE_BUFVEC_INIT(buffer.size());
            data.buf[0].mem = buffer.data();
            stored = fuse_lowlevel_notify_store(session_, ino, 0, &data, FUSE_BUF_NO_SPLICE) == 0;
        }
        if (!stored) {
            // Not known to the kernel yet (its directory not listed), or
            // unreadable: its own first read hints again.
            seen_[static_cast<std::size_t>(next)].store(false);
            continue;
        }
        bytes += file.size;
        ++files;
    }
    end_ = k;
}

}  // namespace rux
