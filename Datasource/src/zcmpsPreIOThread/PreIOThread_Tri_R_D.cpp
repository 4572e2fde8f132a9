#include "PreIOThread_Tri_R_D.h"

#include <algorithm>
#include <cstring>

#include "blockPayload.h"
#include "check.h"
#include "large_memory.h"

PreIOThread_Tri_R_D::PreIOThread_Tri_R_D(VELD_File* pRealFile, filePosInfo* fpPosInfo,
                                         std::uint64_t fBufSize)
    : fCodec(veld::makeBlockCodec()),
      fpPosInfo(fpPosInfo),
      pRealFile(pRealFile),
      fpReadCallBack(nullptr),
      fpDecompressCallBack(nullptr),
      bReadEnd(false),
      bCompressEnd(false),
      fCompBuf(nullptr),
      fDecompBuf(nullptr),
      fpRawPos(0),
      fpCurDecompressPos(0),
      fpNextReadPos(0),
      fpNextDecompressPos(0),
      semRawReady(1),
      semReadWork(0),
      semReady(1),
      semWork(0),
      fBufSize(fBufSize),
      fCompRoom(0),
      stRawSize(0),
      stDecompSize(0),
      bRawHeld(false),
      bHoldReady(false),
      bTasksHandedOver(false) {
    // Another writer may have stored a block that did not shrink whole, a little larger than a block.
    fCompRoom = std::max(fBufSize, fCodec->compressBound(fBufSize));
    fCompBuf = static_cast<unsigned char*>(veld::platform::allocateLarge(fCompRoom));
    fDecompBuf = static_cast<unsigned char*>(veld::platform::allocateLarge(fBufSize ? fBufSize : 1));
}

PreIOThread_Tri_R_D::~PreIOThread_Tri_R_D() {
    // An owner that skipped stopThread must not leave the workers on freed buffers.
    if (fpThreadPool) {
        stopThread();
        releaseThreads();
    }
    if (!bTasksHandedOver) {
        delete fpReadCallBack;
        delete fpDecompressCallBack;
    }
    veld::platform::freeLarge(fCompBuf, fCompRoom);
    veld::platform::freeLarge(fDecompBuf, fBufSize ? fBufSize : 1);
}

bool PreIOThread_Tri_R_D::initThread(bool bRead) {
    VELD_CHECK(bRead == true);
    bIsWriter = false;
    fpThreadPool = new sfThreadPool(2, 0);
    fpThreadPool->init();
    fpReadCallBack = new newThreadForRead();
    fpDecompressCallBack = new newThreadForDecompress();
    return true;
}

bool PreIOThread_Tri_R_D::startThread() {
    fpThreadPool->startAll();
    // The pool owns the tasks from here and deletes each when its loop ends.
    bTasksHandedOver = true;
    fpThreadPool->dispatch(fpReadCallBack, this, 1);
    fpThreadPool->dispatch(fpDecompressCallBack, this, 1);
    return true;
}

bool PreIOThread_Tri_R_D::stopThread() {
    readBlock(nullptr, 0, 0);
    if (fpThreadPool) fpThreadPool->stopAll();
    return true;
}

bool PreIOThread_Tri_R_D::releaseThreads() {
    delete fpThreadPool;
    fpThreadPool = nullptr;
    return true;
}

void PreIOThread_Tri_R_D::readRaw(std::int64_t fpos, veld::blockio::Fetch who) {
    // Until the read is complete fCompBuf holds no block.
    fpRawPos = -1;
    const blockInfo bInfo = fpPosInfo->findBlock(fpos);
    VELD_CHECK(fpos == bInfo.orginalPos);
    veld::blockio::checkRecordFits(bInfo, static_cast<std::int64_t>(fBufSize),
                                   static_cast<std::int64_t>(fCompRoom));
    const std::int64_t ret = static_cast<std::int64_t>(
        veld::blockio::readPayload(*pRealFile, fCompBuf, static_cast<std::uint64_t>(bInfo.translateSize),
                                   bInfo.translatePos, who));
    VELD_CHECK_AT(ret == bInfo.translateSize, veld::blockio::describeBlock(bInfo));
    stRawSize = static_cast<std::uint64_t>(ret);
    fpRawPos = fpos;
}

std::uint64_t PreIOThread_Tri_R_D::decompressAt(std::int64_t fpos, veld::blockio::Fetch who) {
    // After the last block nobody was asked to read: fCompBuf is still ours.
    if (!bRawHeld) {
        semRawReady.waitSemaphore();
        bRawHeld = true;
    }
    if (bCompressEnd.load()) return 0;
    const blockInfo bInfo = fpPosInfo->findBlock(fpos);
    if (fpRawPos != fpos)
        readRaw(fpos, who);
    else
        VELD_CHECK(bCompressEnd != true);
    const std::uint64_t count =
        veld::blockio::inflateBlock(*fCodec, bInfo, fCompBuf, stRawSize, fDecompBuf, fBufSize);
    fpNextReadPos = fpos + bInfo.orginalSize;
    if (fpPosInfo->findBlock(fpNextReadPos).orginalPos != veld::layout::kNotFound) {
        bRawHeld = false;
        semReadWork.postSemaphore();
    }
    return count;
}

int PreIOThread_Tri_R_D::readStep() {
    semReadWork.waitSemaphore();
    if (bReadEnd.load()) {
        // A decompression may be waiting for fCompBuf; let it see the stop.
        semRawReady.postSemaphore();
        return 1;
    }
    try {
        readRaw(fpNextReadPos, veld::blockio::Fetch::Ahead);
    } catch (...) {
        // Reading ahead is speculative: fpRawPos says fCompBuf holds nothing,
        // and whoever decompresses the block reads it again itself.
    }
    semRawReady.postSemaphore();
    return 0;
}

int PreIOThread_Tri_R_D::decompressStep() {
    semWork.waitSemaphore();
    if (bCompressEnd.load()) return 1;
    fpCurDecompressPos = fpNextDecompressPos;
    stDecompSize = 0;
    try {
        stDecompSize = decompressAt(fpNextDecompressPos, veld::blockio::Fetch::Ahead);
    } catch (...) {
        // Speculative too: the request for this block decompresses it itself.
    }
    if (stDecompSize == 0) fpCurDecompressPos = -1;
    semReady.postSemaphore();
    return 0;
}

std::uint64_t PreIOThread_Tri_R_D::readBlock(void* buf, std::uint64_t reqSize, std::int64_t fpos) {
    if (reqSize == 0 && fpos == 0) {
        bReadEnd.store(true);
        bCompressEnd.store(true);
        semWork.postSemaphore();
        // The reading worker ends only after a post of its own.
        semReadWork.postSemaphore();
        return 0;
    }
    raiseWorkerFailure();
    // After the last block no decompression was posted: fDecompBuf is still ours.
    if (!bHoldReady) {
        semReady.waitSemaphore();
        bHoldReady = true;
    }
    raiseWorkerFailure();
    if (fpCurDecompressPos != fpos) {
        fpCurDecompressPos = -1;
        stDecompSize = decompressAt(fpos, veld::blockio::Fetch::Requested);
        fpCurDecompressPos = fpos;
    } else {
        VELD_CHECK(bCompressEnd != true && fpCurDecompressPos == fpos);
        const blockInfo served = fpPosInfo->findBlock(fpos);
        pRealFile->ServedAhead(served.translatePos, static_cast<std::uint64_t>(served.translateSize));
    }
    VELD_CHECK(reqSize == stDecompSize);
    std::memcpy(buf, fDecompBuf, reqSize);
    fpNextDecompressPos = fpos + static_cast<std::int64_t>(reqSize);
    if (fpPosInfo->findBlock(fpNextDecompressPos).orginalPos != veld::layout::kNotFound) {
        bHoldReady = false;
        semWork.postSemaphore();
    }
    return reqSize;
}

std::uint64_t PreIOThread_Tri_R_D::writeBlock(const void*, std::uint64_t, std::int64_t) {
    VELD_CHECK(0);
    return 0;
}

int PreIOThread_Tri_R_D::writeStep() {
    VELD_CHECK(0);
    return 1;
}

int PreIOThread_Tri_R_D::newThreadForDecompress::run(void* prtData) {
    return runSteps(prtData, static_cast<int (PreIOThreadBase::*)()>(&PreIOThread_Tri_R_D::decompressStep));
}
