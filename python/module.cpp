// rux._rux: the compiled core of the Python package rux. It owns one
// resource set per ResourceFile and reads it by position; rux/__init__.py
// gives it zipfile's shape. Names cross as bytes, and Python decodes them
// with os.fsdecode.
//
// Threads: every read releases the GIL and holds the core's lock shared,
// so reads of one file run in parallel; close() takes it exclusively, so
// it waits for the reads in flight and no read ever meets a released set.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/extract.h"
#include "engine/listing.h"
#include "common/print.h"
#include "programs/extract_print.h"
#include "pack/pack.h"
#include "pack/writer.h"
#include "common/workers.h"
#include "resource/blocks.h"
#include "resource/format.h"
#include "resource/set.h"

namespace py = pybind11;

namespace {

PyObject* g_error = nullptr;         // rux.Error, an OSError
PyObject* g_badResourceFile = nullptr;  // rux.BadResourceFile, an Error

// Raises type(code, text, filename), as OSError takes them: e.errno,
// e.strerror and e.filename are set, and str(e) names the file.
[[noreturn]] void RaiseOs(PyObject* type, int code, const std::string& text, const std::string& filename) {
    py::object name = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(filename.data(), static_cast<Py_ssize_t>(filename.size())));
    if (!name) throw py::error_already_set();
    py::tuple args = py::make_tuple(code, text, name);
    PyErr_SetObject(type, args.ptr());
    throw py::error_already_set();
}

[[noreturn]] void RaiseClosed() { throw py::value_error("I/O operation on a closed resource file"); }

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

std::string Bytes(const py::bytes& b) { return std::string(b); }

// Reads shorter than this per thread are not worth a thread.
constexpr std::uint32_t PARALLEL_READ_BYTES = 8u << 20;

// Extractions and packs take slots of the process's one table of live
// temporaries (platform/output_dir.h), sized for one run: one run at a time.
std::mutex g_run;

// What a temporary stream holds, and closes it.
std::string Drain(std::FILE* stream) {
    std::string text;
    if (!stream) return text;
    std::rewind(stream);
    char piece[4096];
    std::size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, stream)) > 0) text.append(piece, got);
    std::fclose(stream);
    return text;
}

// rux-pack's run on a tree, as its command line makes it: (status, the
// messages it would print on standard error, each ending in a newline).
py::tuple Pack(const py::bytes& out, const py::bytes& directory, int level, std::uint32_t blockSize,
               const std::vector<py::bytes>& store, const std::vector<py::bytes>& loose,
               const std::vector<py::bytes>& exclude, int jobs) {
    if (level < 0 || level > rux::MaxPackLevel()) {
        throw py::value_error("level takes 0 to " + std::to_string(rux::MaxPackLevel()) + " in this build (" +
                              rux::DeflateBackEnd() + "), not " + std::to_string(level));
    }
    if (blockSize < 1 || blockSize > rux::MAX_BLOCK_BYTES) {
        throw py::value_error("block_size takes 1 to " + std::to_string(rux::MAX_BLOCK_BYTES) + ", not " +
                              std::to_string(blockSize));
    }
    if (jobs < 1 || jobs > rux::MAX_WORKERS) {
        throw py::value_error("jobs takes 1 to " + std::to_string(rux::MAX_WORKERS) + ", not " + std::to_string(jobs));
    }
    rux::PackOptions options;
    options.out = Bytes(out);
    options.dir = Bytes(directory);
    options.level = level;
    options.blockSize = blockSize;
    options.jobs = jobs;
    for (const py::bytes& g : store) options.store.push_back(Bytes(g));
    for (const py::bytes& g : loose) options.loose.push_back(Bytes(g));
    for (const py::bytes& g : exclude) options.exclude.push_back(Bytes(g));
    std::string messages;
    const auto Say = [&messages](const std::string& line) {
        messages += "rux-pack: " + rux::EscapedName(line.c_str()) + "\n";
    };
    int status = 0;
    {
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> one(g_run);
        std::vector<rux::PackWarning> warnings;
        std::vector<std::string> refusals;
        rux::PackStats stats;
        std::string error;
        status = rux::PackDirectory(options, rux::PackCallbacks(), &warnings, &refusals, &stats, &error) ? 0 : 1;
        for (const rux::PackWarning& w : warnings) Say("warning: " + w.path + ": " + w.what);
        for (const std::string& r : refusals) Say(r);
        if (status && refusals.empty()) Say(error);
    }
    return py::make_tuple(status, py::bytes(messages));
}

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
            if (e.kind == 0) continue;
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
        return set_.Lookup(text.c_str());
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

    // Reads every resource in full: (name as bytes, reason) of each that fails.
    py::list Test() {
        std::vector<std::pair<std::string, std::string>> failed;
        bool closed;
        {
            py::gil_scoped_release unlocked;
            std::shared_lock<std::shared_mutex> hold(lock_);
            closed = closed_;
            if (!closed_) {
                std::unique_ptr<char[]> buffer(new char[1u << 20]);
                const rux::ResourceEntry* slots = set_.Slots();
                for (int slot = 0; slot < rux::INDEX_SLOTS; ++slot) {
                    if (slots[slot].kind == 0) continue;
                    rux::ReadStatus status;
                    std::int64_t size = set_.DataSize(slot, &status);
                    for (std::uint64_t at = 0; size >= 0 && at < static_cast<std::uint64_t>(size);) {
                        const std::int64_t got = set_.ReadAt(slot, at, buffer.get(), 1u << 20, &status);
                        if (got <= 0) size = -1;
                        at += got > 0 ? static_cast<std::uint64_t>(got) : 0;
                    }
                    if (size < 0) failed.emplace_back(slots[slot].name, rux::ReadErrorText(set_, slot, status));
                }
            }
        }
        if (closed) RaiseClosed();
        py::list out;
        for (const auto& f : failed) out.append(py::make_tuple(py::bytes(f.first), f.second));
        return out;
    }

    // rux-extract's run over the set, -q, below outdir: of the slots given
    // (every one when None). (status, failure lines, reason lines).
    py::tuple Extract(const py::bytes& outdir, const std::optional<std::vector<int>>& slots, int jobs) {
        if (jobs < 1 || jobs > rux::MAX_WORKERS) {
            throw py::value_error("jobs takes 1 to " + std::to_string(rux::MAX_WORKERS));
        }
        const std::string directory = Bytes(outdir);
        std::vector<unsigned char> only(rux::INDEX_SLOTS, 0);
        if (slots) {
            for (int slot : *slots) {
                if (slot >= 0 && slot < rux::INDEX_SLOTS) only[static_cast<std::size_t>(slot)] = 1;
            }
        }
        rux::ExtractOptions options;
        options.quiet = 1;
        options.jobs = jobs;
        options.onlySlots = slots ? only.data() : nullptr;
        std::string lines, messages;
        int status = -2;
        {
            py::gil_scoped_release unlocked;
            std::shared_lock<std::shared_mutex> hold(lock_);
            // The engine's two streams are caught in temporary files, so
            // that nothing reaches the caller's standard output or error.
            std::FILE* o = closed_ ? nullptr : std::tmpfile();
            std::FILE* e = closed_ ? nullptr : std::tmpfile();
            if (!closed_ && (!o || !e)) {
                messages = std::string("cannot make a temporary file for messages: ") + std::strerror(errno);
                status = 1;
            } else if (!closed_) {
                std::lock_guard<std::mutex> one(g_run);
                rux::ExtractPrinter printer(options, paths_.front().c_str(), o, e);
                status = printer.Finish(rux::ExtractSet(options, set_, paths_.front().c_str(), directory.c_str(), printer), "rux");
            }
            lines = Drain(o);
            messages += Drain(e);
        }
        if (status == -2) RaiseClosed();
        return py::make_tuple(status, py::bytes(lines), py::bytes(messages));
    }

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

}  // namespace

PYBIND11_MODULE(_rux, m) {
    m.doc() = "The compiled core of rux; use the package rux.";
    g_error = PyErr_NewExceptionWithDoc("rux.Error", "A resource file could not be read or written.",
                                        PyExc_OSError, nullptr);
    g_badResourceFile = PyErr_NewExceptionWithDoc(
        "rux.BadResourceFile", "A file that cannot be mounted as a resource file; strerror says why.", g_error,
        nullptr);
    m.add_object("Error", py::handle(g_error));
    m.add_object("BadResourceFile", py::handle(g_badResourceFile));

    py::class_<Core>(m, "Core")
        .def(py::init<const std::vector<py::bytes>&>())
        .def("close", &Core::Close)
        .def_property_readonly("closed", &Core::Closed)
        .def("entries", &Core::Entries)
        .def("lookup", &Core::Lookup)
        .def("size", &Core::Size)
        .def("read_into", &Core::ReadInto)
        .def("read_range", &Core::ReadRange)
        .def("test", &Core::Test)
        .def("extract", &Core::Extract);

    m.def("pack", &Pack);
    m.def("default_jobs", &rux::DefaultWorkers);
}
