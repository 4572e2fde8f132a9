#include "PreIOThread_R_D.h"

#include <algorithm>
#include <cstring>

#include "blockPayload.h"
#include "check.h"
#include "cpu_state.h"
#include "large_memory.h"

namespace {
constexpr std::uint64_t kReadySlack = 128;  // fReadyBuf's extra bytes beyond one block
}

PreIOThread_R_D::PreIOThread_R_D(VELD_File* pRealFile, filePosInfo* fpPosInfo,
                                 std::uint64_t fBufSize)
    : semReady(1),
      semWork(0),
      pRealFile(pRealFile),
      fCodec(veld::makeBlockCodec()),
      fpPosInfo(fpPosInfo),
      fpNextPos(-1),
      fpReadyPos(-1),
      fReadyBuf(nullptr),
      fCompBuf(nullptr),
      fBufSize(fBufSize),
      stCurSize(0),
      bStop(false),
      fCompRoom(0),
      bHoldReady(false) {
    // Another writer may have stored a block that did not shrink whole, a little larger than a block.
    fCompRoom = std::max(fBufSize, fCodec->compressBound(fBufSize));
    fReadyBuf = static_cast<unsigned char*>(veld::platform::allocateLarge(fBufSize + kReadySlack));
    fCompBuf = static_cast<unsigned char*>(veld::platform::allocateLarge(fCompRoom));
}

PreIOThread_R_D::~PreIOThread_R_D() {
    // An owner that skipped stopThread must not leave the worker on freed buffers.
    if (fpThreadPool) {
        stopThread();
        releaseThreads();
    }
    veld::platform::freeLarge(fReadyBuf, fBufSize + kReadySlack);
    veld::platform::freeLarge(fCompBuf, fCompRoom);
}

std::uint64_t PreIOThread_R_D::fetchBlock(unsigned char* dest, std::uint64_t destRoom,
                                          std::int64_t fpos, veld::blockio::Fetch who) {
    const blockInfo bInfo = fpPosInfo->findBlock(fpos);
    VELD_CHECK(fpos == bInfo.orginalPos);
    return veld::blockio::fetchBlockBytes(*pRealFile, *fCodec, bInfo, fCompBuf,
                                          static_cast<std::int64_t>(fCompRoom), dest,
                                          static_cast<std::int64_t>(destRoom), who);
}

std::uint64_t PreIOThread_R_D::readBlock(void* buf, std::uint64_t reqSize, std::int64_t fpos) {
    if (reqSize == 0 && fpos == 0) {
        bStop.store(true);
        semWork.postSemaphore();
        return 0;
    }
    raiseWorkerFailure();
    // After the last block no prefetch was started, and the owner still holds semReady.
    if (!bHoldReady) {
        semReady.waitSemaphore();
        bHoldReady = true;
    }
    raiseWorkerFailure();
    {
        sfGuard guard(fMutex, sfLockRecursive);
        // stCurSize is 0 once the prefetched block was handed out, and after a
        // failed prefetch: either way the block is fetched anew, here.
        if (fpReadyPos == fpos && stCurSize != 0) {
            VELD_CHECK(reqSize == stCurSize);
            std::memcpy(buf, fReadyBuf, reqSize);
            const blockInfo served = fpPosInfo->findBlock(fpos);
            pRealFile->ServedAhead(served.translatePos, static_cast<std::uint64_t>(served.translateSize));
            // The worker inflates over these bytes next: not shared with this core then.
            veld::platform::evictFromCaches(fReadyBuf, reqSize);
        } else {
            // A prefetch of another block is dropped.
            fpReadyPos = -1;
            const std::uint64_t outCount = fetchBlock(static_cast<unsigned char*>(buf), reqSize, fpos,
                                                          veld::blockio::Fetch::Requested);
            VELD_CHECK(outCount == reqSize);
        }
        stCurSize = 0;
        fpNextPos = fpos + static_cast<std::int64_t>(reqSize);
    }
    if (fpPosInfo->findBlock(fpNextPos).orginalPos != veld::layout::kNotFound) {
        bHoldReady = false;
        semWork.postSemaphore();
    }
    return reqSize;
}

int PreIOThread_R_D::readStep() {
    semWork.waitSemaphore();
    if (bStop.load()) return 1;
    {
        sfGuard guard(fMutex, sfLockRecursive);
        fpReadyPos = fpNextPos;
        stCurSize = 0;
        try {
            stCurSize = fetchBlock(fReadyBuf, fBufSize, fpNextPos, veld::blockio::Fetch::Ahead);
        } catch (...) {
            // Fetching ahead is speculative: the request that needs this block
            // fetches it again itself and meets whatever is still wrong.
            stCurSize = 0;
        }
    }
    semReady.postSemaphore();
    return 0;
}

std::uint64_t PreIOThread_R_D::writeBlock(const void*, std::uint64_t, std::int64_t) {
    VELD_CHECK(0);
    return 0;
}

int PreIOThread_R_D::writeStep() {
    VELD_CHECK(0);
    return 1;
}
