// Compress-and-write thread: takes a copy of each block handed over, and its
// worker compresses it, writes the payload at the next free offset and adds
// the block's record to the index. A block of size 0 is the end mark.
// A failure on the worker (codec, raw-file write) ends the worker; it is raised
// on the owner's thread at its next writeBlock, the end mark or stopThread.
// Thread contract: requests from one owner thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "BlockCodec.h"
#include "PreIOThreadBase.h"
#include "VELD_File.h"
#include "WriteBehind.h"
#include "filePosInfo.h"

class PreIOThread_W_C : public PreIOThreadBase, public WriteBehind {
public:
    PreIOThread_W_C(VELD_File* pRealFile, filePosInfo* fpPosInfo, std::uint64_t fBufSize,
                    std::int64_t firstOrginalPos, std::int64_t firstTranslatePos);
    ~PreIOThread_W_C() override;

    std::uint64_t readBlock(void* buf, std::uint64_t size, std::int64_t fpos) override;
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;
    // Returns once the worker has ended; sends the end mark first if the owner
    // has not, so that it never waits for ever. Raises a failure the worker kept.
    bool stopThread() override;
    // After a failure the block the worker was storing comes back.
    WriterPosition stoppedAt() const override;

private:
    // Waits until the worker is done with fInBuf and hands size bytes over.
    // Answers false, handing nothing over, when the worker has failed.
    bool handOver(const void* buf, std::uint64_t size);

    sfSemaphore semWork;
    sfSemaphore semReady;
    VELD_File* pRealFile;
    std::unique_ptr<veld::BlockCodec> fCodec;
    filePosInfo* fpPosInfo;
    unsigned char* fOutBuf;
    std::uint64_t fOutSize;
    std::int64_t fpOutPos;
    std::int64_t fpNextTranslatePos;
    std::int64_t fpNextOrginalPos;
    unsigned char* fInBuf;
    std::uint64_t fBufSize;
    std::uint64_t fInSize;
    std::uint64_t fOutRoom;  // bytes of fOutBuf: at least the worst-case payload of a block
    bool bEndMarkSent;       // owner's thread only
};
