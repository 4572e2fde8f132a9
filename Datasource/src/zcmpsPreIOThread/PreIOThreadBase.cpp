#include "PreIOThreadBase.h"

#include "check.h"

PreIOThreadBase::PreIOThreadBase() : fpThreadPool(nullptr), fpCallBack(nullptr), bIsWriter(false) {}

PreIOThreadBase::~PreIOThreadBase() = default;

bool PreIOThreadBase::initThread(bool bRead) {
    bIsWriter = !bRead;
    if (bRead)
        fpCallBack = new newThreadForRead();
    else
        fpCallBack = new newThreadForWrite();
    fpThreadPool = new sfThreadPool(1, 0);
    fpThreadPool->init();
    return true;
}

bool PreIOThreadBase::startThread() {
    try {
        fpThreadPool->startAll();
    } catch (...) {
        // No thread could be started: the task was never handed over.
        delete fpCallBack;
        fpCallBack = nullptr;
        throw;
    }
    // The pool owns the task from here and deletes it when its loop ends.
    fpThreadPool->dispatch(fpCallBack, this, 1);
    return true;
}

bool PreIOThreadBase::isThreadRunning() { return true; }

bool PreIOThreadBase::stopThread() {
    if (!bIsWriter) readBlock(nullptr, 0, 0);
    if (fpThreadPool) fpThreadPool->stopAll();
    return true;
}

bool PreIOThreadBase::releaseThreads() {
    delete fpThreadPool;
    fpThreadPool = nullptr;
    return true;
}

void PreIOThreadBase::keepWorkerFailure(std::exception_ptr failure) {
    std::lock_guard<std::mutex> g(fFailureLock);
    if (!fWorkerFailure) fWorkerFailure = failure;
    bWorkerFailed.store(true, std::memory_order_release);
}

void PreIOThreadBase::raiseWorkerFailure() const {
    if (!workerFailed()) return;
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> g(fFailureLock);
        failure = fWorkerFailure;
    }
    if (failure) std::rethrow_exception(failure);
}

int PreIOThreadBase::runSteps(void* prtData, int (PreIOThreadBase::*step)()) {
    VELD_CHECK(prtData!=0);
    auto* pParent = static_cast<PreIOThreadBase*>(prtData);
    VELD_CHECK(pParent!=0);
    try {
        while ((pParent->*step)() == 0) {
        }
    } catch (...) {
        // Steps keep their own failures; this is the last line of defence.
        pParent->keepWorkerFailure(std::current_exception());
    }
    return 0;
}

int PreIOThreadBase::newThreadForRead::run(void* prtData) {
    return runSteps(prtData, &PreIOThreadBase::readStep);
}

int PreIOThreadBase::newThreadForWrite::run(void* prtData) {
    return runSteps(prtData, &PreIOThreadBase::writeStep);
}
