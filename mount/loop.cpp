#include "mount/loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "resource/blocks.h"

namespace rux {

namespace {

// A read of at least this many bytes keeps a core busy long enough to be
// worth handing the waiting to another thread.
constexpr std::uint32_t LONG_READ_BYTES = 128u << 10;

// Where a request's opcode and a read's length lie in what the kernel sends
// (its fixed header: length, opcode, unique, node, uid, gid, pid, padding;
// then a read's file handle, offset and length).
constexpr std::size_t OPCODE_AT = 4;
constexpr std::size_t HEADER_BYTES = 40;
constexpr std::size_t READ_LENGTH_AT = HEADER_BYTES + 16;
constexpr std::uint32_t READ_OPCODE = 15;

struct Loop {
    struct fuse_session* session = nullptr;
    int device = -1;   // the session's descriptor, non-blocking
    int signals = -1;  // SIGINT, SIGTERM and SIGHUP, as a descriptor
    int maxThreads = 1;
    std::mutex lock;
    std::condition_variable wake;
    bool reading = false;  // a thread is waiting for the next request
    bool done = false;
    bool failed = false;
    std::function<void()> started;     // after the first request, then cleared
    int parked = 0;                    // threads asleep until the waiting is free
    std::vector<std::thread> threads;  // every thread but the caller's
};

// Waits for the next request: 1 with it in buf, 0 when the session ends
// (unmounted, or a signal), -1 when the device fails.
int Receive(Loop& loop, struct fuse_buf* buf) {
    for (;;) {
        const int got = fuse_session_receive_buf(loop.session, buf);
        if (got > 0) return 1;
        if (got == 0 || fuse_session_exited(loop.session)) return 0;
        if (got != -EAGAIN && got != -EINTR) return -1;
        struct pollfd wait[2] = {{loop.device, POLLIN, 0}, {loop.signals, POLLIN, 0}};
        if (poll(wait, 2, -1) < 0 && errno != EINTR) return -1;
        if (wait[1].revents & POLLIN) {
            struct signalfd_siginfo info;
            if (read(loop.signals, &info, sizeof info) < 0) {
                // Taken by nobody else; the session ends all the same.
            }
            fuse_session_exit(loop.session);
            return 0;
        }
    }
}

bool RequestsQueued(const Loop& loop) {
    struct pollfd queued = {loop.device, POLLIN, 0};
    return poll(&queued, 1, 0) > 0 && (queued.revents & POLLIN);
}

bool LongRead(const struct fuse_buf& buf) {
    if ((buf.flags & FUSE_BUF_IS_FD) || buf.size < READ_LENGTH_AT + 4) return false;
    const unsigned char* bytes = static_cast<const unsigned char*>(buf.mem);
    std::uint32_t opcode, length;
    std::memcpy(&opcode, bytes + OPCODE_AT, 4);
    std::memcpy(&length, bytes + READ_LENGTH_AT, 4);
    return opcode == READ_OPCODE && length >= LONG_READ_BYTES;
}

void Work(Loop* loop) {
    struct fuse_buf buf;
    std::memset(&buf, 0, sizeof buf);
    std::unique_lock<std::mutex> hold(loop->lock);
    while (!loop->done) {
        if (loop->reading) {
            ++loop->parked;
            loop->wake.wait(hold);
            --loop->parked;
            continue;
        }
        loop->reading = true;
        hold.unlock();
        const int got = Receive(*loop, &buf);
        hold.lock();
        loop->reading = false;
        if (got <= 0) {
            loop->failed = loop->failed || got < 0;
            loop->done = true;
            loop->wake.notify_all();
            break;
        }
        if (RequestsQueued(*loop) || LongRead(buf)) {
            if (loop->parked > 0) {
                loop->wake.notify_one();
            } else if (static_cast<int>(loop->threads.size()) + 1 < loop->maxThreads) {
                try {
                    loop->threads.emplace_back(Work, loop);
                } catch (const std::system_error&) {
                    // No thread to spare: this one goes on alone.
                }
            }
        }
        std::function<void()> started;
        started.swap(loop->started);
        hold.unlock();
        fuse_session_process_buf(loop->session, &buf);
        if (started) started();
        hold.lock();
    }
    hold.unlock();
    std::free(buf.mem);
    CacheFree();
}

}  // namespace

int ServeRequests(struct fuse_session* session, int maxThreads, const std::function<void()>& started) {
    Loop loop;
    loop.started = started;
    loop.session = session;
    loop.device = fuse_session_fd(session);
    loop.maxThreads = maxThreads < 1 ? 1 : maxThreads;
    // The signals come as a descriptor that the waiting thread watches;
    // every thread started here inherits the mask.
    sigset_t ending, before;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &ending, &before);
    loop.signals = signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK);
    const int flags = fcntl(loop.device, F_GETFL);
    if (loop.signals < 0 || flags < 0 || fcntl(loop.device, F_SETFL, flags | O_NONBLOCK) != 0) {
        if (loop.signals >= 0) close(loop.signals);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return -1;
    }
    Work(&loop);
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(loop.lock);
        threads.swap(loop.threads);
    }
    for (std::thread& thread : threads) thread.join();
    close(loop.signals);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return loop.failed ? -1 : 0;
}

}  // namespace rux
