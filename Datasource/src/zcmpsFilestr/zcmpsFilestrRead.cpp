// Reading a compressed part: the heading and table are checked and loaded,
// then each Read finds the block holding the position and copies from it.
#include <algorithm>
#include <cstring>
#include <vector>

#include "PreIOThread_R_D.h"
#include "check.h"
#include "zcmpsFilestr.h"
#include "zcmpsFilestrData.h"
#include "zcmpsFilestrTable.h"

using veld::layout::kBlockSize;

void zcmpsFilestr::readFilePosInfo(std::int64_t P, bool swap) {
    bIsWriting = false;
    VELD_CHECK(fData->fpIOThread == 0);
    fFilePos = P;
    const compressionHeading chInfo = veld::readHeadingForRead(fData->pRealFile, P, swap);
    fData->fRow0Pos = chInfo._caseStartPos;
    std::vector<unsigned char> table = veld::readTable(fData->pRealFile, chInfo);
    // A table of no bytes is refused for want of its first record; the index
    // would take a null pointer for no table at all and keep what it had.
    static const unsigned char kNoBytes[1] = {};
    fData->fpPosInfo->loadForRead(table.empty() ? kNoBytes : table.data(), swap, table.size());
    fData->forgetBlock();
    if (fData->fWorkers >= 1) {
        fData->fParallelReader = startedThreadObject(
            new PreIOThread_Par_R_D(&fData->pRealFile, fData->fpPosInfo, fData->fWorkers), true);
        fData->fpIOThread = fData->fParallelReader;
    } else if (fData->fMultiThread >= 2) {
        fData->fpIOThread =
            startedThreadObject(new PreIOThread_R_D(&fData->pRealFile, fData->fpPosInfo, kBlockSize), true);
    }
}

std::uint64_t zcmpsFilestr::Read(void* buf, std::uint64_t n) {
    VELD_CHECK(bIsWriting == false);
    if (n == 0) return 0;
    ReadRequest req{static_cast<unsigned char*>(buf), n, fFilePos};
    fData->Read(req);
    return n - req._size;
}

void zcmpsFilestr::Data::Read(VELD_FileStream::ReadRequest& req) {
    while (req._size > 0) {
        const std::int64_t pos = req._pos;
        if (fpos == -1 || pos < fpos || pos >= fpos + static_cast<std::int64_t>(loadedLength())) {
            if (inflateStraightInto(req)) continue;
            // None there is the end of the data.
            if (!loadBlock(pos)) return;
        }
        // A seek inside the loaded block costs no reload.
        const std::int64_t current = fpos + (fpCurBuff - fBlockBase);
        if (pos != current) {
            const std::uint64_t length = loadedLength();
            fpCurBuff = fBlockBase + (pos - fpos);
            availBuffSize = length - static_cast<std::uint64_t>(pos - fpos);
        }
        const std::uint64_t m = std::min<std::uint64_t>(availBuffSize, req._size);
        std::memcpy(req._buf, fpCurBuff, m);
        fpCurBuff += m;
        availBuffSize -= m;
        req.Consume(m);
    }
}

bool zcmpsFilestr::Data::inflateStraightInto(VELD_FileStream::ReadRequest& req) {
    // A whole block the caller takes at once goes into the caller's bytes,
    // without a stop in fBuffer: inflated there, or copied there by the
    // read-ahead object. Only full blocks, so that the codec sees the same
    // room as for fBuffer and a bad payload fails with the same words. The
    // parallel reader hands out its own slots instead.
    if (fParallelReader || req._size < kBlockSize) return false;
    const blockInfo r = fpPosInfo->findBlock(req._pos);
    if (r.orginalPos != req._pos || r.orginalSize != kBlockSize) return false;
    forgetBlock();
    checkRecord(r);
    if (fpIOThread)
        readThroughThread(r, req._buf);
    else
        inflateRecord(r, false, req._buf);
    req.Consume(kBlockSize);
    return true;
}

std::uint64_t zcmpsFilestr::Data::readThroughThread(const blockInfo& r, unsigned char* dest) {
    std::uint64_t count;
    try {
        count = fpIOThread->readBlock(dest, static_cast<std::uint64_t>(r.orginalSize), r.orginalPos);
    } catch (const veld::CheckFailure&) {
        // The thread object refused the block: it is read again here, as
        // without the thread, so that it fails (or not) with the same words.
        count = inflateRecord(r, false, dest);
    }
    if (count != static_cast<std::uint64_t>(r.orginalSize)) VELD_CHECK_AT(0, describe(r));
    return count;
}

bool zcmpsFilestr::Data::loadBlock(std::int64_t pos) {
    forgetBlock();
    const blockInfo r = fpPosInfo->findBlock(pos);
    if (r.orginalPos == veld::layout::kNotFound) return false;
    std::uint64_t count;
    checkRecord(r);
    if (fParallelReader) {
        // Read ahead, or else fetched here exactly as without workers.
        if (unsigned char* ready = fParallelReader->acquireBlock(r)) {
            fBlockBase = ready;
            count = static_cast<std::uint64_t>(r.orginalSize);
        } else {
            count = inflateRecord(r, false);
            fParallelReader->ownerFetched(r);
        }
    } else if (fpIOThread) {
        count = readThroughThread(r, fBuffer);
    } else {
        count = inflateRecord(r, false);
    }
    fpos = r.orginalPos;
    fpCurBuff = fBlockBase + (pos - fpos);
    availBuffSize = count - static_cast<std::uint64_t>(pos - fpos);
    return true;
}

std::uint64_t zcmpsFilestr::Data::inflateRecord(const blockInfo& r, bool appending, unsigned char* dest) {
    checkRecord(r);
    const std::uint64_t payload = static_cast<std::uint64_t>(r.translateSize);
    const std::uint64_t got = pRealFile.Read(fCmpsBuffer, payload, r.translatePos);
    const std::string shortRead = got < payload ? ": the file ends inside its payload" : "";
    veld::InflateOutcome out;
    const bool exact = fStrictCodec->decompressExact(fCmpsBuffer, got, dest, sizeof(fBuffer),
                                                     static_cast<std::uint64_t>(r.orginalSize), &out);
    // Beyond the codec's count, a payload decompresses only as one complete
    // zlib stream whose checksum holds and that uses every byte of it.
    const bool complete = exact || (out.streamEnded && out.consumed == got);
    const std::uint64_t ret = complete ? out.produced : 0;
    VELD_CHECK_AT(ret!= 0, describe(r) + " does not decompress (" + std::to_string(out.produced) +
                               " bytes inflated, not one complete zlib stream)" + shortRead);
    const std::int64_t outCount = static_cast<std::int64_t>(ret);
    const std::string wrongCount = describe(r) + " inflates to " + std::to_string(ret) + " bytes, not " +
                                   std::to_string(r.orginalSize) + shortRead;
    if (appending) {
        const blockInfo& bInfo = r;
        VELD_CHECK_AT(outCount == bInfo.orginalSize, wrongCount);
    } else if (outCount != r.orginalSize) {
        VELD_CHECK_AT(0, wrongCount);
    }
    return ret;
}
