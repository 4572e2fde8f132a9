#include "headingUpdate.h"

#include "compressedLayout.h"

namespace veld::heading {

namespace {
constexpr std::size_t kOffsetField = 8;  // _infoPos follows the 8-byte _caseStartPos
}

std::vector<HeadingWrite> stepsBetween(std::int64_t P, const unsigned char* before, const unsigned char* after) {
    const std::size_t n = layout::kHeadingSize;
    // Heading bytes before `split` lie in the sector that holds P.
    const std::int64_t boundary = (P / kSectorSize + 1) * kSectorSize;
    const std::size_t split = boundary - P < static_cast<std::int64_t>(n) ? static_cast<std::size_t>(boundary - P) : n;
    auto changedRange = [&](std::size_t lo, std::size_t hi) {
        std::size_t first = hi, last = lo;
        for (std::size_t i = lo; i < hi; ++i) {
            if (before[i] == after[i]) continue;
            if (first == hi) first = i;
            last = i + 1;
        }
        return first == hi ? HeadingWrite{0, 0} : HeadingWrite{first, last - first};
    };
    std::vector<HeadingWrite> steps;
    // The higher sector first: see the header.
    for (const HeadingWrite& w : {changedRange(split, n), changedRange(0, split)})
        if (w.count) steps.push_back(w);
    return steps;
}

int offsetBytesBeforeBoundary(std::int64_t P) {
    const std::int64_t field = P + static_cast<std::int64_t>(kOffsetField);
    const std::int64_t boundary = (field / kSectorSize + 1) * kSectorSize;
    const std::int64_t low = boundary - field;
    return low < static_cast<std::int64_t>(kOffsetField) ? static_cast<int>(low) : 0;
}

TablePlace placeTable(std::int64_t P, std::int64_t oldTablePos, std::int64_t shadowStart, std::int64_t end) {
    const int low = offsetBytesBeforeBoundary(P);
    if (low == 0) return {end, false};
    const int shift = 8 * low;
    if ((end >> shift) == (oldTablePos >> shift)) return {end, false};
    if ((shadowStart >> shift) == (oldTablePos >> shift)) return {shadowStart, true};
    const std::int64_t window = std::int64_t{1} << shift;
    const std::int64_t mask = window - 1;
    return {end + ((oldTablePos - end) & mask), false};
}

}  // namespace veld::heading
