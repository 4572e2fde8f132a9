// Turning a stream that has read its file into one that writes on at the end
// of the data: a full last block stays and new blocks follow it; a short last
// block is inflated back into the buffer and written again in its place.
#include <vector>

#include "PreIOThread_R_D.h"
#include "check.h"
#include "zcmpsFilestr.h"
#include "zcmpsFilestrData.h"
#include "zcmpsFilestrTable.h"

using veld::layout::kBlockSize;
using veld::layout::kHeadingSize;

namespace {
constexpr const char* kSourceFile = "Datasource\\src\\zcmpsFilestr";
}

void zcmpsFilestr::setFileToAppend(std::int64_t endpos, bool swap) {
    // A read-ahead object left from reading ends before the file is reopened
    // under it; a writer still attached is a protocol error reported below.
    if (fData->fpIOThread && !bIsWriting) removeIOThread(false);
    VELD_CHECK(fData->fpIOThread == 0);

    VELD_FileStream::Close();
    if (!fData->pRealFile.Open(GetNameStr(), "r+b"))
        throw SystemFileException(1201, "fData->pRealFile.Open(GetNameStr(),\"r+b\")", kSourceFile,
                                  590, true);

    const compressionHeading chInfo =
        veld::readHeadingForAppend(fData->pRealFile, fData->fRow0Pos, swap);
    std::vector<unsigned char> table = veld::readTable(fData->pRealFile, chInfo);
    const blockInfo bInfo = fData->fpPosInfo->loadForAppend(table.data(), swap, table.size());

    Data& d = *fData;
    if (bInfo.orginalPos == veld::layout::kFirstRecordMark) {
        d.fpos = chInfo._caseStartPos;
        d.fWritePos = chInfo._caseStartPos + static_cast<std::int64_t>(kHeadingSize);
        d.availBuffSize = kBlockSize;
        d.fpCurBuff = d.fBuffer;
    } else if (bInfo.orginalSize == kBlockSize) {
        d.fpPosInfo->addBlock(bInfo);
        d.fpos = bInfo.orginalPos + bInfo.orginalSize;
        VELD_CHECK(fData->fpos == endpos);
        d.fWritePos = bInfo.translatePos + bInfo.translateSize;
        d.availBuffSize = kBlockSize;
        d.fpCurBuff = d.fBuffer;
    } else {
        VELD_CHECK(fFilePos == endpos);
        // New bytes go after the old ones; a gap or a start before the block is refused.
        VELD_CHECK(endpos >= bInfo.orginalPos && endpos <= bInfo.orginalPos + bInfo.orginalSize);
        d.fpos = bInfo.orginalPos;
        d.fWritePos = bInfo.translatePos;
        d.inflateRecord(bInfo, true);
        const std::uint64_t kept = static_cast<std::uint64_t>(endpos - d.fpos);
        d.fpCurBuff = d.fBuffer + kept;
        d.availBuffSize = kBlockSize - kept;
    }
    bIsWriting = true;
    setMultiThread(0);
}
