// The library's exceptions as Python sees them: a damaged file becomes
// veld.DamagedFileError (with the block number and file offset where the
// library names them), a refusal of the disk becomes OSError with its errno,
// and a file with no compressed part at all a plain ValueError.
// Raised as C++ exceptions so that they can leave code running without the
// GIL; the translators registered by registerErrors turn them into Python's.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace veldpy {

struct DamagedFile : std::runtime_error {
    DamagedFile(std::string file, const std::string& message, std::string check = {},
                std::string detail = {}, std::optional<std::int64_t> block = {},
                std::optional<std::int64_t> offset = {});
    std::string filename, check, detail;
    std::optional<std::int64_t> block, offset;
};

// Nothing in the file looks like a compressed part: a plain file, not a damaged one.
struct NotCompressed : std::runtime_error {
    NotCompressed(std::string file, const std::string& why);
    std::string filename;
};

struct OsFailure : std::runtime_error {
    OsFailure(int err, std::string file, const std::string& message);
    int err;  // 0 when the system gave none
    std::string filename;
};

// Inside a catch block: raises the exception in flight again as one of the
// two above (library exceptions) or as it is (anything else). `path` names
// the file when the exception does not.
[[noreturn]] void rethrowForPython(const std::string& path);

// Runs body, turning the library's exceptions into the module's.
template <class F>
auto guarded(const std::string& path, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        rethrowForPython(path);
    }
}

void registerErrors(pybind11::module_& m);

}  // namespace veldpy
