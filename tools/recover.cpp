// recover: keeps every sound block of a file whose heading, table or payloads
// are damaged, in a new file (or, when asked, in place of the old one), and
// says exactly what was kept, what was lost and where the damage starts.
#include <cctype>
#include <cstdio>
#include <string>

#include "cli_support.h"
#include "commands.h"
#include "json_text.h"
#include "layout_inspector.h"

namespace veldcli {

namespace {

using veld::inspect::FilledRange;
using veld::inspect::RecoveryPlan;

std::string g(std::int64_t v) {
    return v < 0 ? std::to_string(v) : groupDigits(static_cast<std::uint64_t>(v));
}

// The library's words with every number of four digits or more grouped, as
// the report's own numbers are.
std::string grouped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t j = i;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j == i) {
            out += text[i++];
            continue;
        }
        const bool word = (i > 0 && std::isalpha(static_cast<unsigned char>(text[i - 1]))) ||
                          (j < text.size() && std::isalpha(static_cast<unsigned char>(text[j])));
        out += j - i >= 4 && j - i <= 19 && !word ? groupDigits(std::stoull(text.substr(i, j - i)))
                                                  : text.substr(i, j - i);
        i = j;
    }
    return out;
}

std::string blocksText(std::int64_t n) {
    return g(n) + (n == 1 ? " block" : " blocks");
}

// "positions 1,000 to 4,191,207 (4,190,208 bytes)": the last position inclusive.
std::string rangeText(const FilledRange& f) {
    return "positions " + g(f.from) + " to " + g(f.to - 1) + " (" + g(f.to - f.from) + " bytes)";
}

std::string lostText(const RecoveryPlan& plan) {
    if (!plan.filled.empty())
        return blocksText(plan.lostBlocks) + " damaged; " + (plan.lostBlocks == 1 ? "its " : "their ") +
               g(plan.lostCaseBytes) + " bytes of case data are zero bytes in the output";
    if (plan.lostBlocks > 0 || plan.lostCaseBytes > 0)
        return blocksText(plan.lostBlocks) + ", " + g(plan.lostCaseBytes) +
               " bytes of case data (the table counts them)";
    if (plan.lostBlocks == 0 && plan.unusedBytes > 0)
        return "no block a table counts; no block starts in the " + g(plan.unusedBytes) + " bytes from offset " +
               g(plan.damageOffset) + " to the end of the file";
    if (plan.lostBlocks == 0) return "nothing";
    if (plan.unusedBytes > 0)
        return "whatever the " + g(plan.unusedBytes) + " bytes from offset " + g(plan.damageOffset) +
               " to the end of the file held (no table counts it)";
    return "nothing: every payload in the file was kept";
}

void printText(const RecoverOptions& o, const std::string& output, std::int64_t written, const RecoveryPlan& plan,
               const std::string& foundBy) {
    const std::string positions =
        plan.dataEnd > plan.row0 ? ", positions " + g(plan.row0) + " to " + g(plan.dataEnd - 1) : std::string();
    std::printf(
        "%s: recovered into %s (%s bytes): row0 %s%s, %s, %s bytes of case data%s (%s)\n", o.file.c_str(),
        output.c_str(), g(written).c_str(), g(plan.row0).c_str(),
        foundBy.empty() ? "" : (" (found by " + foundBy + ")").c_str(),
        blocksText(static_cast<std::int64_t>(plan.blocks.size())).c_str(), groupDigits(plan.caseBytes).c_str(),
        positions.c_str(),
        plan.fromTable ? ("from the table at offset " + g(plan.tableOffset)).c_str() : "found by walking the payloads");
    if (plan.damageOffset >= 0)
        std::printf("damage starts at offset %s: %s\n", g(plan.damageOffset).c_str(), grouped(plan.damage).c_str());
    std::printf("lost: %s\n", lostText(plan).c_str());
    for (const FilledRange& f : plan.filled)
        std::printf("filled with zero bytes: %s, held by %s: %s\n", rangeText(f).c_str(),
                    f.block >= 0 ? grouped(veld::inspect::blockPlace(f.block, f.offset)).c_str() : "an unknown block",
                    grouped(f.why).c_str());
    if (plan.laterBlocks > 0)
        std::printf("later: %s sound %s (%s bytes of case data) lie past the damage; %s\n", g(plan.laterBlocks).c_str(),
                    plan.laterBlocks == 1 ? "block" : "blocks", groupDigits(plan.laterCaseBytes).c_str(),
                    plan.laterPlaced ? "--fill-damaged keeps them, with the damaged positions filled with zero bytes"
                                     : "no table gives their positions, so they cannot be kept");
}

void printJson(const RecoverOptions& o, const std::string& output, std::int64_t written, const RecoveryPlan& plan,
               const std::string& foundBy) {
    std::printf("{\n");
    std::printf("  \"file\": %s,\n", jsonString(o.file).c_str());
    std::printf("  \"sound\": %s,\n", plan.sound ? "true" : "false");
    std::printf("  \"output\": %s,\n", plan.sound ? "null" : jsonString(output).c_str());
    std::printf("  \"output_size\": %lld,\n", static_cast<long long>(written));
    std::printf("  \"row0\": %lld,\n", static_cast<long long>(plan.row0));
    std::printf("  \"row0_found_by\": %s,\n", foundBy.empty() ? "null" : jsonString(foundBy).c_str());
    std::printf("  \"source\": \"%s\",\n", plan.fromTable ? "table" : "walk");
    std::printf("  \"table_offset\": %lld,\n", static_cast<long long>(plan.tableOffset));
    std::printf("  \"blocks\": %zu,\n", plan.blocks.size());
    std::printf("  \"case_bytes\": %llu,\n", static_cast<unsigned long long>(plan.caseBytes));
    std::printf("  \"data_end\": %lld,\n", static_cast<long long>(plan.dataEnd));
    std::printf("  \"damage_offset\": %lld,\n", static_cast<long long>(plan.damageOffset));
    std::printf("  \"damage\": %s,\n", jsonString(plan.damage).c_str());
    std::printf("  \"lost_blocks\": %lld,\n", static_cast<long long>(plan.lostBlocks));
    std::printf("  \"lost_case_bytes\": %lld,\n", static_cast<long long>(plan.lostCaseBytes));
    std::printf("  \"unused_bytes\": %lld,\n", static_cast<long long>(plan.unusedBytes));
    std::printf("  \"later_blocks\": %lld,\n", static_cast<long long>(plan.laterBlocks));
    std::printf("  \"later_case_bytes\": %llu,\n", static_cast<unsigned long long>(plan.laterCaseBytes));
    std::printf("  \"later_placed\": %s,\n", plan.laterPlaced ? "true" : "false");
    std::printf("  \"filled\": [");
    for (std::size_t i = 0; i < plan.filled.size(); ++i) {
        const FilledRange& f = plan.filled[i];
        std::printf(
            "%s\n    {\"from\": %lld, \"to\": %lld, \"bytes\": %lld, \"block\": %lld, \"offset\": %lld, "
            "\"why\": %s}",
            i ? "," : "", static_cast<long long>(f.from), static_cast<long long>(f.to),
            static_cast<long long>(f.to - f.from), static_cast<long long>(f.block), static_cast<long long>(f.offset),
            jsonString(f.why).c_str());
    }
    std::printf("%s]\n}\n", plan.filled.empty() ? "" : "\n  ");
}

}  // namespace

int runRecover(const RecoverOptions& o) {
    if (o.inPlace && !o.output.empty()) throw CliError(kExitUsage, "", "give OUTPUT or --in-place, not both");
    const std::string output = o.inPlace ? o.file : o.output.empty() ? o.file + ".recovered" : o.output;
    if (!o.inPlace && output == o.file)
        throw CliError(kExitUsage, o.file, "OUTPUT is the input itself; give --in-place to replace it");

    RawReader raw(o.file);
    std::int64_t row0 = 0;
    std::string foundBy;
    if (o.row0) {
        row0 = resolveRow0(raw, o.row0, o.swap);
    } else if (const auto found = veld::inspect::locateRow0(raw, o.swap, veld::inspect::findTables(raw, o.swap))) {
        row0 = found->row0;
        foundBy = veld::inspect::row0ClueText(found->clue);
    } else {
        throw CliError(kExitUsage, o.file, "no compressed part found; give --row0 P");
    }

    const RecoveryPlan plan = veld::inspect::planRecovery(raw, row0, o.swap, o.fillDamaged);
    if (plan.sound) {
        if (o.json)
            printJson(o, output, 0, plan, foundBy);
        else if (!o.quiet)
            std::printf("%s: sound: %s, %s bytes of case data; nothing to recover\n", o.file.c_str(),
                        blocksText(static_cast<std::int64_t>(plan.blocks.size())).c_str(),
                        groupDigits(plan.caseBytes).c_str());
        return kExitOk;
    }
    std::int64_t written = 0;
    {
        const RemoveOnInterrupt guard(veld::inspect::recoveryTempName(output));
        written = veld::inspect::writeRecovered(plan, raw, output);
    }
    if (o.json)
        printJson(o, output, written, plan, foundBy);
    else if (!o.quiet)
        printText(o, output, written, plan, foundBy);
    return kExitOk;
}

}  // namespace veldcli
