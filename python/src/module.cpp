// veld._veld: the compressed data files from Python. The Python package
// around it (veld/__init__.py) gives the file object and NumPy layers.
// The GIL is let go for every read, write, flush and close, which is where
// blocks are read, inflated, deflated and written.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "errors.h"
#include "layout.h"
#include "streams.h"

namespace py = pybind11;
using veldpy::CaseReader;
using veldpy::CaseWriter;

namespace {

// A contiguous view of any object with the buffer protocol, held while the
// GIL is let go (the exporter cannot resize or free it meanwhile).
class HeldBuffer {
public:
    HeldBuffer(const py::object& object, bool writable) {
        if (PyObject_GetBuffer(object.ptr(), &fView, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
    }
    ~HeldBuffer() { PyBuffer_Release(&fView); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    void* data() const { return fView.buf; }
    std::uint64_t size() const { return static_cast<std::uint64_t>(fView.len); }

private:
    Py_buffer fView{};
};

// str or any os.PathLike.
std::string pathString(const py::object& path) {
    return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

std::uint64_t readInto(CaseReader& r, const py::object& buffer) {
    HeldBuffer b(buffer, true);
    py::gil_scoped_release nogil;
    return r.readInto(b.data(), b.size());
}

std::uint64_t writeFrom(CaseWriter& w, const py::object& buffer) {
    HeldBuffer b(buffer, false);
    py::gil_scoped_release nogil;
    w.write(b.data(), b.size());
    return b.size();
}

}  // namespace

PYBIND11_MODULE(_veld, m) {
    m.doc() = "Compressed data files: the dictionary part, then case data in zlib blocks.";
    veldpy::registerErrors(m);
    m.attr("__version__") = VELD_VERSION;

    py::class_<veldpy::FileLayout>(m, "_Layout")
        .def_readonly("path", &veldpy::FileLayout::path)
        .def_readonly("row0", &veldpy::FileLayout::row0)
        .def_readonly("swap", &veldpy::FileLayout::swap)
        .def_readonly("data_end", &veldpy::FileLayout::dataEnd)
        .def_property_readonly("blocks", [](const veldpy::FileLayout& l) {
            py::list out;
            for (const blockInfo& b : l.blocks) out.append(py::make_tuple(b.orginalPos, b.orginalSize));
            return out;
        }, "(position, size) of each block's uncompressed bytes");

    m.def("_locate", &veldpy::locate, py::arg("path"), py::arg("row0"), py::arg("swap"));

    m.def("_info", &veldpy::info, py::arg("path"), py::arg("row0"), py::arg("swap"), py::arg("blocks"));
    m.def("_verify", &veldpy::verify, py::arg("path"), py::arg("row0"), py::arg("swap"), py::arg("jobs"));
    m.def("_recover", &veldpy::recover, py::arg("path"), py::arg("output"), py::arg("row0"), py::arg("swap"));

    py::class_<CaseReader>(m, "_Reader")
        .def(py::init<veldpy::FileLayout, int>(), py::arg("layout"), py::arg("jobs"),
             py::call_guard<py::gil_scoped_release>())
        .def("readinto", &readInto, py::arg("buffer"))
        .def("seek", &CaseReader::seek, py::arg("offset"), py::arg("whence"),
             py::call_guard<py::gil_scoped_release>())
        .def("tell", &CaseReader::tell)
        .def("close", &CaseReader::close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("closed", &CaseReader::closed)
        .def_property_readonly("size", [](const CaseReader& r) { return r.layout().dataEnd; })
        .def_property_readonly("row0", [](const CaseReader& r) { return r.layout().row0; })
        .def_property_readonly("swap", [](const CaseReader& r) { return r.layout().swap; });

    py::class_<CaseWriter>(m, "Writer", R"(Writes a new compressed data file.

Writer(path, dictionary, jobs=2): the dictionary part (any bytes-like object)
is written first, and its length is the row-0 position; write() then takes
case data from any object with the buffer protocol (bytes, memoryview, NumPy
arrays), without copying it. flush() ends the current block early, so its
bytes reach the file; close() writes the last block, the table and the
heading (when that fails, nothing is committed). abandon() gives the write
up without committing anything. As a context manager the file is closed on
leaving the block, or abandoned when an exception leaves it.
jobs >= 2 lets jobs - 1 worker threads compress blocks at once.)")
        .def(py::init([](const py::object& path, const py::object& dictionary, int jobs) {
                 const std::string name = pathString(path);
                 HeldBuffer d(dictionary, false);
                 py::gil_scoped_release nogil;
                 return new CaseWriter(name, d.data(), d.size(), jobs);
             }),
             py::arg("path"), py::arg("dictionary"), py::arg("jobs") = 2)
        .def_static("_append", [](const veldpy::FileLayout& layout, bool inPlace, int jobs) {
            py::gil_scoped_release nogil;
            return new CaseWriter(layout, inPlace, jobs);
        })
        .def("write", &writeFrom, py::arg("buffer"), "Writes the buffer's bytes; answers their count.")
        .def("flush", &CaseWriter::flush, py::call_guard<py::gil_scoped_release>())
        .def("close", &CaseWriter::close, py::call_guard<py::gil_scoped_release>())
        .def("abandon", &CaseWriter::abandon, py::call_guard<py::gil_scoped_release>(),
             "Gives the write up, committing nothing (no table, no heading).")
        .def("tell", &CaseWriter::tell, "The uncompressed position of the next byte written.")
        .def_property_readonly("closed", &CaseWriter::closed)
        .def_property_readonly("row0", &CaseWriter::row0)
        .def_property_readonly("name", &CaseWriter::path)
        .def("__enter__", [](CaseWriter& w) -> CaseWriter& { return w; }, py::return_value_policy::reference)
        .def("__exit__", [](CaseWriter& w, const py::object& type, const py::object&, const py::object&) {
            // A block left by an exception commits nothing.
            const bool failed = !type.is_none();
            py::gil_scoped_release nogil;
            if (failed)
                w.abandon();
            else
                w.close();
            return false;
        });
}
