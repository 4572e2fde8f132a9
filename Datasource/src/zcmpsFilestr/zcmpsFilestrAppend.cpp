// Turning a stream that has read its file into one that writes on at the end
// of the data: a full last block stays and new blocks follow it; a short last
// block is inflated back into the buffer and written again in its place.
// Appending safely writes everything new after the current table instead, so
// that the old heading keeps reaching an intact file until Close replaces it.
#include <algorithm>
#include <vector>

#include "PreIOThread_R_D.h"
#include "check.h"
#include "zcmpsFilestr.h"
#include "zcmpsFilestrData.h"
#include "zcmpsFilestrTable.h"

using veld::layout::kBlockSize;
using veld::layout::kHeadingSize;
using veld::layout::kRecordSize;

namespace {
constexpr const char* kSourceFile = "Datasource\\src\\zcmpsFilestr";

// The first offset past the table and every payload the heading reaches.
std::int64_t endOfReachable(const compressionHeading& chInfo, const std::vector<unsigned char>& table,
                            bool swap) {
    std::int64_t end = chInfo._infoPos + chInfo._size;
    const blockInfo first = veld::layout::decodeRecord(table.data(), swap);
    for (std::int32_t i = 0; i < first.translateSize; ++i) {
        const blockInfo r = veld::layout::decodeRecord(table.data() + (i + 1) * kRecordSize, swap);
        end = std::max(end, r.translatePos + r.translateSize);
    }
    return end;
}
}  // namespace

void zcmpsFilestr::setFileToAppend(std::int64_t endpos, bool swap) { startAppend(endpos, swap, false); }

void zcmpsFilestr::setFileToAppendSafely(std::int64_t endpos, bool swap) {
    startAppend(endpos, swap, true);
}

void zcmpsFilestr::startAppend(std::int64_t endpos, bool swap, bool safely) {
    // A writer's worker would go on writing into the reopened file.
    if (bIsWriting) VELD_CHECK(fData->fpIOThread == 0);

    VELD_FileStream::Close();
    if (!fData->pRealFile.Open(GetNameStr(), "r+b"))
        throw SystemFileException(1201, "fData->pRealFile.Open(GetNameStr(),\"r+b\")", kSourceFile,
                                  590, true);
    // A read-ahead object left from reading ends here. Its failures were only
    // speculative: the requests that needed those blocks have had them.
    if (fData->fpIOThread && !bIsWriting) {
        try {
            removeIOThread(false);
        } catch (...) {
        }
    }
    VELD_CHECK(fData->fpIOThread == 0);

    Data& d = *fData;
    const compressionHeading chInfo = veld::readHeadingForAppend(d.pRealFile, d.fRow0Pos, swap);
    std::vector<unsigned char> table = veld::readTable(d.pRealFile, chInfo);
    // Everything that can refuse the file is checked before the index or the
    // stream changes, so a refused call leaves the stream reading as it was.
    const blockInfo bInfo = filePosInfo::lastRecordOf(table.data(), swap, table.size());
    const std::int64_t shadowStart = safely ? endOfReachable(chInfo, table, swap) : -1;
    const bool noBlock = bInfo.orginalPos == veld::layout::kFirstRecordMark;
    // Shadow paging keeps a short last block whose payload is large where it is:
    // rewriting it on every small append would copy megabytes each time.
    const bool keepLast =
        !noBlock && (bInfo.orginalSize == kBlockSize || (safely && bInfo.translateSize > kRewriteLimit));
    const std::int64_t savedFpos = d.fpos;
    try {
        if (keepLast) {
            d.fpos = bInfo.orginalPos + bInfo.orginalSize;
            VELD_CHECK(fData->fpos == endpos);
        } else if (!noBlock) {
            VELD_CHECK(fFilePos == endpos);
            // New bytes go after the old ones; a gap or a start before the block is refused.
            VELD_CHECK(endpos >= bInfo.orginalPos && endpos <= bInfo.orginalPos + bInfo.orginalSize);
            d.fpos = bInfo.orginalPos;
            d.inflateRecord(bInfo, true);
        }
    } catch (...) {
        if (keepLast) {
            d.fpos = savedFpos;
        } else {
            // fBuffer may hold part of the inflated block now: none is loaded.
            d.forgetBlock();
        }
        throw;
    }

    d.fpPosInfo->loadForAppend(table.data(), swap, table.size());
    d.fBlockBase = d.fBuffer;  // writing always gathers in fBuffer
    if (noBlock) {
        d.fpos = chInfo._caseStartPos;
        d.fWritePos = chInfo._caseStartPos + static_cast<std::int64_t>(kHeadingSize);
        d.availBuffSize = kBlockSize;
        d.fpCurBuff = d.fBuffer;
    } else if (keepLast) {
        d.fpPosInfo->addBlock(bInfo);
        d.fWritePos = bInfo.translatePos + bInfo.translateSize;
        d.availBuffSize = kBlockSize;
        d.fpCurBuff = d.fBuffer;
    } else {
        d.fWritePos = bInfo.translatePos;
        const std::uint64_t kept = static_cast<std::uint64_t>(endpos - d.fpos);
        d.fpCurBuff = d.fBuffer + kept;
        d.availBuffSize = kBlockSize - kept;
    }
    if (safely) d.fWritePos = shadowStart;
    d.fShadowStart = shadowStart;
    d.forgetHeld();
    d.fTablePos = -1;
    d.bClosing = false;
    d.bCommitted = false;
    bIsWriting = true;
    setMultiThread(0);
    // Workers (an addition) compress the appended blocks as they do a new file's.
    if (d.fWorkers >= 1)
        d.fpIOThread = startedThreadObject(
            new PreIOThread_Par_W_C(&d.pRealFile, d.fpPosInfo, d.fWorkers, d.fpos, d.fWritePos), false);
}
