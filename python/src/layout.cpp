// Built on the veld program's own inspector of the heading and table, so
// that row0 is found and the info fields are computed exactly as the program
// does it.
#include "layout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "ExtNameStr.h"
#include "VELD_File.h"
#include "cli_support.h"
#include "errors.h"
#include "layout_inspector.h"

namespace py = pybind11;
using veldcli::CliError;
using veldcli::Layout;
using veldcli::RawReader;

namespace veldpy {

namespace {

// The inspector reports a file it cannot open in words only; the errno comes from here.
void requireReadable(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw OsFailure(EISDIR, path, "is a directory");
    VELD_File file(false);
    ExtNameStr name;
    name.SetGeneric(path);
    errno = 0;
    if (!file.Open(name, "rb")) {
        const int err = errno;
        throw OsFailure(err, path, "cannot open");
    }
    file.Close();
}

[[noreturn]] void raiseProblem(const Layout& L) {
    const veldcli::Problem p = L.problems.empty() ? veldcli::Problem{-1, L.row0, "the table cannot be used"}
                                                  : L.problems.front();
    throw DamagedFile(L.path, p.text, {}, p.text, p.block >= 0 ? std::optional<std::int64_t>(p.block) : std::nullopt,
                      p.offset);
}

// row0 and the byte order: the given ones, or else the program's search,
// in the native order first.
Layout inspect(RawReader& raw, std::optional<std::int64_t> row0, std::optional<bool> swap) {
    if (row0 && *row0 <= 0) throw py::value_error("row0 must be greater than 0");
    std::optional<CliError> firstMiss;
    for (bool s : {false, true}) {
        if (swap && *swap != s) continue;
        try {
            const std::int64_t p = veldcli::resolveRow0(raw, row0, s);
            return veldcli::inspectLayout(raw, p, s);
        } catch (const CliError& e) {
            if (!firstMiss) firstMiss = e;
        }
    }
    throw DamagedFile(raw.path(), firstMiss->what());
}

Layout soundLayout(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap) {
    requireReadable(path);
    return guarded(path, [&] {
        RawReader raw(path);
        Layout L = inspect(raw, row0, swap);
        if (!L.sound()) raiseProblem(L);
        return L;
    });
}

py::dict blockDict(const blockInfo& b) {
    py::dict d;
    d["orginalPos"] = b.orginalPos;
    d["translatePos"] = b.translatePos;
    d["orginalSize"] = b.orginalSize;
    d["translateSize"] = b.translateSize;
    return d;
}

py::list problemList(const Layout& L) {
    py::list out;
    for (const veldcli::Problem& p : L.problems) {
        py::dict d;
        d["block"] = p.block;
        d["offset"] = p.offset;
        d["text"] = p.text;
        out.append(d);
    }
    return out;
}

}  // namespace

FileLayout locate(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap) {
    const Layout L = soundLayout(path, row0, swap);
    FileLayout f;
    f.path = path;
    f.row0 = L.row0;
    f.swap = L.swap;
    f.dataEnd = L.dataEnd;
    f.blocks = L.blocks;
    return f;
}

py::dict info(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap, bool blocks) {
    requireReadable(path);
    Layout L;
    {
        py::gil_scoped_release nogil;
        L = guarded(path, [&] {
            RawReader raw(path);
            return inspect(raw, row0, swap);
        });
    }
    if (!L.tableLoaded) raiseProblem(L);
    py::dict d;
    d["file"] = L.path;
    d["file_size"] = L.fileSize;
    d["row0"] = L.row0;
    d["swap"] = L.swap;
    d["table_offset"] = L.heading._infoPos;
    d["table_length"] = L.heading._size;
    d["block_count"] = static_cast<std::int64_t>(L.blocks.size());
    d["block_size"] = L.first.orginalSize;
    d["data_end"] = L.dataEnd;
    d["case_bytes"] = L.caseBytes;
    d["payload_bytes"] = L.payloadBytes;
    d["payload_end"] = L.payloadEnd;
    if (L.payloadBytes) {
        // The program prints four decimals; the same digits give the same float.
        char text[64];
        std::snprintf(text, sizeof text, "%.4f", static_cast<double>(L.caseBytes) / static_cast<double>(L.payloadBytes));
        d["ratio"] = std::strtod(text, nullptr);
    } else {
        d["ratio"] = py::none();
    }
    d["short_blocks"] = L.shortBlocks;
    d["bytes_after_table"] = L.fileSize - L.tableEnd();
    d["problems"] = problemList(L);
    if (blocks) {
        py::list list;
        for (const blockInfo& b : L.blocks) list.append(blockDict(b));
        d["blocks"] = list;
    }
    return d;
}

py::list verify(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap, int jobs) {
    requireReadable(path);
    Layout L;
    {
        py::gil_scoped_release nogil;
        L = guarded(path, [&] {
            RawReader raw(path);
            Layout found = inspect(raw, row0, swap);
            if (found.tableLoaded)
                veldcli::checkPayloads(found, raw, jobs >= 2 ? 2 : 0, nullptr);
            else
                veldcli::scanPayloads(found, raw);
            return found;
        });
    }
    return problemList(L);
}

}  // namespace veldpy
