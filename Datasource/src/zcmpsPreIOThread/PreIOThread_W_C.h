// Compress-and-write thread: takes a copy of each block handed over, and its
// worker compresses it, writes the payload at the next free offset and adds
// the block's record to the index. A block of size 0 is the end mark.
// Thread contract: requests from one owner thread at a time.
#pragma once

#include <cstdint>

#include "PreIOThreadBase.h"
#include "VELD_File.h"
#include "filePosInfo.h"
#include "zlibCompressBlock.h"

class PreIOThread_W_C : public PreIOThreadBase {
public:
    PreIOThread_W_C(VELD_File* pRealFile, filePosInfo* fpPosInfo, std::uint64_t fBufSize,
                    std::int64_t firstOrginalPos, std::int64_t firstTranslatePos);
    ~PreIOThread_W_C() override;

    std::uint64_t readBlock(void* buf, std::uint64_t size, std::int64_t fpos) override;
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;
    // The end mark has been handed over and (after stopThread) worked off.
    // stopThread also raises a failure the worker kept.
    bool stopThread() override;

private:
    sfSemaphore semWork;
    sfSemaphore semReady;
    VELD_File* pRealFile;
    zlibCompressBlock fCodec;
    filePosInfo* fpPosInfo;
    unsigned char* fOutBuf;
    std::uint64_t fOutSize;
    std::int64_t fpOutPos;
    std::int64_t fpNextTranslatePos;
    std::int64_t fpNextOrginalPos;
    unsigned char* fInBuf;
    std::uint64_t fBufSize;
    std::uint64_t fInSize;
};
