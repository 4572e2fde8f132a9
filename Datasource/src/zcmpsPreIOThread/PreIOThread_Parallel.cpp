#include "PreIOThread_Parallel.h"

#include <algorithm>
#include <cstring>

#include "blockPayload.h"
#include "check.h"
#include "compressedLayout.h"

using veld::layout::kBlockSize;

namespace {
enum SlotState { kFree, kQueued, kBusy, kDone, kReady = kDone, kFailed, kHeld };
}

// ---- writing ----------------------------------------------------------------

PreIOThread_Par_W_C::PreIOThread_Par_W_C(VELD_File* pRealFile, filePosInfo* fpPosInfo, int workers,
                                         std::int64_t firstOrginalPos, std::int64_t firstTranslatePos)
    : pRealFile(pRealFile),
      fpPosInfo(fpPosInfo),
      fWorkers(std::max(1, workers)),
      fOutRoom(0),
      fSlots(static_cast<std::size_t>(fWorkers) + 1),
      fpNextOrginalPos(firstOrginalPos),
      fpNextTranslatePos(firstTranslatePos) {
    // One slot more than workers, so the owner fills one while all compress.
    for (Slot& s : fSlots) {
        s.codec = veld::makeBlockCodec();
        fOutRoom = veld::storeRoom(*s.codec, kBlockSize);
        s.in = veld::LargeBuffer(kBlockSize);
        s.out = veld::LargeBuffer(fOutRoom);
    }
}

PreIOThread_Par_W_C::~PreIOThread_Par_W_C() {
    // An owner that skipped stopThread must not leave the workers on freed slots.
    if (fpThreadPool) {
        try {
            stopThread();
        } catch (...) {
        }
        releaseThreads();
    }
}

bool PreIOThread_Par_W_C::initThread(bool bRead) {
    VELD_CHECK(bRead == false);
    bIsWriter = true;
    fpThreadPool = new sfThreadPool(fWorkers, 0);
    fpThreadPool->init();
    return true;
}

bool PreIOThread_Par_W_C::startThread() {
    fpThreadPool->startAll();
    // The pool owns the tasks and deletes each when its loop ends.
    for (int i = 0; i < fWorkers; ++i) fpThreadPool->dispatch(new newThreadForWrite(), this, 1);
    return true;
}

std::uint64_t PreIOThread_Par_W_C::readBlock(void*, std::uint64_t, std::int64_t) {
    VELD_CHECK(0);
    return 0;
}

int PreIOThread_Par_W_C::readStep() {
    VELD_CHECK(0);
    return 1;
}

std::uint64_t PreIOThread_Par_W_C::writeBlock(const void* buf, std::uint64_t size, std::int64_t) {
    VELD_CHECK(bEndMarkSent == false);
    VELD_CHECK(size <= static_cast<std::uint64_t>(kBlockSize));
    raiseWorkerFailure();
    if (size == 0) {
        bEndMarkSent = true;
        finishAll();
        raiseWorkerFailure();
        return 0;
    }
    std::unique_lock<std::mutex> lock(fLock);
    Slot* slot = nullptr;
    fFreed.wait(lock, [&] {
        if (workerFailed()) return true;
        for (Slot& s : fSlots)
            if (s.state == kFree) {
                slot = &s;
                return true;
            }
        return false;
    });
    if (workerFailed()) {
        lock.unlock();
        raiseWorkerFailure();
    }
    slot->state = kBusy;  // ours while we copy
    lock.unlock();
    std::memcpy(slot->in.get(), buf, size);
    lock.lock();
    slot->inSize = size;
    slot->seq = fNextSeq++;
    slot->state = kQueued;
    fQueue.push_back(static_cast<std::size_t>(slot - fSlots.data()));
    fWork.notify_one();
    return size;
}

int PreIOThread_Par_W_C::writeStep() {
    std::unique_lock<std::mutex> lock(fLock);
    fWork.wait(lock, [&] { return bStop || !fQueue.empty(); });
    if (fQueue.empty()) return 1;  // stopping, nothing left to compress
    Slot& slot = fSlots[fQueue.front()];
    fQueue.pop_front();
    slot.state = kBusy;
    lock.unlock();
    try {
        slot.stored = veld::compressForStore(*slot.codec, slot.in.get(), slot.inSize, slot.out.get(), fOutRoom);
    } catch (...) {
        keepWorkerFailure(std::current_exception());
        lock.lock();
        fFreed.notify_all();
        return 0;  // the slot stays busy: nothing after it is written
    }
    lock.lock();
    slot.state = kDone;
    writeInOrder(lock);
    return 0;
}

void PreIOThread_Par_W_C::writeInOrder(std::unique_lock<std::mutex>& lock) {
    // One worker at a time writes, always the oldest block, so payloads land
    // back to back in block order and records join the index in that order.
    if (bWriting) return;
    bWriting = true;
    for (;;) {
        if (workerFailed()) break;
        auto next = std::find_if(fSlots.begin(), fSlots.end(),
                                 [&](const Slot& s) { return s.state == kDone && s.seq == fNextToWrite; });
        if (next == fSlots.end()) break;
        Slot& slot = *next;
        lock.unlock();
        bool wrote = true;
        try {
            const std::uint64_t total = slot.stored.totalPayload();
            const std::uint64_t written = pRealFile->Write(slot.out.get(), total, fpNextTranslatePos);
            VELD_CHECK(written == total);
            for (int i = 0; i < slot.stored.count; ++i) {
                const veld::StoredPiece& p = slot.stored.piece[i];
                fpPosInfo->addBlock(blockInfo{fpNextOrginalPos + static_cast<std::int64_t>(p.inOffset),
                                              fpNextTranslatePos + static_cast<std::int64_t>(p.payloadOffset),
                                              static_cast<std::int32_t>(p.inSize),
                                              static_cast<std::int32_t>(p.payloadSize)});
            }
            fpNextOrginalPos += static_cast<std::int64_t>(slot.inSize);
            fpNextTranslatePos += static_cast<std::int64_t>(total);
        } catch (...) {
            keepWorkerFailure(std::current_exception());
            wrote = false;
        }
        lock.lock();
        // A block written is done with, even when another worker failed
        // meanwhile: only what was not written may come back to the owner.
        if (!wrote) break;
        slot.state = kFree;
        ++fNextToWrite;
    }
    bWriting = false;
    fFreed.notify_all();
}

void PreIOThread_Par_W_C::finishAll() {
    std::unique_lock<std::mutex> lock(fLock);
    fFreed.wait(lock, [&] { return workerFailed() || (fNextToWrite == fNextSeq && !bWriting); });
    if (workerFailed()) return;
    lock.unlock();
    // A write of no bytes at the end leaves the raw file's position there, where the table goes.
    const std::uint64_t written = pRealFile->Write(fSlots[0].out.get(), 0, fpNextTranslatePos);
    VELD_CHECK(written == 0);
}

bool PreIOThread_Par_W_C::stopThread() {
    std::exception_ptr failure;
    if (!bEndMarkSent) {
        bEndMarkSent = true;
        try {
            finishAll();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    {
        std::lock_guard<std::mutex> g(fLock);
        bStop = true;
        fQueue.clear();  // after a failure, queued blocks are never written
    }
    fWork.notify_all();
    if (fpThreadPool) fpThreadPool->stopAll();
    if (failure) std::rethrow_exception(failure);
    raiseWorkerFailure();
    return true;
}

WriterPosition PreIOThread_Par_W_C::stoppedAt() const {
    WriterPosition at{fpNextOrginalPos, fpNextTranslatePos, {}};
    if (!workerFailed()) return at;
    // Nothing after the first unwritten block was written: the slots still in
    // use hold it and every later one.
    std::vector<const Slot*> left;
    for (const Slot& s : fSlots)
        if (s.state != kFree) left.push_back(&s);
    std::sort(left.begin(), left.end(), [](const Slot* a, const Slot* b) { return a->seq < b->seq; });
    for (const Slot* s : left) at.unstored.push_back(UnstoredBlock{s->in.get(), s->inSize});
    return at;
}

// ---- reading ----------------------------------------------------------------

PreIOThread_Par_R_D::PreIOThread_Par_R_D(VELD_File* pRealFile, filePosInfo* fpPosInfo, int workers)
    : pRealFile(pRealFile),
      fpPosInfo(fpPosInfo),
      fWorkers(std::max(1, workers)),
      fPayloadRoom(static_cast<std::uint64_t>(veld::layout::kMaxPayloadSize)),
      fSlots(static_cast<std::size_t>(fWorkers) + 1),
      fOwnCodec(veld::makeBlockCodec()),
      fOwnPayload(fPayloadRoom) {
    for (Slot& s : fSlots) {
        s.codec = veld::makeBlockCodec();
        s.payload = veld::LargeBuffer(fPayloadRoom);
        s.block = veld::LargeBuffer(kBlockSize);
    }
}

PreIOThread_Par_R_D::~PreIOThread_Par_R_D() {
    if (fpThreadPool) {
        stopThread();
        releaseThreads();
    }
}

bool PreIOThread_Par_R_D::initThread(bool bRead) {
    VELD_CHECK(bRead == true);
    bIsWriter = false;
    fpThreadPool = new sfThreadPool(fWorkers, 0);
    fpThreadPool->init();
    return true;
}

bool PreIOThread_Par_R_D::startThread() {
    fpThreadPool->startAll();
    for (int i = 0; i < fWorkers; ++i) fpThreadPool->dispatch(new newThreadForRead(), this, 1);
    return true;
}

std::uint64_t PreIOThread_Par_R_D::writeBlock(const void*, std::uint64_t, std::int64_t) {
    VELD_CHECK(0);
    return 0;
}

int PreIOThread_Par_R_D::writeStep() {
    VELD_CHECK(0);
    return 1;
}

void PreIOThread_Par_R_D::scheduleAfter(const blockInfo& r, std::size_t ahead) {
    // Caller holds fLock. Blocks already queued or inflated stay; the next ones join.
    std::int64_t next = r.orginalPos + r.orginalSize;
    for (std::size_t k = 0; k < ahead; ++k) {
        const blockInfo b = fpPosInfo->findBlock(next);
        if (b.orginalPos != next) return;  // the end of the data
        auto have = std::find_if(fSlots.begin(), fSlots.end(), [&](const Slot& s) {
            return s.state != kFree && !s.discard && s.record.orginalPos == next;
        });
        if (have == fSlots.end()) {
            auto free = std::find_if(fSlots.begin(), fSlots.end(), [](const Slot& s) { return s.state == kFree; });
            if (free == fSlots.end()) return;
            free->record = b;
            free->discard = false;
            free->state = kQueued;
            fQueue.push_back(static_cast<std::size_t>(free - fSlots.begin()));
            fWork.notify_one();
        }
        next = b.orginalPos + b.orginalSize;
    }
}

unsigned char* PreIOThread_Par_R_D::acquireBlock(const blockInfo& r) {
    // The block handed out last time has been read on this thread; a worker
    // inflates into its slot again soon, at half speed while the lines are
    // still in this core's caches. Only the owner touches fHeldSlot.
    if (fHeldSlot >= 0) {
        const Slot& held = fSlots[static_cast<std::size_t>(fHeldSlot)];
        veld::platform::evictFromCaches(held.block.get(), static_cast<std::size_t>(held.record.orginalSize));
        fHeldSlot = -1;
    }
    std::unique_lock<std::mutex> lock(fLock);
    // The block handed out last time is given back.
    for (Slot& s : fSlots)
        if (s.state == kHeld) s.state = kFree;
    auto it = std::find_if(fSlots.begin(), fSlots.end(), [&](const Slot& s) {
        return s.state != kFree && !s.discard && s.record.orginalPos == r.orginalPos;
    });
    if (it == fSlots.end()) {
        // A jump: what was read ahead is not wanted; start again after r, one block ahead.
        for (Slot& s : fSlots) {
            if (s.state == kQueued || s.state == kReady || s.state == kFailed) s.state = kFree;
            if (s.state == kBusy) s.discard = true;
        }
        fQueue.clear();
        fAhead = 1;
        return nullptr;
    }
    Slot& slot = *it;
    fDone.wait(lock, [&] { return slot.state == kReady || slot.state == kFailed; });
    // Reading in order: look further ahead.
    fAhead = std::min<std::size_t>(fAhead + 1, static_cast<std::size_t>(fWorkers));
    const bool good = slot.state == kReady && slot.record.orginalSize == r.orginalSize &&
                      slot.record.translatePos == r.translatePos && slot.record.translateSize == r.translateSize;
    slot.state = good ? kHeld : kFree;
    if (good) {
        fHeldSlot = static_cast<int>(&slot - fSlots.data());
        pRealFile->ServedAhead(r.translatePos, static_cast<std::uint64_t>(r.translateSize));
        scheduleAfter(r, fAhead);
    }
    return good ? slot.block.get() : nullptr;
}

void PreIOThread_Par_R_D::ownerFetched(const blockInfo& r) {
    std::lock_guard<std::mutex> g(fLock);
    scheduleAfter(r, fAhead);
}

int PreIOThread_Par_R_D::readStep() {
    std::unique_lock<std::mutex> lock(fLock);
    fWork.wait(lock, [&] { return bStop || !fQueue.empty(); });
    if (bStop) return 1;
    Slot& slot = fSlots[fQueue.front()];
    fQueue.pop_front();
    slot.state = kBusy;
    const blockInfo r = slot.record;
    lock.unlock();
    bool ok = true;
    try {
        veld::blockio::fetchBlockBytes(*pRealFile, *slot.codec, r, slot.payload.get(),
                                       static_cast<std::int64_t>(fPayloadRoom), slot.block.get(), kBlockSize,
                                       veld::blockio::Fetch::Ahead);
    } catch (...) {
        // Speculative: the owner fetches this block itself if it asks for it.
        ok = false;
    }
    lock.lock();
    slot.state = slot.discard ? kFree : ok ? kReady : kFailed;
    slot.discard = false;
    fDone.notify_all();
    return 0;
}

std::uint64_t PreIOThread_Par_R_D::readBlock(void* buf, std::uint64_t size, std::int64_t fpos) {
    if (size == 0 && fpos == 0) {
        {
            std::lock_guard<std::mutex> g(fLock);
            bStop = true;
        }
        fWork.notify_all();
        return 0;
    }
    const blockInfo r = fpPosInfo->findBlock(fpos);
    VELD_CHECK(fpos == r.orginalPos);
    VELD_CHECK(size == static_cast<std::uint64_t>(r.orginalSize));
    if (const unsigned char* ready = acquireBlock(r)) {
        std::memcpy(buf, ready, size);
        return size;
    }
    const std::uint64_t count =
        veld::blockio::fetchBlockBytes(*pRealFile, *fOwnCodec, r, fOwnPayload.get(), static_cast<std::int64_t>(fPayloadRoom),
                                       static_cast<unsigned char*>(buf), static_cast<std::int64_t>(size),
                                       veld::blockio::Fetch::Requested);
    ownerFetched(r);
    return count;
}
