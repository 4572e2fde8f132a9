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
    fData->fCache.clear();
    fData->fLastEnd = fData->fRow0Pos;
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
    const std::int64_t start = fFilePos;
    ReadRequest req{static_cast<unsigned char*>(buf), n, fFilePos};
    try {
        fData->Read(req);
    } catch (...) {
        // A failed Read did not happen: the caller's bytes are put back, the position too.
        fFilePos = start;
        throw;
    }
    return n - req._size;
}

const unsigned char* zcmpsFilestr::borrowBlock(std::int64_t pos, std::uint64_t& length) {
    VELD_CHECK(bIsWriting == false);
    length = 0;
    std::uint64_t lent = 0;
    const unsigned char* bytes = fData->borrow(pos, lent);
    if (!bytes) return nullptr;
    length = lent;
    fFilePos = pos + static_cast<std::int64_t>(lent);
    return bytes;
}

void zcmpsFilestr::setEarlyStop(bool on) {
    Data& d = *fData;
    d.bEarlyStop = on;
    if (on) return;
    // Without early stop no byte of a block is copied before the whole block
    // is checked: what was inflated only in part is forgotten.
    if (d.fpos != -1 && d.fReady < static_cast<std::uint64_t>(d.fRecord.orginalSize)) d.forgetBlock();
    d.fCache.dropPartial();
}

void zcmpsFilestr::setBlockCache(int nBlocks) {
    // The loaded block may be an entry of the cache that goes.
    if (fData->fEntry) fData->forgetBlock();
    fData->fCache.resize(nBlocks < 0 ? 0 : static_cast<std::size_t>(nBlocks));
}

void zcmpsFilestr::Data::Read(VELD_FileStream::ReadRequest& req) {
    unsigned char* const first = req._buf;
    // The caller's bytes under the pieces already copied, put back when a
    // later block of the same Read fails: at most a block of them, so that a
    // long Read costs no memory as large as itself.
    std::vector<unsigned char> overwritten;
    bool restorable = true;
    try {
        while (req._size > 0) {
            const std::int64_t pos = req._pos;
            // None there is the end of the data.
            if (!holds(pos) && !loadBlock(pos)) return;
            placeAt(pos);
            const std::uint64_t m = std::min<std::uint64_t>(availBuffSize, req._size);
            ensureInflated(static_cast<std::uint64_t>(fpCurBuff - fBlockBase) + m);
            if (m < req._size && restorable) {
                if (overwritten.size() + m <= kBlockSize) {
                    overwritten.insert(overwritten.end(), req._buf, req._buf + m);
                } else {
                    restorable = false;
                    std::vector<unsigned char>().swap(overwritten);
                }
            }
            std::memcpy(req._buf, fpCurBuff, m);
            fpCurBuff += m;
            availBuffSize -= m;
            req.Consume(m);
        }
    } catch (...) {
        // An empty copy when the Read was too long to keep one.
        if (!overwritten.empty()) std::memcpy(first, overwritten.data(), overwritten.size());
        throw;
    }
}

const unsigned char* zcmpsFilestr::Data::borrow(std::int64_t pos, std::uint64_t& length) {
    if (!holds(pos) && !loadBlock(pos)) return nullptr;
    placeAt(pos);
    ensureInflated(loadedLength());
    const unsigned char* bytes = fpCurBuff;
    length = availBuffSize;
    fpCurBuff += availBuffSize;
    availBuffSize = 0;
    return bytes;
}

void zcmpsFilestr::Data::placeAt(std::int64_t pos) {
    const std::int64_t current = fpos + (fpCurBuff - fBlockBase);
    if (pos == current) return;
    const std::uint64_t length = loadedLength();
    fpCurBuff = fBlockBase + (pos - fpos);
    availBuffSize = length - static_cast<std::uint64_t>(pos - fpos);
}

bool zcmpsFilestr::Data::readThroughThread(const blockInfo& r, unsigned char* dest) {
    std::uint64_t count;
    try {
        count = fpIOThread->readBlock(dest, static_cast<std::uint64_t>(r.orginalSize), r.orginalPos);
    } catch (const veld::CheckFailure&) {
        // Refused: the block is read here, as without the thread, so that it
        // fails (or not) with the same words, as far as the read needs.
        return false;
    }
    return count == static_cast<std::uint64_t>(r.orginalSize);
}

bool zcmpsFilestr::Data::loadBlock(std::int64_t pos) {
    forgetBlock();
    const blockInfo r = fpPosInfo->findBlock(pos);
    if (r.orginalPos == veld::layout::kNotFound) return false;
    checkRecord(r);
    const std::uint64_t size = static_cast<std::uint64_t>(r.orginalSize);
    const bool inOrder = r.orginalPos == fLastEnd;
    fRecord = r;
    if (veld::BlockCache::Entry* kept = fCache.find(r)) {
        fEntry = kept;
        fBlockBase = kept->bytes;
        fReady = kept->ready;
    } else if (unsigned char* ready = fParallelReader ? fParallelReader->acquireBlock(r) : nullptr) {
        // Read ahead and verified whole by a worker; lent until the next acquire.
        fBlockBase = ready;
        fReady = size;
    } else {
        fEntry = fCache.take(r);
        fBlockBase = fEntry ? fEntry->bytes : fBuffer;
        // The one-worker object reads ahead in order; a jump is served here,
        // where the block is inflated only as far as the read needs.
        if (fpIOThread && !fParallelReader && inOrder && readThroughThread(r, fBlockBase)) {
            fReady = size;
        } else {
            if (bEarlyStop) startInflating();
            else inflateWhole();
            // The workers go on after the owner's own read, as without them.
            if (fParallelReader) fParallelReader->ownerFetched(r);
        }
        if (fEntry) fEntry->ready = fReady;
    }
    fpos = r.orginalPos;
    fLastEnd = fpos + r.orginalSize;
    fpCurBuff = fBlockBase + (pos - fpos);
    availBuffSize = size - static_cast<std::uint64_t>(pos - fpos);
    return true;
}

void zcmpsFilestr::Data::startInflating() {
    bInflating = false;
    fReady = 0;
    if (fEntry) fEntry->ready = 0;
    const std::uint64_t payload = static_cast<std::uint64_t>(fRecord.translateSize);
    const std::uint64_t got = pRealFile.Read(fCmpsBuffer, payload, fRecord.translatePos);
    if (!fPrefix) fPrefix = veld::makePrefixInflater(fPrefixEngine);
    fPrefix->begin(fCmpsBuffer, got, fBlockBase, kBlockSize);
    bInflating = true;
}

void zcmpsFilestr::Data::ensureInflated(std::uint64_t end) {
    if (end <= fReady) return;
    const std::uint64_t size = static_cast<std::uint64_t>(fRecord.orginalSize);
    if (!bEarlyStop || (end >= size && !bInflating)) {
        // The whole block at once, by the fastest engine, checked as a whole.
        inflateWhole();
        return;
    }
    if (!bInflating) startInflating();
    // The last stretch goes to the stream's end, where its Adler-32 is checked.
    const bool good = end >= size ? fPrefix->finish(size) : fPrefix->advance(end);
    if (good) {
        fReady = end >= size ? size : end;
        if (fReady == size) bInflating = false;
    } else {
        // Judged as a whole block, in the words of every other read of it.
        inflateWhole();
        return;
    }
    if (fEntry) fEntry->ready = fReady;
}

void zcmpsFilestr::Data::inflateWhole() {
    bInflating = false;
    veld::BlockCache::Entry* entry = fEntry;
    try {
        inflateRecord(fRecord, false, fBlockBase);
    } catch (...) {
        // Part of the block may be overwritten: nothing of it is kept.
        if (entry) entry->ready = 0;
        forgetBlock();
        throw;
    }
    fReady = static_cast<std::uint64_t>(fRecord.orginalSize);
    if (fEntry) fEntry->ready = fReady;
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
