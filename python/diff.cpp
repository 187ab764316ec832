// rux._rux.diff: rux-diff's comparison for the package's rux.diff(), which
// turns the facts into the entries of rux-diff --json.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "diff/diff.h"

namespace py = pybind11;

namespace {

std::string Bytes(const py::bytes& b) { return std::string(b); }

py::object Listed(const rux::DiffListed& l) {
    if (!l.present) return py::none();
    return py::make_tuple(py::bytes(l.name), l.resource, l.kind, l.size, l.packedSize, l.blockLength, l.blocks,
                          l.file);
}

rux::DiffSide Side(const std::vector<py::bytes>& files, const py::bytes& dir) {
    rux::DiffSide side;
    for (const py::bytes& f : files) side.files.push_back(Bytes(f));
    side.dir = Bytes(dir);
    return side;
}

// (changes, troubles, unmatched, warnings): changes as (change, old, new),
// each side None or (name, resource, kind, size, packed_size,
// block_length, blocks, file); troubles (name, reason); -i GLOBs that
// matched nothing; warnings (path, what). Raises error (rux.Error) with
// why when a side cannot be had.
py::tuple Diff(const std::vector<py::bytes>& oldFiles, const py::bytes& oldDir, const std::vector<py::bytes>& newFiles,
               const py::bytes& newDir, const std::vector<py::bytes>& include,
               const std::vector<py::bytes>& exclude, int jobs, py::object error) {
    const rux::DiffSide old = Side(oldFiles, oldDir), now = Side(newFiles, newDir);
    rux::DiffOptions options;
    for (const py::bytes& g : include) options.include.push_back(Bytes(g));
    for (const py::bytes& g : exclude) options.exclude.push_back(Bytes(g));
    options.jobs = jobs;
    rux::DiffResult result;
    std::string why;
    int ok;
    {
        py::gil_scoped_release unlocked;
        ok = rux::Diff(old, now, options, &result, &why);
    }
    if (!ok) {
        PyErr_SetObject(error.ptr(), py::reinterpret_steal<py::object>(
                                         PyUnicode_DecodeFSDefaultAndSize(why.data(), Py_ssize_t(why.size())))
                                         .ptr());
        throw py::error_already_set();
    }
    py::list changes, troubles, unmatched, warnings;
    for (const rux::DiffItem& item : result.items) {
        changes.append(py::make_tuple(std::string(1, item.change), Listed(item.old), Listed(item.now)));
    }
    for (const rux::DiffTrouble& t : result.troubles) troubles.append(py::make_tuple(py::bytes(t.name), py::bytes(t.reason)));
    for (const std::string& g : result.unmatched) unmatched.append(py::bytes(g));
    for (const rux::PackWarning& w : result.warnings) warnings.append(py::make_tuple(py::bytes(w.path), py::bytes(w.what)));
    return py::make_tuple(changes, troubles, unmatched, warnings);
}

}  // namespace

void BindDiff(py::module_& m) { m.def("diff", &Diff); }
