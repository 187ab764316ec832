// The compiled core of the Python package rux: what its two sources
// share. Inside the binding only.
#ifndef RUX_PYTHON_CORE_H
#define RUX_PYTHON_CORE_H

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/listing.h"
#include "resource/set.h"

namespace py = pybind11;

namespace rux_python {

extern PyObject* g_error;            // rux.Error, an OSError
extern PyObject* g_badResourceFile;  // rux.BadResourceFile, an Error

// Raises type(code, text, filename), as OSError takes them: e.errno,
// e.strerror and e.filename are set, and str(e) names the file.
[[noreturn]] void RaiseOs(PyObject* type, int code, const std::string& text, const std::string& filename);

[[noreturn]] void RaiseClosed();

inline std::string Bytes(const py::bytes& b) { return std::string(b); }

// What a read under the core's lock came to, kept so that it can be
// raised once the lock (and the set) are let go: the bytes, or -1 with the
// reason and the resource's name; -1 with no reason when the file was closed.
struct Outcome {
    std::int64_t value = -1;
    rux::ReadStatus status;
    bool failed = false;
    std::string reason, name;

    void Set(const rux::ResourceSet& set, int slot, std::int64_t got) {
        value = got;
        if (got >= 0) return;
        failed = true;
        reason = rux::ReadErrorText(set, slot, status);
        const char* listed = slot >= 0 && slot < rux::INDEX_SLOTS ? set.Slots()[slot].name : nullptr;
        name = listed ? listed : "";
    }

    // The bytes; else raises rux.Error (the system's errno where it gave
    // one, else EIO; the reason as strerror, the name as filename), or
    // ValueError for a closed file.
    std::int64_t Result() const {
        if (value >= 0) return value;
        if (!failed) RaiseClosed();
        RaiseOs(g_error, status.systemError != 0 ? status.systemError : EIO, reason, name);
    }
};

// Reads shorter than this per thread are not worth a thread.
constexpr std::uint32_t PARALLEL_READ_BYTES = 8u << 20;

class Core {
public:
    explicit Core(const std::vector<py::bytes>& paths) {
        for (const py::bytes& b : paths) {
            const std::string path = Bytes(b);
            if (path.find('\0') != std::string::npos) throw py::value_error("embedded null byte in a path");
            const rux::MountResult mounted = set_.Mount(path.c_str());
            if (!mounted.ok()) {
                set_.Release();
                RaiseMount(path, mounted);
            }
            paths_.push_back(path);
        }
    }

    void Close() {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::shared_mutex> hold(lock_);
        if (closed_) return;
        closed_ = true;
        set_.Release();
    }

    bool Closed() const { return closed_; }

    // (name, kind, size, packed_size, block_length, blocks, slot) of every
    // resource, in slot order; the name as bytes, the kind as its word.
    py::list Entries() {
        std::shared_lock<std::shared_mutex> hold(lock_);
        if (closed_) RaiseClosed();
        py::list out;
        const rux::ResourceEntry* slots = set_.Slots();
        for (int slot = 0; slot < rux::INDEX_SLOTS; ++slot) {
            const rux::ResourceEntry& e = slots[slot];
            if (e.kind == 0 || set_.Hidden(slot)) continue;
            out.append(py::make_tuple(py::bytes(e.name), rux::KindWord(e.kind), e.size, e.packedSize,
                                      e.kind == rux::KIND_DEFLATED ? e.blockLength : 0u, rux::ListedBlocks(e), slot));
        }
        return out;
    }

    int Lookup(const py::bytes& name) {
        const std::string text = Bytes(name);
        std::shared_lock<std::shared_mutex> hold(lock_);
        if (closed_) RaiseClosed();
        if (text.find('\0') != std::string::npos) return -1;
        return set_.Find(text.c_str());
    }

    // The bytes a read of slot gives.
    std::int64_t Size(int slot) {
        Outcome outcome;
        {
            py::gil_scoped_release unlocked;
            std::shared_lock<std::shared_mutex> hold(lock_);
            if (!closed_) outcome.Set(set_, slot, set_.DataSize(slot, &outcome.status));
        }
        return outcome.Result();
    }

    // Reads into buffer from offset; the bytes read (0 at the end).
    std::int64_t ReadInto(int slot, std::uint64_t offset, const py::buffer& buffer) {
        py::buffer_info view = buffer.request(true);
        std::uint64_t room = static_cast<std::uint64_t>(view.size) * static_cast<std::uint64_t>(view.itemsize);
        if (room > 0xFFFFFFFFu) room = 0xFFFFFFFFu;
        Outcome outcome;
        {
            py::gil_scoped_release unlocked;
            std::shared_lock<std::shared_mutex> hold(lock_);
            if (!closed_) {
                outcome.Set(set_, slot,
                            set_.ReadAt(slot, offset, view.ptr, static_cast<std::uint32_t>(room), &outcome.status));
            }
        }
        return outcome.Result();
    }

    // count bytes (fewer at the end) from offset, as bytes; count -1: to the end.
    // A long read is cut into jobs ranges (of whole blocks, for a deflated
    // resource) read by as many threads at once.
    py::bytes ReadRange(int slot, std::uint64_t offset, std::int64_t count, int jobs) {
        const std::int64_t size = Size(slot);
        const std::uint64_t left = offset >= static_cast<std::uint64_t>(size) ? 0 : size - offset;
        const std::uint64_t want = count < 0 || static_cast<std::uint64_t>(count) > left ? left : count;
        py::object out = py::reinterpret_steal<py::object>(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(want)));
        if (!out) throw py::error_already_set();
        char* data = PyBytes_AS_STRING(out.ptr());
        Outcome outcome;
        outcome.value = 0;
        if (want) {
            py::gil_scoped_release unlocked;
            std::shared_lock<std::shared_mutex> hold(lock_);
            outcome.value = -1;
            if (!closed_) ReadParallel(slot, offset, data, static_cast<std::uint32_t>(want), jobs, &outcome);
        }
        const std::int64_t got = outcome.Result();
        PyObject* raw = out.release().ptr();
        if (static_cast<std::uint64_t>(got) != want && _PyBytes_Resize(&raw, static_cast<Py_ssize_t>(got)) != 0) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::bytes>(raw);
    }

    // count bytes of slot from offset into data, under the lock, by up to
    // jobs threads; the outcome of the first range that failed, if any.
    void ReadParallel(int slot, std::uint64_t offset, char* data, std::uint32_t count, int jobs, Outcome* outcome) {
        const rux::ResourceEntry& entry = set_.Slots()[slot];
        std::uint32_t unit = entry.kind == rux::KIND_DEFLATED && entry.blockLength ? entry.blockLength : 1;
        const std::uint32_t least = PARALLEL_READ_BYTES;
        if (jobs > static_cast<int>(count / least)) jobs = static_cast<int>(count / least);
        if (jobs <= 1 || unit > count / jobs) {
            outcome->Set(set_, slot, set_.ReadAt(slot, offset, data, count, &outcome->status));
            return;
        }
        // Range boundaries on block boundaries of the resource.
        const std::uint64_t end = offset + count;
        std::vector<std::uint64_t> cuts{offset};
        for (int i = 1; i < jobs; ++i) {
            const std::uint64_t cut = (offset + std::uint64_t(count) * i / jobs) / unit * unit;
            if (cut > cuts.back()) cuts.push_back(cut);
        }
        cuts.push_back(end);
        const std::size_t ranges = cuts.size() - 1;
        std::vector<Outcome> outcomes(ranges);
        const auto Run = [&](std::size_t r) {
            const std::uint32_t n = static_cast<std::uint32_t>(cuts[r + 1] - cuts[r]);
            outcomes[r].Set(set_, slot, set_.ReadAt(slot, cuts[r], data + (cuts[r] - offset), n, &outcomes[r].status));
        };
        std::vector<std::thread> threads;
        for (std::size_t r = 1; r < ranges; ++r) threads.emplace_back(Run, r);
        Run(0);
        for (std::thread& t : threads) t.join();
        for (std::size_t r = 0; r < ranges; ++r) {
            if (outcomes[r].value < 0) {
                *outcome = outcomes[r];
                return;
            }
        }
        outcome->value = count;
    }

    // Reads every resource in full through the engine's test mode, on
    // jobs threads: (name as bytes, reason) of each that fails
    // (python/runs.cpp).
    py::list Test(int jobs);

    // The engine's extraction of the slots given (every one when None)
    // below outdir, on jobs threads: (status, failures, the run's own
    // failure) as Python raises them (python/runs.cpp).
    py::tuple Extract(const py::bytes& outdir, const std::optional<std::vector<int>>& slots, int jobs);

private:
    [[noreturn]] static void RaiseMount(const std::string& path, const rux::MountResult& mounted) {
        const std::string reason = rux::MountErrorText(mounted);
        if (mounted.error == rux::MountError::CANNOT_OPEN && mounted.systemError != 0) {
            RaiseOs(g_badResourceFile, mounted.systemError, std::strerror(mounted.systemError), path);
        }
        RaiseOs(g_badResourceFile, EINVAL, reason, path);
    }

    rux::ResourceSet set_;
    std::vector<std::string> paths_;
    std::shared_mutex lock_;
    bool closed_ = false;
};


// rux-pack's run on a tree, as rux.pack() makes it (python/runs.cpp):
// (status, failure, warnings, refusals).
py::tuple Pack(const py::bytes& out, const py::bytes& directory, int level, std::uint32_t blockSize,
               const std::vector<py::bytes>& store, const std::vector<py::bytes>& loose,
               const std::vector<py::bytes>& exclude, int jobs, const std::vector<py::bytes>& patchFrom);

}  // namespace rux_python

#endif
