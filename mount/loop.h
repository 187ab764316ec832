// The request loop of rux-mount: serves a mounted FUSE session on up to a
// given number of threads, until it is unmounted or gets SIGINT, SIGTERM or
// SIGHUP.
//
// One thread at a time waits for the kernel's next request. On this kind of
// machine handing a request to a thread that sleeps on another core costs
// more than most requests take to answer, so the thread that has just
// answered takes the next request itself, and a request waits for another
// thread only when it is worth it: when more requests are already queued
// behind it, or it reads a range long enough to keep a core busy. Then a
// sleeping thread (or a new one, up to the limit) takes over the waiting
// while this one answers. A lone reader of many small files is served by
// one thread; two readers of large files get two.
#ifndef RUX_MOUNT_LOOP_H
#define RUX_MOUNT_LOOP_H

#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>

#include <functional>

namespace rux {

// Serves the session until it ends: 0 when it was unmounted or got one of
// the signals (then fuse_session_exited is true), -1 when the FUSE device
// failed. maxThreads below 1 counts as 1. The calling thread serves too,
// and calls started (if given) once the first request, the kernel's
// greeting, has been answered, before it takes another.
int ServeRequests(struct fuse_session* session, int maxThreads, const std::function<void()>& started);

}  // namespace rux

#endif
