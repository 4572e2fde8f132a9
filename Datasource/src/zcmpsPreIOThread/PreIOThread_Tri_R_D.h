// Three-stage reader: one worker reads the next block's compressed bytes, a
// second decompresses, and the owner copies finished blocks out.
// Work ahead is speculative: when a worker fails (damage or the disk), the
// request for that block reads and decompresses it again on the owner's
// thread, which raises whatever is still wrong; no later request is affected.
// Nothing waits for work that was never posted; stopThread ends both workers.
// Thread contract: requests from one owner thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>

#include "BlockCodec.h"
#include "PreIOThreadBase.h"
#include "VELD_File.h"
#include "blockPayload.h"
#include "filePosInfo.h"

class PreIOThread_Tri_R_D : public PreIOThreadBase {
public:
    PreIOThread_Tri_R_D(VELD_File* pRealFile, filePosInfo* fpPosInfo, std::uint64_t fBufSize);
    ~PreIOThread_Tri_R_D() override;

    bool initThread(bool bRead) override;
    bool startThread() override;
    bool stopThread() override;
    bool releaseThreads() override;
    std::uint64_t readBlock(void* buf, std::uint64_t reqSize, std::int64_t fpos) override;
    // Reading only: the write side reports a programming error.
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;
    virtual int decompressStep();

    class newThreadForDecompress : public CallBackObject {
    public:
        newThreadForDecompress() : CallBackObject(nullptr) {}
        ~newThreadForDecompress() override = default;
        int run(void* prtData) override;
    };

private:
    void readRaw(std::int64_t fpos, veld::blockio::Fetch who);
    // Answers the block's byte count, or 0 when a stop came first.
    std::uint64_t decompressAt(std::int64_t fpos, veld::blockio::Fetch who);

    std::unique_ptr<veld::BlockCodec> fCodec;
    filePosInfo* fpPosInfo;
    VELD_File* pRealFile;
    newThreadForRead* fpReadCallBack;
    newThreadForDecompress* fpDecompressCallBack;
    std::atomic<bool> bReadEnd;
    std::atomic<bool> bCompressEnd;
    unsigned char* fCompBuf;
    unsigned char* fDecompBuf;
    std::int64_t fpRawPos;
    std::int64_t fpCurDecompressPos;
    std::int64_t fpNextReadPos;
    std::int64_t fpNextDecompressPos;
    sfSemaphore semRawReady;
    sfSemaphore semReadWork;
    sfSemaphore semReady;
    sfSemaphore semWork;
    std::uint64_t fBufSize;

    // fCompBuf and what it holds: its user is whoever holds semRawReady's token.
    std::uint64_t fCompRoom;
    std::uint64_t stRawSize;
    // fDecompBuf and what it holds: its user is whoever holds semReady's token
    // (the owner, or the decompressing worker between semWork and semReady).
    std::uint64_t stDecompSize;
    bool bRawHeld;                      // that user also holds semRawReady's token
    bool bHoldReady;                    // owner's thread only: it holds semReady's token
    bool bTasksHandedOver;              // the pool owns the task objects
};
