// Base of every object that does a stream's disk and codec work on a worker
// thread. Owners drive it as: construct, initThread, startThread, requests,
// (writer) end mark, stopThread, releaseThreads, delete.
// A failure on the worker is kept and raised again on the owner's thread at
// its next request or at stop; no owner waits for a worker that has ended.
// Thread contract: requests from one owner thread at a time; the worker runs the steps.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>

#include "VELD_RefCntObject.h"
#include "threading.h"

class PreIOThreadBase : public VELD_RefCntObject {
public:
    PreIOThreadBase();
    ~PreIOThreadBase() override;

    virtual bool initThread(bool bRead);
    virtual bool startThread();
    virtual bool isThreadRunning();
    virtual bool stopThread();
    virtual bool releaseThreads();
    virtual std::uint64_t readBlock(void* buf, std::uint64_t size, std::int64_t fpos) = 0;
    virtual std::uint64_t writeBlock(const void* buf, std::uint64_t size, std::int64_t fpos) = 0;
    virtual int writeStep() = 0;
    virtual int readStep() = 0;

    class newThreadForRead : public CallBackObject {
    public:
        newThreadForRead() : CallBackObject(nullptr) {}
        ~newThreadForRead() override = default;
        int run(void* prtData) override;
    };

    class newThreadForWrite : public CallBackObject {
    public:
        newThreadForWrite() : CallBackObject(nullptr) {}
        ~newThreadForWrite() override = default;
        int run(void* prtData) override;
    };

    // True once a worker step has failed; the failure is kept until raised.
    bool workerFailed() const { return bWorkerFailed.load(std::memory_order_acquire); }

protected:
    // Called on the worker with the exception in flight.
    void keepWorkerFailure(std::exception_ptr failure);
    // Runs one worker's steps until one answers non-zero; a failure that
    // escapes a step is kept. Every task object's run is this loop.
    static int runSteps(void* prtData, int (PreIOThreadBase::*step)());
    // Raises the kept failure on the owner's thread, if there is one. It stays
    // kept, so every later request fails the same way instead of waiting.
    void raiseWorkerFailure() const;

    sfThreadPool* fpThreadPool;
    CallBackObject* fpCallBack;
    bool bIsWriter;

private:
    mutable std::mutex fFailureLock;
    std::exception_ptr fWorkerFailure;
    std::atomic<bool> bWorkerFailed{false};
};
