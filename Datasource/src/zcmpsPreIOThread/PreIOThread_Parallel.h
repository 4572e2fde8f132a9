// Thread objects with k workers, an addition beyond the one-worker objects:
//  - PreIOThread_Par_W_C compresses up to k blocks at once and writes them in
//    order, so the file is byte for byte the one a single writer makes;
//  - PreIOThread_Par_R_D reads and inflates up to k blocks ahead of a
//    sequential reader. A failed read-ahead is speculative: it is dropped, and
//    the owner fetches that block itself, so it fails as it would without workers.
// Memory: about two blocks per worker (a block and its payload per slot).
// Thread contract: requests from one owner thread at a time; the workers run the steps.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "BlockCodec.h"
#include "PreIOThreadBase.h"
#include "blockStoreRule.h"
#include "VELD_File.h"
#include "WriteBehind.h"
#include "filePosInfo.h"
#include "cpu_state.h"
#include "large_memory.h"

class PreIOThread_Par_W_C : public PreIOThreadBase, public WriteBehind {
public:
    PreIOThread_Par_W_C(VELD_File* pRealFile, filePosInfo* fpPosInfo, int workers,
                        std::int64_t firstOrginalPos, std::int64_t firstTranslatePos);
    ~PreIOThread_Par_W_C() override;

    bool initThread(bool bRead) override;
    bool startThread() override;
    // Copies size bytes (at most one block) into a free slot and returns; size 0
    // is the end mark, which returns once every block is written. Raises a
    // failure a worker kept.
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    std::uint64_t readBlock(void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;
    bool stopThread() override;
    // After a failure every block from the one that failed on comes back, in order.
    WriterPosition stoppedAt() const override;

private:
    struct Slot {
        veld::LargeBuffer in, out;
        std::unique_ptr<veld::BlockCodec> codec;
        std::uint64_t inSize = 0;
        std::uint64_t seq = 0;
        int state = 0;  // kFree, kQueued, kBusy, kDone
        veld::StoredBlock stored;
    };
    void writeInOrder(std::unique_lock<std::mutex>& lock);
    void finishAll();

    VELD_File* pRealFile;
    filePosInfo* fpPosInfo;
    int fWorkers;
    std::uint64_t fOutRoom;
    std::vector<Slot> fSlots;
    std::mutex fLock;
    std::condition_variable fWork;   // a slot was queued, or stop
    std::condition_variable fFreed;  // a slot was written and freed, or a worker failed
    std::deque<std::size_t> fQueue;
    std::uint64_t fNextSeq = 0, fNextToWrite = 0;
    bool bWriting = false, bStop = false, bEndMarkSent = false;
    std::int64_t fpNextOrginalPos, fpNextTranslatePos;
};

class PreIOThread_Par_R_D : public PreIOThreadBase {
public:
    PreIOThread_Par_R_D(VELD_File* pRealFile, filePosInfo* fpPosInfo, int workers);
    ~PreIOThread_Par_R_D() override;

    bool initThread(bool bRead) override;
    bool startThread() override;
    // The inflated block of record r, ready or waited for, valid until the next
    // call, and the blocks after it are scheduled; null when the owner must
    // fetch it itself (not read ahead, or the read-ahead failed).
    unsigned char* acquireBlock(const blockInfo& r);
    // After the owner fetched r itself: the blocks after it are scheduled. Not
    // before, so that the owner's own read comes first, as without workers.
    void ownerFetched(const blockInfo& r);
    // Copies the block at fpos (size bytes) into buf, fetching it on the owner's
    // thread when it was not read ahead; size 0 at 0 is the stop request.
    std::uint64_t readBlock(void* buf, std::uint64_t size, std::int64_t fpos) override;
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;

private:
    struct Slot {
        veld::LargeBuffer payload, block;
        std::unique_ptr<veld::BlockCodec> codec;
        blockInfo record{};
        int state = 0;  // kFree, kQueued, kBusy, kReady, kFailed, kHeld
        bool discard = false;
    };
    void scheduleAfter(const blockInfo& r, std::size_t ahead);

    VELD_File* pRealFile;
    filePosInfo* fpPosInfo;
    int fWorkers;
    std::uint64_t fPayloadRoom;
    std::vector<Slot> fSlots;
    std::mutex fLock;
    std::condition_variable fWork;
    std::condition_variable fDone;
    std::deque<std::size_t> fQueue;
    bool bStop = false;
    std::size_t fAhead = 1;  // grows to fWorkers while reading goes on in order
    int fHeldSlot = -1;      // the slot handed out last (owner thread only), or -1
    std::unique_ptr<veld::BlockCodec> fOwnCodec;
    veld::LargeBuffer fOwnPayload;
};
