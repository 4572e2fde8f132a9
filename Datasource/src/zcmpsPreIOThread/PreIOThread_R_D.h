// Read-and-decompress thread: hands back one whole uncompressed block per
// request while its worker reads and decompresses the following block.
// Fetching ahead is speculative: when it fails (damage or the disk), the
// request for that block fetches it again on the owner's thread, which raises
// whatever is still wrong (veld::CheckFailure naming a damaged block,
// veld::DataSourceError from the disk); no later request is affected. No
// request waits for a prefetch that was never started.
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

class PreIOThread_R_D : public PreIOThreadBase {
public:
    PreIOThread_R_D(VELD_File* pRealFile, filePosInfo* fpPosInfo, std::uint64_t fBufSize);
    ~PreIOThread_R_D() override;

    std::uint64_t readBlock(void* buf, std::uint64_t reqSize, std::int64_t fpos) override;
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;

private:
    // Reads and decompresses the block starting at fpos into dest (destRoom bytes).
    std::uint64_t fetchBlock(unsigned char* dest, std::uint64_t destRoom, std::int64_t fpos,
                             veld::blockio::Fetch who);

    sfSemaphore semReady;
    sfSemaphore semWork;
    VELD_File* pRealFile;
    std::unique_ptr<veld::BlockCodec> fCodec;
    filePosInfo* fpPosInfo;
    std::int64_t fpNextPos;
    std::int64_t fpReadyPos;
    unsigned char* fReadyBuf;
    unsigned char* fCompBuf;
    std::uint64_t fBufSize;
    std::uint64_t stCurSize;
    sfMutex fMutex;
    std::atomic<bool> bStop;
    std::uint64_t fCompRoom;            // bytes of fCompBuf: the worst-case payload of a block
    bool bHoldReady;                    // owner's thread only: no prefetch is in flight
};
