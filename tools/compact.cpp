// compact: rewrites a sound file without the stale bytes that killed or
// interrupted appends left behind, its payloads copied as they are.
#include <cstdio>
#include <string>

#include "cli_support.h"
#include "commands.h"
#include "layout_inspector.h"

namespace veldcli {

int runCompact(const CompactOptions& o) {
    std::int64_t row0;
    {
        RawReader raw(o.file);
        row0 = resolveRow0(raw, o.row0, o.swap);
    }
    veld::inspect::Compaction c;
    try {
        const RemoveOnInterrupt guard(veld::inspect::compactionTempName(o.file));
        c = veld::inspect::compactFile(o.file, row0, o.swap);
    } catch (const veld::inspect::CompactionRefused& e) {
        throw CliError(
            kExitDamaged, o.file,
            std::string(e.what()) + "; left as it is ('veld recover " + o.file + "' keeps its sound blocks)");
    }
    if (!o.quiet) {
        if (c.staleBytes == 0)
            std::printf("%s: no stale bytes; left as it is (%s bytes)\n", o.file.c_str(),
                        groupDigits(static_cast<std::uint64_t>(c.oldSize)).c_str());
        else
            std::printf("%s: removed %s stale bytes: %s bytes now, %s before; %lld blocks copied as they were\n",
                        o.file.c_str(), groupDigits(static_cast<std::uint64_t>(c.staleBytes)).c_str(),
                        groupDigits(static_cast<std::uint64_t>(c.newSize)).c_str(),
                        groupDigits(static_cast<std::uint64_t>(c.oldSize)).c_str(), static_cast<long long>(c.blocks));
    }
    return kExitOk;
}

}  // namespace veldcli
