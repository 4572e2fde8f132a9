// Read-and-decompress thread: hands back one whole uncompressed block per
// request while its worker reads and decompresses the following block.
// Thread contract: requests from one owner thread at a time.
#pragma once

#include <cstdint>

#include "PreIOThreadBase.h"
#include "VELD_File.h"
#include "filePosInfo.h"
#include "zlibCompressBlock.h"

class PreIOThread_R_D : public PreIOThreadBase {
public:
    PreIOThread_R_D(VELD_File* pRealFile, filePosInfo* fpPosInfo, std::uint64_t fBufSize);
    ~PreIOThread_R_D() override;

    std::uint64_t readBlock(void* buf, std::uint64_t reqSize, std::int64_t fpos) override;
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;

private:
    std::uint64_t fetchBlock(unsigned char* dest, std::int64_t fpos);

    sfSemaphore semReady;
    sfSemaphore semWork;
    VELD_File* pRealFile;
    zlibCompressBlock fCodec;
    filePosInfo* fpPosInfo;
    std::int64_t fpNextPos;
    std::int64_t fpReadyPos;
    unsigned char* fReadyBuf;
    unsigned char* fCompBuf;
    std::uint64_t fBufSize;
    std::uint64_t stCurSize;
    sfMutex fMutex;
    bool bStop;
};
