#include "filePosInfo.h"

#include <cstring>
#include <limits>
#include <string>

#include "check.h"

using veld::layout::kBlockSize;
using veld::layout::kMaxPayloadSize;
using veld::layout::kNotFound;
using veld::layout::kRecordSize;
using veld::layout::tableLength;

namespace {

constexpr std::int64_t kMaxPos = std::numeric_limits<std::int64_t>::max();

// Both comparisons avoid forming orginalPos + orginalSize, which a hostile
// table could make overflow.
bool holds(const blockInfo& r, std::int64_t pos) {
    return r.orginalPos <= pos &&
           static_cast<std::uint64_t>(pos) - static_cast<std::uint64_t>(r.orginalPos) <
               static_cast<std::uint64_t>(static_cast<std::int64_t>(r.orginalSize));
}

bool endsAtOrBefore(const blockInfo& r, std::int64_t pos) {
    return r.orginalPos <= pos && !holds(r, pos);
}

// Records in order without overlap: at most one holds a position, so the
// answer cannot depend on the cursor that other threads move.
bool follows(const blockInfo& before, const blockInfo& r) {
    return r.orginalPos > before.orginalPos &&
           static_cast<std::uint64_t>(r.orginalPos) - static_cast<std::uint64_t>(before.orginalPos) >=
               static_cast<std::uint64_t>(static_cast<std::int64_t>(before.orginalSize));
}

blockInfo notFound() { return blockInfo{kNotFound, 0, 0, 0}; }

std::string recordAt(std::uint64_t index, std::uint64_t count) {
    return "record " + std::to_string(index) + " of " + std::to_string(count);
}

// Sizes beyond the block buffers would overrun them when the block is read;
// a block or payload ending past the 64-bit range would overflow its end.
void checkRecordSizes(const blockInfo& record, std::uint64_t index, std::uint64_t count) {
    filePosInfo::checkRecord(record, recordAt(index, count));
}

bool sizeUsable(const blockInfo& r) { return r.orginalSize >= 1 && r.orginalSize <= kBlockSize; }

// The first record, checked, and the count it announces checked against the bytes.
blockInfo takeFirstRecord(const void* table, bool swap, std::uint64_t tableBytes) {
    VELD_CHECK(tableBytes >= kRecordSize);
    const blockInfo firstRecord = veld::layout::decodeRecord(table, swap);
    VELD_CHECK(firstRecord.orginalPos == -100);
    VELD_CHECK(firstRecord.orginalSize > 0);
    VELD_CHECK(firstRecord.translateSize >= 0);
    const std::uint64_t count = static_cast<std::uint64_t>(firstRecord.translateSize);
    VELD_CHECK(tableBytes >= kRecordSize * (count + 1));
    return firstRecord;
}

}  // namespace

bool filePosInfo::recordUsable(const blockInfo& record) {
    return record.orginalSize >= 1 && record.orginalSize <= kBlockSize && record.translateSize >= 0 &&
           record.translateSize <= kMaxPayloadSize && record.translatePos >= 0 &&
           record.orginalPos <= kMaxPos - record.orginalSize && record.translatePos <= kMaxPos - record.translateSize;
}

void filePosInfo::checkRecord(const blockInfo& record, const std::string& where) {
    VELD_CHECK_AT(record.orginalSize >= 1 && record.orginalSize <= kBlockSize, where);
    VELD_CHECK_AT(record.translateSize >= 0 && record.translateSize <= kMaxPayloadSize, where);
    // A payload before the start of the file cannot be read, only refused.
    VELD_CHECK_AT(record.translatePos >= 0, where);
    // Readers and appenders add the sizes to the positions; the sums must exist.
    VELD_CHECK_AT(record.orginalPos <= kMaxPos - record.orginalSize, where);
    VELD_CHECK_AT(record.translatePos <= kMaxPos - record.translateSize, where);
}

filePosInfo::filePosInfo(std::uint64_t blockSize)
    : pOutBuffer(nullptr), pInfoBuffer(nullptr), infoCount(0), blockSize(blockSize), nextIndex(0), bOrdered(true) {}

filePosInfo::~filePosInfo() {
    delete[] pInfoBuffer;
    delete[] pOutBuffer;
}

blockInfo filePosInfo::findBlock(std::int64_t pos) {
    VELD_CHECK(pInfoBuffer != 0);
    const std::uint64_t n = infoCount;
    if (n == 0) return notFound();
    VELD_CHECK(pInfoBuffer->orginalPos != 0);
    const blockInfo* R = pInfoBuffer;
    if (!bOrdered) return findInDamagedTable(pos);
    if (pos < R[0].orginalPos || endsAtOrBefore(R[n - 1], pos)) return notFound();

    // A reader moving on block by block is answered by the cursor. It is only a
    // hint shared with other threads: read once, written once.
    std::uint64_t c = nextIndex.load(std::memory_order_relaxed);
    if (c > n - 1) c = n - 1;
    if (holds(R[c], pos)) {
        nextIndex.store(c + 1, std::memory_order_relaxed);
        return R[c];
    }
    if (holds(R[0], pos)) {
        nextIndex.store(1, std::memory_order_relaxed);
        return R[0];
    }
    if (pos >= R[n - 1].orginalPos) {
        nextIndex.store(0, std::memory_order_relaxed);
        return R[n - 1];
    }

    // Full blocks before pos put it in block pos / blockSize; here pos lies before
    // the last block, so R[g + 1] exists whenever the first comparison holds.
    // holds() keeps a gap in a damaged table from being answered with the block before it.
    const std::uint64_t size = blockSize ? blockSize : 1;
    std::uint64_t g = static_cast<std::uint64_t>(pos) / size;
    if (g > n - 1) g = n - 1;
    if (R[g].orginalPos <= pos && pos < R[g + 1].orginalPos && holds(R[g], pos)) {
        nextIndex.store(g + 1, std::memory_order_relaxed);
        return R[g];
    }

    // Short blocks (early flushes, a row-0 position beyond the block size) shift
    // the answer a little from the guess: look above before below.
    for (std::uint64_t d = 1;; ++d) {
        const bool aboveIn = d <= n - 1 - g;
        const bool belowIn = d <= g;
        if (!aboveIn && !belowIn) return notFound();
        if (aboveIn && holds(R[g + d], pos)) {
            nextIndex.store(g + d + 1, std::memory_order_relaxed);
            return R[g + d];
        }
        if (belowIn && holds(R[g - d], pos)) {
            nextIndex.store(g - d + 1, std::memory_order_relaxed);
            return R[g - d];
        }
    }
}

void filePosInfo::addBlock(const blockInfo& record) { blocks.push_back(record); }

void filePosInfo::addBlock(std::int64_t orginalPos, std::int32_t orginalSize,
                           std::int64_t translatePos, std::int32_t translateSize) {
    blocks.push_back(blockInfo{orginalPos, translatePos, orginalSize, translateSize});
}

blockInfo* filePosInfo::makeInfoBuffer(std::uint64_t& length) {
    const std::uint64_t n = blocks.size();
    auto* table = new blockInfo[n + 1]();
    table[0] = veld::layout::firstRecord(static_cast<std::int32_t>(blockSize),
                                         static_cast<std::int32_t>(n));
    if (n) std::memcpy(table + 1, blocks.data(), n * sizeof(blockInfo));
    delete[] pOutBuffer;
    pOutBuffer = table;
    length = static_cast<std::uint64_t>(tableLength(static_cast<std::int64_t>(n)));
    return pOutBuffer;
}

void filePosInfo::loadForRead(const void* table, bool swap, std::uint64_t tableBytes) {
    if (!table) return;
    const blockInfo firstRecord = takeFirstRecord(table, swap, tableBytes);
    const std::uint64_t count = static_cast<std::uint64_t>(firstRecord.translateSize);

    // The count is bounded by the table's bytes. A damaged record is kept: it
    // fails the reads that need its block, when they use it.
    auto* loaded = new blockInfo[count ? count : 1]();
    const auto* bytes = static_cast<const unsigned char*>(table) + kRecordSize;
    bool ordered = true;
    for (std::uint64_t i = 0; i < count; ++i) {
        loaded[i] = veld::layout::decodeRecord(bytes + i * kRecordSize, swap);
        ordered = ordered && sizeUsable(loaded[i]) && (i == 0 || follows(loaded[i - 1], loaded[i]));
    }
    delete[] pInfoBuffer;
    pInfoBuffer = loaded;
    infoCount = count;
    bOrdered = ordered;
    blockSize = static_cast<std::uint64_t>(firstRecord.orginalSize);
    nextIndex.store(0, std::memory_order_relaxed);
}

blockInfo filePosInfo::findInDamagedTable(std::int64_t pos) const {
    // A size no block can have would make a record hold every later position.
    // No cursor and no guess here: the answer must not depend on which thread
    // asked before. The first record that holds pos answers; a record whose size is
    // unusable holds the positions up to the next record's (or a block's worth),
    // so that the reads needing its block meet it and fail its check.
    const blockInfo* R = pInfoBuffer;
    for (std::uint64_t k = 0; k < infoCount; ++k) {
        if (sizeUsable(R[k])) {
            if (holds(R[k], pos)) return R[k];
        } else if (R[k].orginalPos <= pos &&
                   (k + 1 < infoCount && R[k + 1].orginalPos > R[k].orginalPos
                        ? pos < R[k + 1].orginalPos
                        : static_cast<std::uint64_t>(pos) - static_cast<std::uint64_t>(R[k].orginalPos) <
                              static_cast<std::uint64_t>(kBlockSize))) {
            return R[k];
        }
    }
    return notFound();
}

blockInfo filePosInfo::lastRecordOf(const void* table, bool swap, std::uint64_t tableBytes) {
    VELD_CHECK(table != 0);
    const blockInfo firstRecord = takeFirstRecord(table, swap, tableBytes);
    const std::uint64_t count = static_cast<std::uint64_t>(firstRecord.translateSize);
    if (count == 0) return firstRecord;
    const auto* bytes = static_cast<const unsigned char*>(table) + kRecordSize;
    for (std::uint64_t i = 0; i < count; ++i)
        checkRecordSizes(veld::layout::decodeRecord(bytes + i * kRecordSize, swap), i, count);
    return veld::layout::decodeRecord(bytes + (count - 1) * kRecordSize, swap);
}

blockInfo filePosInfo::loadForAppend(void* buff, bool swap, std::uint64_t tableBytes) {
    VELD_CHECK(buff != 0);
    const blockInfo last = lastRecordOf(buff, swap, tableBytes);
    delete[] pInfoBuffer;
    pInfoBuffer = nullptr;
    const blockInfo firstRecord = veld::layout::decodeRecord(buff, swap);
    const std::uint64_t count = static_cast<std::uint64_t>(firstRecord.translateSize);
    blockSize = static_cast<std::uint64_t>(firstRecord.orginalSize);
    infoCount = count;
    if (count == 0) return firstRecord;

    auto* bytes = static_cast<unsigned char*>(buff) + kRecordSize;
    if (swap)
        for (std::uint64_t i = 0; i < count; ++i)
            veld::layout::encodeRecord(veld::layout::decodeRecord(bytes + i * kRecordSize, true),
                                       bytes + i * kRecordSize);
    for (std::uint64_t i = 0; i + 1 < count; ++i)
        addBlock(veld::layout::decodeRecord(bytes + i * kRecordSize, false));
    return last;
}

std::int64_t filePosInfo::indexOf(std::int64_t orginalPos) const {
    // Reports only: a plain scan also copes with a table that is out of order.
    if (pInfoBuffer)
        for (std::uint64_t i = 0; i < infoCount; ++i)
            if (pInfoBuffer[i].orginalPos == orginalPos) return static_cast<std::int64_t>(i);
    for (std::size_t i = 0; i < blocks.size(); ++i)
        if (blocks[i].orginalPos == orginalPos) return static_cast<std::int64_t>(i);
    // The last record of a table taken over for appending is not in the list yet.
    return pInfoBuffer ? -1 : static_cast<std::int64_t>(blocks.size());
}
