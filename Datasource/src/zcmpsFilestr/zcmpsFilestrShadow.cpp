// The end of a shadow-paged append: the new table's place, and the heading
// rewritten so that it reaches the old table or the new one at every moment
// (headingUpdate.h says how).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "headingUpdate.h"
#include "zcmpsFilestrData.h"

using veld::layout::kHeadingSize;

std::int64_t zcmpsFilestr::Data::placeShadowTable(std::uint64_t length) {
    const std::vector<blockInfo>& blocks = fpPosInfo->WrittenBlocks();
    std::int64_t end = std::max({pRealFile.fCurPos, fRow0Pos + static_cast<std::int64_t>(kHeadingSize), fShadowStart});
    for (const blockInfo& b : blocks) end = std::max(end, b.translatePos + b.translateSize);
    const veld::heading::TablePlace place = veld::heading::placeTable(fRow0Pos, fOldTablePos, fShadowStart, end);
    if (!place.movePayloads) return place.tablePos;

    // New payloads in the table's way go behind the others. Each record changes
    // only once its bytes are written, so a failure here leaves records that
    // still hold, and a retried Close moves what is left.
    const std::int64_t tableEnd = place.tablePos + static_cast<std::int64_t>(length);
    std::int64_t to = std::max(end, tableEnd);
    std::vector<unsigned char> payload;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const blockInfo b = blocks[i];
        if (b.translatePos < fShadowStart || b.translatePos >= tableEnd ||
            b.translatePos + b.translateSize <= place.tablePos)
            continue;
        payload.resize(static_cast<std::size_t>(b.translateSize));
        const std::uint64_t got = pRealFile.Read(payload.data(), payload.size(), b.translatePos);
        VELD_CHECK_AT(got == payload.size(), "short read of a payload to move at offset " + std::to_string(b.translatePos));
        const std::uint64_t put = pRealFile.Write(payload.data(), payload.size(), to);
        VELD_CHECK_AT(put == payload.size(), "short write of a moved payload at offset " + std::to_string(to));
        fpPosInfo->movePayload(i, to);
        to += b.translateSize;
    }
    return place.tablePos;
}

void zcmpsFilestr::Data::writeShadowHeading(const compressionHeading& heading) {
    unsigned char bytes[kHeadingSize];
    veld::layout::encodeHeading(heading, bytes);
    // A file in the other byte order gets every field rewritten: one write.
    const bool sameOrder = std::memcmp(bytes, fOldHeading, 8) == 0;
    std::vector<veld::heading::HeadingWrite> steps;
    if (sameOrder)
        steps = veld::heading::stepsBetween(fRow0Pos, fOldHeading, bytes);
    else
        steps.push_back({0, kHeadingSize});
    std::memcpy(fNewHeading, bytes, kHeadingSize);
    bHeadingStarted = true;
    for (const veld::heading::HeadingWrite& w : steps) {
        const std::uint64_t written =
            pRealFile.Write(bytes + w.from, w.count, fRow0Pos + static_cast<std::int64_t>(w.from));
        VELD_CHECK(written == w.count);
        // Each step on the disk before the next: they may not land out of order.
        pRealFile.Commit();
    }
}

void zcmpsFilestr::Data::undoShadowAppend() noexcept {
    try {
        if (bHeadingStarted) {
            // The same steps back, in the opposite order, so that each state
            // on the way is one the forward steps could have left.
            const bool sameOrder = std::memcmp(fNewHeading, fOldHeading, 8) == 0;
            std::vector<veld::heading::HeadingWrite> steps;
            if (sameOrder)
                steps = veld::heading::stepsBetween(fRow0Pos, fOldHeading, fNewHeading);
            else
                steps.push_back({0, kHeadingSize});
            for (auto w = steps.rbegin(); w != steps.rend(); ++w) {
                pRealFile.Write(fOldHeading + w->from, w->count, fRow0Pos + static_cast<std::int64_t>(w->from));
                pRealFile.Commit();
            }
        }
        // Nothing the old heading reaches lies at or past the old end.
        if (fOldFileSize >= 0 && pRealFile.Size() > fOldFileSize) {
            pRealFile.Truncate(fOldFileSize);
            pRealFile.Commit();
        }
    } catch (...) {
    }
}
