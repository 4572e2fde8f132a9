// The compressed stream's life: construction, positioning, closing and the
// removal of its thread object.
#include "zcmpsFilestr.h"

#include <exception>

#include "blockStoreRule.h"
#include "check.h"
#include "zcmpsFilestrData.h"

using veld::layout::kBlockSize;

zcmpsFilestr::Data::Data(VELD_File& file)
    : fRow0Pos(0),
      fpos(-1),
      fWritePos(0),
      pRealFile(file),
      fpPosInfo(nullptr),
      fpIOThread(nullptr),
      fpCurBuff(fBuffer),
      availBuffSize(kBlockSize),
      fMultiThread(0),
      fFileKeeper(&file),
      fStrictCodec(veld::makeBlockCodec()),
      fPayloadRoom(veld::storeRoom(*fStrictCodec, kBlockSize)),
      fPayload(fPayloadRoom) {}

zcmpsFilestr::Data::~Data() = default;

std::string zcmpsFilestr::Data::describe(const blockInfo& record) const {
    std::string text = "block";
    const std::int64_t index = fpPosInfo ? fpPosInfo->indexOf(record.orginalPos) : -1;
    if (index >= 0) text += " " + std::to_string(index);
    return text + " at offset " + std::to_string(record.translatePos) + " (position " +
           std::to_string(record.orginalPos) + ")";
}

zcmpsFilestr::zcmpsFilestr(const VELD_FileStream& stream)
    : VELD_FileStream(stream), fData(nullptr), bIsWriting(false), fFilePos(0) {
    // Without a raw file there is nothing to share (Name answers null only then).
    VELD_CHECK(Name() != 0 && "zcmpsFilestr needs a stream with a raw file");
    fData = new Data(GetFile());
    fData->fpPosInfo = new filePosInfo(kBlockSize);
}

zcmpsFilestr::~zcmpsFilestr() noexcept(false) {
    std::exception_ptr failure;
    try {
        Close();
    } catch (...) {
        failure = std::current_exception();
    }
    if (fData->fpIOThread) {
        try {
            removeIOThread(bIsWriting);
        } catch (...) {
        }
    }
    delete fData->fpPosInfo;
    delete fData;
    fData = nullptr;
    FinishInDestructor([&] {
        if (failure) std::rethrow_exception(failure);
    });
}

void zcmpsFilestr::setMultiThread(int n) {
    VELD_CHECK(fData->fpIOThread == 0);
    fData->fMultiThread = n;
}

void zcmpsFilestr::setWorkers(int k) {
    VELD_CHECK(fData->fpIOThread == 0);
    fData->fWorkers = k < 0 ? 0 : k;
}

int zcmpsFilestr::Seek(std::int64_t offset, SeekDirection dir) {
    if (dir == FromCurrent) {
        fFilePos += offset;
    } else if (dir == FromEnd) {
        VELD_CHECK(0 && "seek from end with zcmpsFilestr::Seek");
    } else {
        fFilePos = offset;
    }
    return 0;
}

std::int64_t zcmpsFilestr::Tell() const { return fFilePos; }

int zcmpsFilestr::Close() {
    if (bIsWriting) {
        closeWriting();
    } else if (fData->fpIOThread) {
        removeIOThread(false);
    }
    return 1;
}

void zcmpsFilestr::Abandon() noexcept {
    if (!bIsWriting) return;
    Data& d = *fData;
    if (d.fpIOThread) {
        try {
            removeIOThread(false);  // stopping sends the end mark the worker waits for
        } catch (...) {
        }
    }
    bIsWriting = false;
    d.fpos = -1;
    d.availBuffSize = 0;
    d.fpCurBuff = d.fBuffer;
    d.forgetHeld();
    d.fTablePos = -1;
    d.bClosing = false;
    d.bCommitted = false;
    d.fShadowStart = -1;
    try {
        d.pRealFile.Close();
    } catch (...) {
        // Nothing of the abandoned write is wanted; a failed close loses nothing more.
    }
}

void zcmpsFilestr::removeIOThread(bool sendEndMark) {
    PreIOThreadBase* thread = fData->fpIOThread;
    if (!thread) return;
    std::exception_ptr failure;
    if (sendEndMark) {
        try {
            thread->writeBlock(fData->fBuffer, 0, fData->fpos);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    try {
        thread->stopThread();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    thread->releaseThreads();
    // A block handed out by a parallel reader lives in its slots.
    if (fData->fParallelReader) {
        fData->fParallelReader = nullptr;
        if (fData->fBlockBase != fData->fBuffer) fData->forgetBlock();
    }
    delete thread;
    fData->fpIOThread = nullptr;
    if (failure) std::rethrow_exception(failure);
}
