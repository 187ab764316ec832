// rux._rux: the compiled core of the Python package rux. It owns one
// resource set per ResourceFile and reads it by position; rux/__init__.py
// gives it zipfile's shape. Names cross as bytes, and Python decodes them
// with os.fsdecode.
//
// Threads: every read releases the GIL and holds the core's lock shared,
// so reads of one file run in parallel; close() takes it exclusively, so
// it waits for the reads in flight and no read ever meets a released set.
#include "python/core.h"

#include "common/workers.h"

namespace rux_python {

PyObject* g_error = nullptr;
PyObject* g_badResourceFile = nullptr;

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

}  // namespace rux_python

using namespace rux_python;

void BindDiff(py::module_& m);  // python/diff.cpp

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
    BindDiff(m);
    m.def("default_jobs", &rux::DefaultWorkers);
    m.attr("MAX_JOBS") = rux::MAX_WORKERS;
}
