#include "errors.h"

#include <cerrno>
#include <cstring>
#include <regex>

#include "SystemFileException.h"
#include "ThrowError.h"
#include "check.h"

namespace py = pybind11;

namespace veldpy {

DamagedFile::DamagedFile(std::string file, const std::string& message, std::string check_,
                         std::string detail_, std::optional<std::int64_t> block_,
                         std::optional<std::int64_t> offset_)
    : std::runtime_error(message),
      filename(std::move(file)),
      check(std::move(check_)),
      detail(std::move(detail_)),
      block(block_),
      offset(offset_) {}

NotCompressed::NotCompressed(std::string file, const std::string& why)
    : std::runtime_error("not a compressed data file: " + file + " (" + why + ")"), filename(std::move(file)) {}

OsFailure::OsFailure(int err_, std::string file, const std::string& message)
    : std::runtime_error(message), err(err_), filename(std::move(file)) {}

namespace {

// The library's damage reports begin "block 3 at offset 1201024"; a worker's
// say "payload of N bytes at offset X" without the number.
void findPlace(const std::string& detail, std::optional<std::int64_t>& block,
               std::optional<std::int64_t>& offset) {
    static const std::regex numbered(R"(block (\d+) at offset (-?\d+))");
    static const std::regex bare(R"(at offset (-?\d+))");
    std::smatch m;
    if (std::regex_search(detail, m, numbered)) {
        block = std::stoll(m[1].str());
        offset = std::stoll(m[2].str());
    } else if (std::regex_search(detail, m, bare)) {
        offset = std::stoll(m[1].str());
    }
}

// Owned by the module for the life of the process: never released at exit.
PyObject* gDamagedType = nullptr;

}  // namespace

void rethrowForPython(const std::string& path) {
    try {
        throw;
    } catch (const veld::CheckFailure& e) {
        std::optional<std::int64_t> block, offset;
        findPlace(e.detail(), block, offset);
        std::string message = "check failed: " + e.expression();
        if (!e.detail().empty()) message += " (" + e.detail() + ")";
        throw DamagedFile(path, message, e.expression(), e.detail(), block, offset);
    } catch (const veld::DataSourceError& e) {
        throw OsFailure(e.sysErrno(), e.fileName().empty() ? path : e.fileName(), e.what());
    } catch (const SystemFileException& e) {
        // Thrown right after the failed open, whose errno still stands.
        const int err = errno;
        throw OsFailure(err, path, "cannot reopen the file: error " + std::to_string(e.fErrorNumber));
    }
}

void registerErrors(py::module_& m) {
    // Kept apart from OSError: the file is damaged, the disk did not refuse.
    gDamagedType = PyErr_NewExceptionWithDoc("veld.DamagedFileError",
                                  "The file's compressed part is damaged. Attributes: filename, block "
                                  "and offset (None where unknown), check and detail (the library's words).",
                                  PyExc_ValueError, nullptr);
    if (!gDamagedType) throw py::error_already_set();
    m.attr("DamagedFileError") = py::handle(gDamagedType);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const DamagedFile& e) {
            py::object error = py::handle(gDamagedType)(e.what());
            error.attr("filename") = e.filename;
            error.attr("check") = e.check;
            error.attr("detail") = e.detail;
            error.attr("block") = e.block ? py::object(py::int_(*e.block)) : py::none();
            error.attr("offset") = e.offset ? py::object(py::int_(*e.offset)) : py::none();
            PyErr_SetObject(gDamagedType, error.ptr());
        } catch (const NotCompressed& e) {
            py::object error = py::handle(PyExc_ValueError)(e.what());
            error.attr("filename") = e.filename;
            PyErr_SetObject(PyExc_ValueError, error.ptr());
        } catch (const OsFailure& e) {
            // OSError(errno, text, filename) picks the subclass (FileNotFoundError, ...).
            py::object error =
                e.err ? py::handle(PyExc_OSError)(e.err, std::string(std::strerror(e.err)) + " (" + e.what() + ")",
                                                  e.filename)
                      : py::handle(PyExc_OSError)(std::string(e.what()));
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        }
    });
}

}  // namespace veldpy
