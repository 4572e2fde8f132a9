// info and verify: what the heading and table say, and whether every rule
// of the layout holds, down to each payload inflating to its recorded size.
#include <algorithm>
#include <cstdio>
#include <string>

#include "remote_failure.h"
#include "cli_support.h"
#include "commands.h"
#include "json_text.h"
#include "layout_inspector.h"
#include "progress.h"

namespace veldcli {

namespace {

double ratioOf(const Layout& L) {
    return L.payloadBytes ? static_cast<double>(L.caseBytes) / static_cast<double>(L.payloadBytes) : 0.0;
}

std::int64_t bytesAfterTable(const Layout& L) { return L.fileSize - L.tableEnd(); }

void printJson(const std::string& path, const Layout& L, bool withBlocks) {
    std::printf("{\n");
    std::printf("  \"file\": %s,\n", jsonString(veld::remote::withoutCredentials(path)).c_str());
    std::printf("  \"file_size\": %lld,\n", static_cast<long long>(L.fileSize));
    std::printf("  \"row0\": %lld,\n", static_cast<long long>(L.row0));
    std::printf("  \"swap\": %s,\n", L.swap ? "true" : "false");
    std::printf("  \"table_offset\": %lld,\n", static_cast<long long>(L.heading._infoPos));
    std::printf("  \"table_length\": %lld,\n", static_cast<long long>(L.heading._size));
    std::printf("  \"block_count\": %lld,\n", static_cast<long long>(L.blocks.size()));
    std::printf("  \"block_size\": %d,\n", L.first.orginalSize);
    std::printf("  \"data_end\": %lld,\n", static_cast<long long>(L.dataEnd));
    std::printf("  \"case_bytes\": %llu,\n", static_cast<unsigned long long>(L.caseBytes));
    std::printf("  \"payload_bytes\": %llu,\n", static_cast<unsigned long long>(L.payloadBytes));
    std::printf("  \"payload_end\": %lld,\n", static_cast<long long>(L.payloadEnd));
    if (L.payloadBytes)
        std::printf("  \"ratio\": %.4f,\n", ratioOf(L));
    else
        std::printf("  \"ratio\": null,\n");
    std::printf("  \"short_blocks\": %lld,\n", static_cast<long long>(L.shortBlocks));
    std::printf("  \"bytes_after_table\": %lld,\n", static_cast<long long>(bytesAfterTable(L)));
    std::printf("  \"stale_bytes\": %lld,\n", static_cast<long long>(L.staleBytes));
    std::printf("  \"problems\": [");
    for (std::size_t i = 0; i < L.problems.size(); ++i)
        std::printf("%s\n    {\"block\": %lld, \"offset\": %lld, \"text\": %s}", i ? "," : "",
                    static_cast<long long>(L.problems[i].block), static_cast<long long>(L.problems[i].offset),
                    jsonString(L.problems[i].text).c_str());
    std::printf("%s]", L.problems.empty() ? "" : "\n  ");
    if (withBlocks) {
        std::printf(",\n  \"blocks\": [");
        for (std::size_t k = 0; k < L.blocks.size(); ++k) {
            const blockInfo& b = L.blocks[k];
            std::printf("%s\n    {\"orginalPos\": %lld, \"translatePos\": %lld, \"orginalSize\": %d, "
                        "\"translateSize\": %d}",
                        k ? "," : "", static_cast<long long>(b.orginalPos),
                        static_cast<long long>(b.translatePos), b.orginalSize, b.translateSize);
        }
        std::printf("%s]", L.blocks.empty() ? "" : "\n  ");
    }
    std::printf("\n}\n");
}

std::string shortBlocksText(const Layout& L) {
    if (L.shortBlocks == 0) return "none";
    const bool lastShort = !L.blocks.empty() && L.blocks.back().orginalSize < L.first.orginalSize;
    const std::int64_t early = L.shortBlocks - (lastShort ? 1 : 0);
    std::string text = std::to_string(L.shortBlocks) + " (";
    // A Flush ends a block early, and so does an append that kept a short
    // last block as it was: the file cannot tell which.
    if (early) text += std::to_string(early) + " inside the data (a Flush, or where an append began)" + (lastShort ? ", " : "");
    if (lastShort) text += "the last";
    return text + ")";
}

void printText(const std::string& path, const Layout& L, bool withBlocks) {
    const auto g = [](std::int64_t v) { return v < 0 ? std::to_string(v) : groupDigits(static_cast<std::uint64_t>(v)); };
    const compressionHeading& h = L.heading;
    std::printf("file           %s, %s bytes\n", veld::remote::withoutCredentials(path).c_str(), g(L.fileSize).c_str());
    std::printf("row0           %s (dictionary part: bytes 0 to %s)%s\n", g(L.row0).c_str(), g(L.row0 - 1).c_str(),
                L.swap ? ", read in the other byte order" : "");
    std::printf("heading        case start %s, table at %s, %s bytes\n", g(h._caseStartPos).c_str(),
                g(h._infoPos).c_str(), g(h._size).c_str());
    std::printf("blocks         %s of up to %s bytes\n", g(static_cast<std::int64_t>(L.blocks.size())).c_str(),
                g(L.first.orginalSize).c_str());
    std::printf("case bytes     %s (positions %s to %s)\n", groupDigits(L.caseBytes).c_str(), g(L.row0).c_str(),
                g(L.dataEnd).c_str());
    std::printf("payload bytes  %s (offsets %s to %s)\n", groupDigits(L.payloadBytes).c_str(),
                g(L.row0 + 24).c_str(), g(L.payloadEnd).c_str());
    if (L.payloadBytes)
        std::printf("ratio          %.2f\n", ratioOf(L));
    else
        std::printf("ratio          -\n");
    std::printf("short blocks   %s\n", shortBlocksText(L).c_str());
    std::printf("after table    %s bytes\n", g(bytesAfterTable(L)).c_str());
    std::printf("stale bytes    %s%s\n", g(L.staleBytes).c_str(),
                L.staleBytes > 0 ? " (left behind by appends: no payload or table uses them; not damage; "
                                   "'veld compact' removes them)"
                                 : "");
    if (withBlocks) {
        std::printf("\n%6s %14s %14s %12s %14s %7s\n", "block", "orginalPos", "translatePos", "orginalSize",
                    "translateSize", "ratio");
        for (std::size_t k = 0; k < L.blocks.size(); ++k) {
            const blockInfo& b = L.blocks[k];
            std::printf("%6zu %14lld %14lld %12d %14d %7.2f\n", k, static_cast<long long>(b.orginalPos),
                        static_cast<long long>(b.translatePos), b.orginalSize, b.translateSize,
                        b.translateSize > 0 ? static_cast<double>(b.orginalSize) / b.translateSize : 0.0);
        }
    }
}

}  // namespace

namespace {

// `reports`: how many reports came before this one.
int infoOne(const InfoOptions& o, const std::string& file, int& reports) {
    RawReader raw(file);
    const std::int64_t row0 = resolveRow0(raw, o.row0, o.swap);
    const Layout L = inspectLayout(raw, row0, o.swap);
    if (!L.tableLoaded) throw CliError(kExitDamaged, file, L.problems.front().text);
    if (!o.quiet) {
        if (reports > 0) std::printf(o.json ? ",\n" : "\n");
        if (o.json)
            printJson(file, L, o.blocks);
        else
            printText(file, L, o.blocks);
        ++reports;
    }
    for (const Problem& p : L.problems) reportError(file, p.text);
    return L.problems.empty() ? kExitOk : kExitDamaged;
}

int verifyOne(const VerifyOptions& o, const std::string& file);

}  // namespace

int runInfo(const InfoOptions& o) {
    int worst = kExitOk;
    int reports = 0;
    const bool array = o.json && !o.quiet && o.files.size() > 1;
    if (array) std::printf("[\n");
    for (const std::string& file : o.files)
        worst = std::max(worst, runReported(file, [&] { return infoOne(o, file, reports); }));
    if (array) std::printf("]\n");
    return worst;
}

int runVerify(const VerifyOptions& o) {
    int worst = kExitOk;
    for (const std::string& file : o.files)
        worst = std::max(worst, runReported(file, [&] { return verifyOne(o, file); }));
    return worst;
}

namespace {

int verifyOne(const VerifyOptions& o, const std::string& file) {
    RawReader raw(file);
    const std::int64_t row0 = resolveRow0(raw, o.row0, o.swap);
    Layout L = inspectLayout(raw, row0, o.swap);
    std::int64_t walked = -1;
    if (L.tableLoaded) {
        Progress progress("verify", L.caseBytes, o.quiet);
        checkPayloads(L, raw, o.threads ? o.threads : o.jobs >= 2 ? 2 : 0, [&progress](std::uint64_t n) { progress.advance(n); });
    } else {
        // Without a table, the payloads themselves tell how far the file is whole.
        const veld::inspect::Walk walk = veld::inspect::walkPayloads(raw, row0);
        walked = static_cast<std::int64_t>(walk.blocks.size());
        if (!walk.stopped.empty()) L.problems.push_back({walked, walk.end, walk.stopped});
    }
    if (L.problems.empty()) {
        if (!o.quiet) {
            std::printf("%s: ok: %zu blocks, %s bytes of case data in %s payload bytes (ratio %.2f)",
                        veld::remote::withoutCredentials(file).c_str(),
                        L.blocks.size(), groupDigits(L.caseBytes).c_str(), groupDigits(L.payloadBytes).c_str(),
                        ratioOf(L));
            if (L.staleBytes)
                std::printf("; %s stale bytes (not damage; 'veld compact %s' removes them)",
                            groupDigits(L.staleBytes).c_str(), file.c_str());
            std::printf("\n");
        }
        return kExitOk;
    }
    for (const Problem& p : L.problems) reportError(file, p.text);
    std::string summary = std::to_string(L.problems.size()) + (L.problems.size() == 1 ? " problem" : " problems");
    if (walked >= 0)
        summary += "; the table cannot be used, and " + std::to_string(walked) + " whole payloads follow the heading";
    reportError(file, summary);
    const veld::inspect::RecoveryPlan plan = veld::inspect::planRecovery(raw, row0, o.swap);
    reportError(file, "'veld recover " + file + (o.row0 ? " --row0 " + std::to_string(row0) : std::string()) +
                            (o.swap ? " --swap" : "") + "' writes a valid copy with the " +
                            std::to_string(plan.blocks.size()) + " complete blocks (" +
                            groupDigits(plan.caseBytes) + " bytes of case data)");
    return kExitDamaged;
}

}  // namespace

}  // namespace veldcli
