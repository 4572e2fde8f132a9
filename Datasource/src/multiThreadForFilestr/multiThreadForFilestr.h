// Read-ahead object of the plain stream: its worker reads the next window's
// worth of the file while the caller consumes the current one.
// Thread contract: requests from the streams sharing it, one at a time.
#pragma once

#include <cstdint>

#include "PreIOThreadBase.h"
#include "VELD_File.h"

class multiThreadForFilestr : public PreIOThreadBase {
public:
    multiThreadForFilestr(VELD_File* file, std::uint64_t bufSize, bool ownThread);
    ~multiThreadForFilestr() override;

    std::uint64_t readBlock(void* buf, std::uint64_t size, std::int64_t fpos) override;
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;

    // The raw file the stream holds now; called when the stream opens anew,
    // so that the worker never reads through a file that is gone.
    void setFile(VELD_File* file);

private:
    sfSemaphore semReady;
    sfSemaphore semWork;
    VELD_File* pRealFile;
    std::int64_t fpNextPos;
    std::int64_t fpReadyPos;
    unsigned char* fReadyBuf;
    std::uint64_t fBufSize;
    std::int64_t fReadyCount;
    bool bStop;
    bool bOwnThread;
};
