// On the library's inspection of the heading and table, so that row0 is
// found and the info fields are computed exactly as the veld program does.
#include "layout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "errors.h"
#include "zcmpsInspect.h"

namespace py = pybind11;
namespace inspect = veld::inspect;

namespace veldpy {

namespace {

struct Source : inspect::FileSource {
    explicit Source(const std::string& path) : FileSource(notADirectory(path)) {}
    static const std::string& notADirectory(const std::string& path) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) throw OsFailure(EISDIR, path, "is a directory");
        return path;
    }
};

std::optional<std::int64_t> placeOf(std::int64_t block) {
    return block >= 0 ? std::optional<std::int64_t>(block) : std::nullopt;
}

[[noreturn]] void raiseProblem(const std::string& path, const inspect::Layout& L) {
    const inspect::Problem p = L.problems.empty() ? inspect::Problem{-1, L.row0, "the table cannot be used"}
                                                  : L.problems.front();
    throw DamagedFile(path, p.text, {}, p.text, placeOf(p.block), p.offset);
}

// row0 and the byte order: the given ones, or else the program's search, the
// native order first. A layout whose heading is not there is refused.
inspect::Layout inspectFile(Source& source, std::optional<std::int64_t> row0, std::optional<bool> swap) {
    if (row0 && *row0 <= 0) throw py::value_error("row0 must be greater than 0");
    std::optional<inspect::Layout> firstTried;
    std::string nearMiss;
    for (bool s : {false, true}) {
        if (swap && *swap != s) continue;
        std::optional<std::int64_t> p = row0;
        if (!p) p = inspect::findRow0(source, s, nearMiss.empty() ? &nearMiss : nullptr);
        if (!p) continue;
        inspect::Layout L = inspect::inspectLayout(source, *p, s);
        if (L.headingRead) return L;
        if (!firstTried) firstTried = std::move(L);
    }
    if (firstTried) return *firstTried;
    const std::string none = "no offset holds its own position followed by a sound table";
    const auto unfinished = inspect::findUnfinishedRow0(source);
    // Neither a heading that fails its checks nor the blocks of an unfinished
    // pack: nothing here was ever compressed.
    if (nearMiss.empty() && !unfinished) throw NotCompressed(source.path(), none);
    std::string text = "no compressed part found: " + none;
    if (!nearMiss.empty()) text += " (" + nearMiss + ")";
    if (unfinished)
        text += "; offset " + std::to_string(*unfinished) +
                " looks like the unwritten heading of a pack that never finished: veld.recover keeps its "
                "complete blocks";
    throw DamagedFile(source.path(), text);
}

py::dict blockDict(const blockInfo& b) {
    py::dict d;
    d["orginalPos"] = b.orginalPos;
    d["translatePos"] = b.translatePos;
    d["orginalSize"] = b.orginalSize;
    d["translateSize"] = b.translateSize;
    return d;
}

py::list problemList(const inspect::Layout& L) {
    py::list out;
    for (const inspect::Problem& p : L.problems) {
        py::dict d;
        d["block"] = p.block;
        d["offset"] = p.offset;
        d["text"] = p.text;
        out.append(d);
    }
    return out;
}

// Runs body on the file's inspection source with the GIL let go.
template <class F>
auto withSource(const std::string& path, F&& body) {
    py::gil_scoped_release nogil;
    return guarded(path, [&] {
        Source source(path);
        return body(source);
    });
}

}  // namespace

FileLayout locate(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap) {
    return withSource(path, [&](Source& source) {
        const inspect::Layout L = inspectFile(source, row0, swap);
        if (!L.sound()) raiseProblem(path, L);
        FileLayout f;
        f.path = path;
        f.row0 = L.row0;
        f.swap = L.swap;
        f.dataEnd = L.dataEnd;
        f.blocks = L.blocks;
        return f;
    });
}

py::dict info(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap, bool blocks) {
    const inspect::Layout L = withSource(path, [&](Source& source) { return inspectFile(source, row0, swap); });
    if (!L.tableLoaded) raiseProblem(path, L);
    py::dict d;
    d["file"] = path;
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
        std::snprintf(text, sizeof text, "%.4f",
                      static_cast<double>(L.caseBytes) / static_cast<double>(L.payloadBytes));
        d["ratio"] = std::strtod(text, nullptr);
    } else {
        d["ratio"] = py::none();
    }
    d["short_blocks"] = L.shortBlocks;
    d["bytes_after_table"] = L.fileSize - L.tableEnd();
    d["stale_bytes"] = L.staleBytes;
    d["problems"] = problemList(L);
    if (blocks) {
        py::list list;
        for (const blockInfo& b : L.blocks) list.append(blockDict(b));
        d["blocks"] = list;
    }
    return d;
}

py::list verify(const std::string& path, std::optional<std::int64_t> row0, std::optional<bool> swap, int jobs) {
    const inspect::Layout L = withSource(path, [&](Source& source) {
        inspect::Layout found = inspectFile(source, row0, swap);
        if (found.tableLoaded) {
            inspect::checkPayloads(found, source, jobs >= 2 ? 2 : 0);
        } else {
            // Without a table, the payloads themselves tell how far the file is whole.
            const inspect::Walk walk = inspect::walkPayloads(source, found.row0);
            if (!walk.stopped.empty())
                found.problems.push_back({static_cast<std::int64_t>(walk.blocks.size()), walk.end, walk.stopped});
        }
        return found;
    });
    return problemList(L);
}

py::dict recover(const std::string& path, const std::string& output, std::optional<std::int64_t> row0,
                 std::optional<bool> swap) {
    struct Outcome {
        inspect::RecoveryPlan plan;
        std::int64_t size = 0;
    };
    const Outcome o = withSource(path, [&](Source& source) {
        std::optional<std::int64_t> p = row0;
        bool s = swap.value_or(false);
        std::string nearMiss;
        for (bool order : {false, true}) {
            if (p || (swap && *swap != order)) continue;
            p = inspect::findRow0(source, order, nearMiss.empty() ? &nearMiss : nullptr);
            s = order;
        }
        if (!p) p = inspect::findUnfinishedRow0(source);  // a pack that never wrote its heading
        if (!p && !nearMiss.empty()) throw DamagedFile(path, "no compressed part found (" + nearMiss + "); give row0");
        if (!p) throw NotCompressed(path, "neither a heading nor the blocks of an unfinished pack");
        Outcome out{inspect::planRecovery(source, *p, s)};
        if (!out.plan.sound) out.size = inspect::writeRecovered(out.plan, source, output);
        return out;
    });
    const inspect::RecoveryPlan& plan = o.plan;
    py::dict d;
    d["output"] = plan.sound ? py::object(py::none()) : py::object(py::str(output));
    d["file_size"] = plan.sound ? py::object(py::none()) : py::object(py::int_(o.size));
    d["row0"] = plan.row0;
    d["swap"] = plan.swap;
    d["sound"] = plan.sound;
    d["from_table"] = plan.fromTable;
    d["block_count"] = static_cast<std::int64_t>(plan.blocks.size());
    d["case_bytes"] = plan.caseBytes;
    d["damage_offset"] = plan.damageOffset >= 0 ? py::object(py::int_(plan.damageOffset)) : py::object(py::none());
    d["damage"] = plan.damage;
    d["lost_blocks"] = plan.lostBlocks >= 0 ? py::object(py::int_(plan.lostBlocks)) : py::object(py::none());
    d["lost_case_bytes"] =
        plan.lostCaseBytes >= 0 ? py::object(py::int_(plan.lostCaseBytes)) : py::object(py::none());
    return d;
}

}  // namespace veldpy
