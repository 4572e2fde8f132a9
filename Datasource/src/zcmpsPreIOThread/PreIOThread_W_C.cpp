#include "PreIOThread_W_C.h"

#include <algorithm>
#include <cstring>

#include "blockStoreRule.h"
#include "check.h"
#include "large_memory.h"

namespace {
// 1.75 blocks, rounded down to whole KiB.
std::uint64_t stagingSize(std::uint64_t bufSize) { return (bufSize / 4 * 7) / 1024 * 1024; }
}  // namespace

PreIOThread_W_C::PreIOThread_W_C(VELD_File* pRealFile, filePosInfo* fpPosInfo,
                                 std::uint64_t fBufSize, std::int64_t firstOrginalPos,
                                 std::int64_t firstTranslatePos)
    : semWork(0),
      semReady(1),
      pRealFile(pRealFile),
      fCodec(veld::makeBlockCodec()),
      fpPosInfo(fpPosInfo),
      fOutBuf(nullptr),
      fOutSize(0),
      fpOutPos(firstTranslatePos),
      fpNextTranslatePos(firstTranslatePos),
      fpNextOrginalPos(firstOrginalPos),
      fInBuf(nullptr),
      fBufSize(fBufSize),
      fInSize(0),
      fOutRoom(0),
      bEndMarkSent(false) {
    // A block that deflate cannot shrink comes out larger than it went in; it is
    // compressed straight into room for the worst case so it is never cut.
    fOutRoom = std::max(stagingSize(fBufSize), veld::storeRoom(*fCodec, fBufSize));
    fOutBuf = static_cast<unsigned char*>(veld::platform::allocateLarge(fOutRoom));
    fInBuf = static_cast<unsigned char*>(veld::platform::allocateLarge(fBufSize ? fBufSize : 1));
}

PreIOThread_W_C::~PreIOThread_W_C() {
    // An owner that skipped stopThread must not leave the worker on freed buffers.
    if (fpThreadPool) {
        try {
            stopThread();
        } catch (...) {
        }
        releaseThreads();
    }
    veld::platform::freeLarge(fInBuf, fBufSize ? fBufSize : 1);
    veld::platform::freeLarge(fOutBuf, fOutRoom);
}

std::uint64_t PreIOThread_W_C::readBlock(void*, std::uint64_t, std::int64_t) {
    VELD_CHECK(0);
    return 0;
}

int PreIOThread_W_C::readStep() {
    VELD_CHECK(0);
    return 1;
}

bool PreIOThread_W_C::handOver(const void* buf, std::uint64_t size) {
    // A worker that failed has ended and posts nothing more: never wait for it.
    if (workerFailed()) return false;
    semReady.waitSemaphore();
    if (workerFailed()) {
        semReady.postSemaphore();
        return false;
    }
    if (size) std::memcpy(fInBuf, buf, size);
    fInSize = size;
    if (size == 0) bEndMarkSent = true;
    semWork.postSemaphore();
    return true;
}

std::uint64_t PreIOThread_W_C::writeBlock(const void* buf, std::uint64_t size, std::int64_t) {
    VELD_CHECK(bEndMarkSent == false);
    VELD_CHECK(size <= fBufSize);
    if (!handOver(buf, size)) raiseWorkerFailure();
    return size;
}

int PreIOThread_W_C::writeStep() {
    semWork.waitSemaphore();
    try {
        if (fInSize == 0) {
            // Nothing is ever left staged between blocks; the write of what is
            // (normally 0 bytes) leaves the raw file's position at the data's end.
            const std::uint64_t written = pRealFile->Write(fOutBuf, fOutSize, fpOutPos);
            VELD_CHECK(written == fOutSize);
            fpOutPos += static_cast<std::int64_t>(written);
            fOutSize = 0;
            return 1;
        }
        // fOutBuf is empty here; compressing into it directly saves a copy. A
        // block whose payload would exceed the limit is stored as two blocks.
        const veld::StoredBlock stored =
            veld::compressForStore(*fCodec, fInBuf, fInSize, fOutBuf, fOutRoom);
        const std::uint64_t ret = stored.totalPayload();
        fOutSize += ret;
        const std::uint64_t written = pRealFile->Write(fOutBuf, fOutSize, fpOutPos);
        VELD_CHECK(written == fOutSize);
        fpOutPos += static_cast<std::int64_t>(written);
        fOutSize = 0;
        for (int i = 0; i < stored.count; ++i) {
            const veld::StoredPiece& piece = stored.piece[i];
            fpPosInfo->addBlock(blockInfo{fpNextOrginalPos + static_cast<std::int64_t>(piece.inOffset),
                                          fpNextTranslatePos + static_cast<std::int64_t>(piece.payloadOffset),
                                          static_cast<std::int32_t>(piece.inSize),
                                          static_cast<std::int32_t>(piece.payloadSize)});
        }
        fpNextOrginalPos += static_cast<std::int64_t>(fInSize);
        fpNextTranslatePos += static_cast<std::int64_t>(ret);
    } catch (...) {
        // Kept before semReady is posted, so the owner sees it once it wakes.
        keepWorkerFailure(std::current_exception());
        semReady.postSemaphore();
        return 1;
    }
    semReady.postSemaphore();
    return 0;
}

WriterPosition PreIOThread_W_C::stoppedAt() const {
    WriterPosition at{fpNextOrginalPos, fpNextTranslatePos, {}};
    // A failed worker stops at once: the block it holds is the one it failed on
    // (none when the end mark's write failed).
    if (workerFailed() && fInSize > 0) at.unstored.push_back(UnstoredBlock{fInBuf, fInSize});
    return at;
}

bool PreIOThread_W_C::stopThread() {
    if (!bEndMarkSent) handOver(nullptr, 0);
    if (fpThreadPool) fpThreadPool->stopAll();
    raiseWorkerFailure();
    return true;
}
