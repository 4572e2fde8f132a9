#include "layout_inspector.h"

#include <cstring>
#include <filesystem>

#include "ThrowError.h"
#include "cli_support.h"

namespace veldcli {

namespace {

const std::string& openable(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw CliError(kExitDamaged, path, "is a directory, not a data file");
    return path;
}

}  // namespace

RawReader::RawReader(const std::string& path) try : FileSource(openable(path)) {
} catch (const veld::DataSourceError& e) {
    const int err = e.sysErrno();
    throw CliError(kExitDamaged, e.fileName(),
                   "cannot open: " + systemReason(err, path, true) + (e.detail().empty() ? "" : " (" + e.detail() + ")"));
}

std::int64_t resolveRow0(RawReader& file, std::optional<std::int64_t> given, bool swap) {
    if (given) {
        if (*given <= 0) throw CliError(kExitUsage, "", "--row0 must be 1 or more");
        return *given;
    }
    std::string nearMiss;
    std::int64_t nearMissAt = -1;
    if (const auto found = veld::inspect::findRow0(file, swap, &nearMiss, &nearMissAt)) return *found;
    const std::string hint =
        nearMissAt < 0 ? "; give --row0 P" : " (" + nearMiss + "; give --row0 " + std::to_string(nearMissAt) + " to check it)";
    std::string unfinished;
    if (const auto p = veld::inspect::findUnfinishedRow0(file))
        unfinished = "; offset " + std::to_string(*p) + " looks like the unwritten heading of a pack that never "
                     "finished: 'veld recover " + file.path() + "' keeps its complete blocks";
    // The command line is fine; the file is not a compressed data file.
    throw CliError(kExitDamaged, file.path(),
                   std::string("no compressed part found: no offset holds its own position followed by a sound table") +
                       (swap ? " in the other byte order" : "") + hint + unfinished);
}

Layout requireSoundLayout(RawReader& file, std::int64_t row0, bool swap) {
    Layout L = veld::inspect::inspectLayout(file, row0, swap);
    if (!L.sound()) {
        std::string text = L.problems.empty() ? "the table cannot be used" : L.problems.front().text;
        if (L.problems.size() > 1)
            text += " (and " + std::to_string(L.problems.size() - 1) + " more problems; run 'veld verify')";
        throw CliError(kExitDamaged, file.path(), text);
    }
    return L;
}

void rethrowNamingBlock(const std::string& path, std::int64_t row0, bool swap) {
    const std::string library = describeCurrentException();
    std::string found;
    try {
        RawReader raw(path);
        Layout L = veld::inspect::inspectLayout(raw, row0, swap);
        veld::inspect::checkPayloads(L, raw, 0);
        if (!L.problems.empty()) found = L.problems.front().text;
    } catch (...) {
        // The library's own words are reported either way.
    }
    throw CliError(kExitDamaged, path, found.empty() ? library : found + " (" + library + ")");
}

}  // namespace veldcli
