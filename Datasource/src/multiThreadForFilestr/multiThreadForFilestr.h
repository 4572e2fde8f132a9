// Read-ahead object of the plain stream: its worker reads the next window's
// worth of the file while the caller consumes the current one.
//
// Which file: every request of a stream names the stream's own raw file
// (readBlockFrom), so copies that were opened anew on other files each read
// their own. The object holds no count on the file; a stream that lets go of
// its file calls releaseFile first, which waits for a read-ahead through it.
//
// Failures: a failed read on the caller's thread leaves that request with the
// error and hands the turn back, so the next request works normally. A failed
// read-ahead is dropped (and leaves the file's bGood alone): the request that
// wants those bytes misses and reads them on its own thread, so every request
// succeeds or fails exactly as it would with read-ahead off.
//
// Thread contract: requests from the streams sharing it, one at a time
// (serialised by semReady); the worker runs readStep.
#pragma once

#include <atomic>
#include <cstdint>

#include "PreIOThreadBase.h"
#include "VELD_File.h"

class multiThreadForFilestr : public PreIOThreadBase {
public:
    multiThreadForFilestr(VELD_File* file, std::uint64_t bufSize, bool ownThread);
    // Needed by RefCountPtr's copy-on-write; the object is never copied.
    multiThreadForFilestr(const multiThreadForFilestr&);
    multiThreadForFilestr& operator=(const multiThreadForFilestr&) = delete;
    ~multiThreadForFilestr() override;

    // Reads through the file of the last request (or the one given at construction).
    std::uint64_t readBlock(void* buf, std::uint64_t size, std::int64_t fpos) override;
    std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) override;
    int writeStep() override;
    int readStep() override;

    // A stream's refill: reads through `file` from now on; a read-ahead made
    // through another file never counts as a hit.
    std::uint64_t readBlockFrom(VELD_File* file, void* buf, std::uint64_t size, std::int64_t fpos);
    // The same for a window that is a recycled block: on a hit the read-ahead
    // block and the window change places instead of being copied.
    std::uint64_t readBlockInto(VELD_File* file, unsigned char*& window, std::uint64_t size,
                                std::int64_t fpos);
    // The caller is about to let go of `file`: waits until no read-ahead runs
    // through it and forgets it.
    void releaseFile(VELD_File* file);
    // Bytes were written to a file this object reads; a read-ahead started
    // before this call is not served. Safe from any thread.
    void noteWrite() { fWriteEpoch.fetch_add(1, std::memory_order_acq_rel); }

private:
    std::uint64_t serve(VELD_File* file, void* buf, std::uint64_t size, std::int64_t fpos,
                        unsigned char** swapWith);

    sfSemaphore semReady;
    sfSemaphore semWork;
    VELD_File* pRealFile;
    std::int64_t fpNextPos;
    std::int64_t fpReadyPos;
    unsigned char* fReadyBuf;
    std::uint64_t fBufSize;
    std::int64_t fReadyCount;
    // Set by the stop request without the turn; the worker may look at it
    // while a read-ahead is still posted, so it is atomic.
    std::atomic<bool> bStop;
    bool bOwnThread;
    // Writes seen so far, and how many had been seen when the read-ahead in
    // fReadyBuf was posted.
    std::atomic<std::uint64_t> fWriteEpoch{0};
    std::uint64_t fAheadEpoch = 0;
};
