// Compaction: a sound file rewritten without the stale bytes that killed or
// interrupted appends left, its payloads copied as they are.
#include "zcmpsInspect.h"
#include "zcmpsRebuild.h"

namespace veld::inspect {

std::string compactionTempName(const std::string& path) {
    return path + ".veld-compact";
}

Compaction compactFile(const std::string& path, std::int64_t row0, bool swap) {
    FileSource source(path);
    Layout L = inspectLayout(source, row0, swap);
    // Damage would be copied as it is: a payload whose length the table gets
    // wrong is not a gap of stale bytes.
    if (L.sound()) checkPayloads(L, source, 0);
    if (!L.sound())
        throw CompactionRefused(L.problems.empty() ? std::string("the table cannot be used") : L.problems.front().text);
    Compaction c;
    c.oldSize = c.newSize = L.fileSize;
    c.blocks = static_cast<std::int64_t>(L.blocks.size());
    c.staleBytes = L.staleBytes;
    if (c.staleBytes == 0) return c;
    std::vector<detail::Piece> pieces;
    pieces.reserve(L.blocks.size());
    for (const blockInfo& b : L.blocks)
        pieces.push_back({b.orginalPos, b.orginalSize, b.translatePos, b.translateSize});
    c.newSize = detail::rebuildFile(source, row0, pieces, path, compactionTempName(path));
    return c;
}

}  // namespace veld::inspect
