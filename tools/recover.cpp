// recover: rebuilds the table of a file whose table or heading is lost or
// damaged, keeping every complete block, into a new file (or, when asked, in
// place of the old one).
#include <cstdio>
#include <string>

#include "cli_support.h"
#include "commands.h"
#include "layout_inspector.h"

namespace veldcli {

int runRecover(const RecoverOptions& o) {
    if (o.inPlace && !o.output.empty())
        throw CliError(kExitUsage, "", "give OUTPUT or --in-place, not both");
    const std::string output = o.inPlace ? o.file : o.output.empty() ? o.file + ".recovered" : o.output;
    if (!o.inPlace && output == o.file)
        throw CliError(kExitUsage, o.file, "OUTPUT is the input itself; give --in-place to replace it");

    RawReader raw(o.file);
    std::int64_t row0 = 0;
    if (o.row0) {
        row0 = resolveRow0(raw, o.row0, o.swap);
    } else if (const auto found = veld::inspect::findRow0(raw, o.swap)) {
        row0 = *found;
    } else if (const auto unfinished = veld::inspect::findUnfinishedRow0(raw)) {
        row0 = *unfinished;  // a pack that never wrote its heading
    } else {
        throw CliError(kExitUsage, o.file, "no compressed part found; give --row0 P");
    }

    const veld::inspect::RecoveryPlan plan = veld::inspect::planRecovery(raw, row0, o.swap);
    if (plan.sound) {
        if (!o.quiet)
            std::printf("%s: sound: %zu blocks, %s bytes of case data; nothing to recover\n", o.file.c_str(),
                        plan.blocks.size(), groupDigits(plan.caseBytes).c_str());
        return kExitOk;
    }
    const std::int64_t fileSize = raw.size();
    const std::int64_t written = veld::inspect::writeRecovered(plan, raw, output);
    if (!o.quiet) {
        std::printf("%s: recovered into %s (%s bytes): row0 %s, %zu complete blocks, %s bytes of case data (%s)\n",
                    o.file.c_str(), output.c_str(), groupDigits(static_cast<std::uint64_t>(written)).c_str(),
                    groupDigits(static_cast<std::uint64_t>(row0)).c_str(), plan.blocks.size(),
                    groupDigits(plan.caseBytes).c_str(),
                    plan.fromTable ? "from the table" : "found by walking the payloads");
        if (plan.lostBlocks >= 0)
            std::printf("lost: %lld blocks, %lld bytes of case data\n", static_cast<long long>(plan.lostBlocks),
                        static_cast<long long>(plan.lostCaseBytes));
        else
            std::printf("lost: what the %s bytes after offset %lld held (no usable table counts it)\n",
                        groupDigits(static_cast<std::uint64_t>(fileSize - plan.damageOffset)).c_str(),
                        static_cast<long long>(plan.damageOffset));
        if (plan.damageOffset >= 0)
            std::printf("damage starts at offset %lld: %s\n", static_cast<long long>(plan.damageOffset),
                        plan.damage.c_str());
    }
    return kExitOk;
}

}  // namespace veldcli
