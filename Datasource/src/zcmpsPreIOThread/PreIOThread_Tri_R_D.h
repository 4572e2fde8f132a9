// Three-stage reader: one worker reads the next block's compressed bytes, a
// second decompresses, and the owner copies finished blocks out.
// Thread contract: requests from one owner thread at a time.
#pragma once

#include <cstdint>

#include "PreIOThreadBase.h"
#include "VELD_File.h"
#include "filePosInfo.h"
#include "zlibCompressBlock.h"

class PreIOThread_Tri_R_D : public PreIOThreadBase {
public:
    PreIOThread_Tri_R_D(VELD_File* pRealFile, filePosInfo* fpPosInfo, std::uint64_t fBufSize);
    ~PreIOThread_Tri_R_D() override;

    bool initThread(bool bRead) override;
    bool startThread() override;
    bool stopThread() override;
    bool releaseThreads() override;
    std::uint64_t readBlock(void* buf, std::uint64_t reqSize, std::int64_t fpos) override;
    int readStep() override;
    virtual int decompressStep();

    class newThreadForDecompress : public CallBackObject {
    public:
        newThreadForDecompress() : CallBackObject(nullptr) {}
        ~newThreadForDecompress() override = default;
        int run(void* prtData) override;
    };

private:
    void readRaw(std::int64_t fpos);
    void decompressAt(std::int64_t fpos);

    zlibCompressBlock fCodec;
    filePosInfo* fpPosInfo;
    VELD_File* pRealFile;
    newThreadForRead* fpReadCallBack;
    newThreadForDecompress* fpDecompressCallBack;
    bool bReadEnd;
    bool bCompressEnd;
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
};
