#include "multiThreadForFilestr.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "BlockRecycler.h"
#include "check.h"

namespace {
// Slack after the buffer, as the stream's other block buffers have.
constexpr std::uint64_t kBufSlack = 128;

std::int64_t AsCount(std::uint64_t n) { return static_cast<std::int32_t>(n); }
}  // namespace

multiThreadForFilestr::multiThreadForFilestr(VELD_File* file, std::uint64_t bufSize, bool ownThread)
    : semReady(1),
      semWork(0),
      pRealFile(file),
      fpNextPos(-1),
      fpReadyPos(-1),
      fReadyBuf(static_cast<unsigned char*>(veld::takeBlock(bufSize + kBufSlack))),
      fBufSize(bufSize),
      fReadyCount(0),
      bStop(false),
      bOwnThread(ownThread) {}

multiThreadForFilestr::multiThreadForFilestr(const multiThreadForFilestr& other)
    : PreIOThreadBase(),
      semReady(1),
      semWork(0),
      pRealFile(nullptr),
      fpNextPos(-1),
      fpReadyPos(-1),
      fReadyBuf(nullptr),
      fBufSize(other.fBufSize),
      fReadyCount(0),
      bStop(false),
      bOwnThread(false) {
    VELD_CHECK(0 && "can't copy a multiThreadForFilestr");
}

multiThreadForFilestr::~multiThreadForFilestr() {
    if (bOwnThread) {
        try {
            stopThread();
            releaseThreads();
        } catch (...) {
            // A kept worker failure was raised to the streams already.
        }
    }
    veld::giveBackBlock(fReadyBuf, fBufSize + kBufSlack);
}

std::uint64_t multiThreadForFilestr::readBlock(void* buf, std::uint64_t size, std::int64_t fpos) {
    if (size == 0 && fpos == 0) {
        // The stop request: a read-ahead still running finishes first.
        bStop.store(true, std::memory_order_release);
        semWork.postSemaphore();
        return 0;
    }
    return serve(nullptr, buf, size, fpos, nullptr);
}

std::uint64_t multiThreadForFilestr::readBlockFrom(VELD_File* file, void* buf, std::uint64_t size,
                                                   std::int64_t fpos) {
    return serve(file, buf, size, fpos, nullptr);
}

std::uint64_t multiThreadForFilestr::readBlockInto(VELD_File* file, unsigned char*& window,
                                                   std::uint64_t size, std::int64_t fpos) {
    return serve(file, window, size, fpos, &window);
}

std::uint64_t multiThreadForFilestr::serve(VELD_File* file, void* buf, std::uint64_t size,
                                           std::int64_t fpos, unsigned char** swapWith) {
    // A worker that ended on a failure outside its reads kept it; it answers
    // every request, so none waits for a worker that has gone.
    raiseWorkerFailure();
    semReady.waitSemaphore();
    if (workerFailed()) {
        semReady.postSemaphore();
        raiseWorkerFailure();
    }
    if (file && file != pRealFile) {
        pRealFile = file;
        fpReadyPos = -1;
    }
    const std::uint64_t want = std::min(size, fBufSize);
    std::int64_t result;
    if (fpReadyPos == fpos && fAheadEpoch == fWriteEpoch.load(std::memory_order_acquire)) {
        result = std::min<std::int64_t>(fReadyCount, static_cast<std::int64_t>(want));
        if (pRealFile) pRealFile->ServedAhead(fpos, static_cast<std::uint64_t>(result));
        // Both are whole recycled blocks when ours fits one: trade them.
        if (swapWith && fBufSize + kBufSlack <= veld::kRecycledBlockSize)
            std::swap(*swapWith, fReadyBuf);
        else
            std::memcpy(buf, fReadyBuf, static_cast<std::size_t>(result));
    } else {
        try {
            fReadyCount = pRealFile ? AsCount(pRealFile->Read(buf, want, fpos)) : 0;
        } catch (...) {
            // The error is this caller's; the next request finds the turn free.
            fpReadyPos = -1;
            fReadyCount = 0;
            semReady.postSemaphore();
            throw;
        }
        result = fReadyCount;
    }
    fpNextPos = fpos + static_cast<std::int64_t>(size);
    fReadyCount = 0;
    fpReadyPos = -1;
    fAheadEpoch = fWriteEpoch.load(std::memory_order_acquire);
    semWork.postSemaphore();
    return static_cast<std::uint64_t>(result);
}

int multiThreadForFilestr::readStep() {
    semWork.waitSemaphore();
    if (bStop.load(std::memory_order_acquire)) return 1;
    fpReadyPos = fpNextPos;
    try {
        fReadyCount = pRealFile ? AsCount(pRealFile->ReadAhead(fReadyBuf, fBufSize, fpReadyPos)) : 0;
    } catch (...) {
        // Nobody has asked for these bytes yet: the request that wants them
        // misses and reads them itself, meeting the failure as it would
        // without read-ahead. Nothing is kept, so no later request fails for it.
        fpReadyPos = -1;
        fReadyCount = 0;
    }
    semReady.postSemaphore();
    return 0;
}

void multiThreadForFilestr::releaseFile(VELD_File* file) {
    semReady.waitSemaphore();
    if (pRealFile == file) {
        pRealFile = nullptr;
        fpReadyPos = -1;
    }
    semReady.postSemaphore();
}

std::uint64_t multiThreadForFilestr::writeBlock(const void*, std::uint64_t, std::int64_t) {
    VELD_CHECK(0);
    return 0;
}

int multiThreadForFilestr::writeStep() {
    VELD_CHECK(0);
    return 1;
}
