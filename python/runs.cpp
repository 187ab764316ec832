// The runs of the Python binding: extractall, test and pack, each the
// engine's or the packer's own, told to an observer that keeps what
// Python raises and warns about. Each runs on a thread of its own while
// the calling thread waits with the GIL let go, taking it back every
// 20 ms to let the interpreter handle its signals: a KeyboardInterrupt
// (or any handler's exception) asks the run to stop, which it does within
// one piece, leaving no partial file and no temporary, and is raised once
// the run has ended. The binding installs no signal handler of its own.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "common/pool.h"
#include "common/print.h"
#include "common/stop.h"
#include "common/workers.h"
#include "engine/extract.h"
#include "diff/patch.h"
#include "pack/pack.h"
#include "pack/writer.h"
#include "python/core.h"
#include "resource/blocks.h"

namespace rux_python {

namespace {

// Runs work on a thread of its own (the GIL let go) while this thread
// looks for signals; raises what a signal handler raised once work has
// stopped, or what work threw.
void RunInterruptibly(rux::StopRequest& stop, const std::function<void()>& work) {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::exception_ptr thrown;
    std::unique_ptr<rux::ThreadPool> pool(new rux::ThreadPool(1));
    pool->Submit([&] {
        try {
            work();
        } catch (...) {
            thrown = std::current_exception();
        }
        std::lock_guard<std::mutex> hold(lock);
        done = true;
        ended.notify_all();
    });
    if (pool->Threads() == 0) {  // no thread to be had: the run as a plain call
        py::gil_scoped_release unlocked;
        pool->RunOne();
    }
    bool interrupted = false;
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> hold(lock);
            if (ended.wait_for(hold, std::chrono::milliseconds(20), [&] { return done; })) break;
        }
        // The exception stays set while the run winds down.
        if (!interrupted && PyErr_CheckSignals() != 0) {
            interrupted = true;
            stop.Request();
        }
    }
    {
        py::gil_scoped_release unlocked;
        pool.reset();
    }
    if (interrupted) throw py::error_already_set();
    if (thrown) std::rethrow_exception(thrown);
}

// What Python says of a resource's failure: its errno, its reason, and the
// output path where it has one.
struct Failure {
    std::string name;
    int code = 0;
    std::string reason;
    std::string path;
};

// The failures of a run, in slot order.
class Collector : public rux::ExtractObserver {
public:
    explicit Collector(const std::string& outdir) : outdir_(outdir) {}

    void ResourceEnds(const rux::ResourceEnd& end) override {
        if (!end.Failed()) return;
        Failure f;
        f.name = end.entry->name;
        f.path = end.path.empty() && !outdir_.empty() ? outdir_ + "/" + f.name : end.path;
        switch (end.result) {
            case rux::ResourceResult::ReadFailed:
                f.code = end.error != 0 ? end.error : EIO;
                f.reason = end.reason;
                break;
            case rux::ResourceResult::RefusedName:
                f.code = EINVAL;
                f.reason = end.reason;
                f.path.clear();
                break;
            case rux::ResourceResult::RefusedLink:
                f.code = ELOOP;
                f.reason = "a directory of its path is a link: " + end.path;
                break;
            default:
                f.code = end.error != 0 ? end.error : EIO;
                f.reason = std::strerror(f.code);
                break;
        }
        failures.push_back(f);
    }

    std::vector<Failure> failures;

private:
    std::string outdir_;
};

py::list FailureList(const std::vector<Failure>& failures) {
    py::list out;
    for (const Failure& f : failures) out.append(py::make_tuple(py::bytes(f.name), f.code, f.reason, py::bytes(f.path)));
    return out;
}

void CheckJobs(int jobs) {
    if (jobs < 1 || jobs > rux::MAX_WORKERS) {
        throw py::value_error("jobs takes 1 to " + std::to_string(rux::MAX_WORKERS) + ", not " + std::to_string(jobs));
    }
}

}  // namespace

py::list Core::Test(int jobs) {
    CheckJobs(jobs);
    rux::StopRequest stop;
    rux::ExtractOptions options;
    options.mode = rux::MODE_TEST;
    options.jobs = jobs;
    options.stop = &stop;
    Collector collector("");
    bool closed = false;
    RunInterruptibly(stop, [&] {
        std::shared_lock<std::shared_mutex> hold(lock_);
        closed = closed_;
        if (!closed_) rux::ExtractSet(options, set_, paths_.front().c_str(), nullptr, collector);
    });
    if (closed) RaiseClosed();
    py::list out;
    for (const Failure& f : collector.failures) out.append(py::make_tuple(py::bytes(f.name), f.reason));
    return out;
}

py::tuple Core::Extract(const py::bytes& outdir, const std::optional<std::vector<int>>& slots, int jobs) {
    CheckJobs(jobs);
    const std::string directory = Bytes(outdir);
    std::vector<unsigned char> only(rux::INDEX_SLOTS, 0);
    if (slots) {
        for (int slot : *slots) {
            if (slot >= 0 && slot < rux::INDEX_SLOTS) only[static_cast<std::size_t>(slot)] = 1;
        }
    }
    rux::StopRequest stop;
    rux::ExtractOptions options;
    options.jobs = jobs;
    options.onlySlots = slots ? only.data() : nullptr;
    options.stop = &stop;
    Collector collector(directory);
    rux::ExtractSummary summary;
    bool closed = false;
    RunInterruptibly(stop, [&] {
        std::shared_lock<std::shared_mutex> hold(lock_);
        closed = closed_;
        if (!closed_) summary = rux::ExtractSet(options, set_, paths_.front().c_str(), directory.c_str(), collector);
    });
    if (closed) RaiseClosed();
    // What ended the run before its first resource, as a failure of its own.
    py::object run = py::none();
    if (summary.failure != rux::RunFailure::None) {
        const int error = summary.failure == rux::RunFailure::CannotMakeOutputDirectory && summary.systemError
                              ? summary.systemError
                              : ENAMETOOLONG;
        run = py::make_tuple(error, std::string(std::strerror(error)), py::bytes(directory));
    }
    return py::make_tuple(summary.status, FailureList(collector.failures), run);
}

py::tuple Pack(const py::bytes& out, const py::bytes& directory, int level, std::uint32_t blockSize,
               const std::vector<py::bytes>& store, const std::vector<py::bytes>& loose,
               const std::vector<py::bytes>& exclude, int jobs, const std::vector<py::bytes>& patchFrom) {
    if (level < 0 || level > rux::MaxPackLevel()) {
        throw py::value_error("level takes 0 to " + std::to_string(rux::MaxPackLevel()) + " in this build (" +
                              rux::DeflateBackEnd() + "), not " + std::to_string(level));
    }
    if (blockSize < 1 || blockSize > rux::MAX_BLOCK_BYTES) {
        throw py::value_error("block_size takes 1 to " + std::to_string(rux::MAX_BLOCK_BYTES) + ", not " +
                              std::to_string(blockSize));
    }
    CheckJobs(jobs);
    rux::StopRequest stop;
    rux::PackOptions options;
    options.out = Bytes(out);
    options.dir = Bytes(directory);
    options.level = level;
    options.blockSize = blockSize;
    options.jobs = jobs;
    options.stop = &stop;
    for (const py::bytes& g : store) options.store.push_back(Bytes(g));
    for (const py::bytes& g : loose) options.loose.push_back(Bytes(g));
    for (const py::bytes& g : exclude) options.exclude.push_back(Bytes(g));
    std::vector<rux::PackWarning> warnings;
    std::vector<std::string> refusals;
    rux::PackStats stats;
    std::string error;
    int packed = 0;
    rux::PackCallbacks callbacks;
    std::vector<std::string> bases;
    for (const py::bytes& b : patchFrom) bases.push_back(Bytes(b));
    std::string absent;  // the bases' resources the tree lacks, when there are any
    if (!bases.empty()) {
        // A patch: only what the bases lack or hold otherwise.
        callbacks.choose = [&](std::vector<rux::PackEntry>* entries, std::string* why) {
            rux::PatchChoice choice;
            if (!rux::ChoosePatchEntries(bases, options, *entries, &choice, why)) return 0;
            if (!choice.absent.empty()) absent = rux::AbsentText(bases, options.dir, choice.absent.size());
            *entries = std::move(choice.entries);
            return 1;
        };
    }
    RunInterruptibly(stop, [&] {
        packed = rux::PackDirectory(options, callbacks, &warnings, &refusals, &stats, &error);
    });
    py::list told;
    if (!absent.empty()) told.append(py::make_tuple(py::bytes(options.dir), absent));
    for (const rux::PackWarning& w : warnings) told.append(py::make_tuple(py::bytes(w.path), w.what));
    py::list refused;
    for (const std::string& r : refusals) refused.append(py::bytes(r));
    py::object failure = py::none();
    if (!packed && refusals.empty()) {
        const rux::PackFailure& f = stats.failure;
        failure = py::make_tuple(f.error != 0 ? f.error : EIO, f.message.empty() ? error : f.message, py::bytes(f.path));
    }
    return py::make_tuple(packed ? 0 : 1, failure, told, refused);
}

}  // namespace rux_python
