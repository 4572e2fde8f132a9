// The threading library: mutex, scoped guard, counting semaphore, task object
// and a small thread pool, on the C++ standard library.
// Thread contract: every class here is safe for concurrent use.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "veld_api.h"

enum LockType { sfLockShared = 0, sfLockRecursive = 1 };
typedef int ErrorCode;

// Lock type 1 admits a thread that already holds the mutex.
class VELD_API sfMutex {
public:
    sfMutex() = default;
    sfMutex(const sfMutex&) = delete;
    sfMutex& operator=(const sfMutex&) = delete;

    ErrorCode lock(LockType /*type*/ = sfLockRecursive, const char* /*text*/ = nullptr,
                   unsigned long /*timeout*/ = 0) {
        fMutex.lock();
        return 0;
    }
    ErrorCode unlock(const char* /*text*/ = nullptr, unsigned long /*timeout*/ = 0) {
        fMutex.unlock();
        return 0;
    }

private:
    std::recursive_mutex fMutex;
};

class sfGuard {
public:
    sfGuard(sfMutex& mutex, LockType type) : fMutex(mutex) { fMutex.lock(type, nullptr, 0); }
    ~sfGuard() { fMutex.unlock(nullptr, 0); }
    sfGuard(const sfGuard&) = delete;
    sfGuard& operator=(const sfGuard&) = delete;

private:
    sfMutex& fMutex;
};

class sfSemaphore {
public:
    explicit sfSemaphore(unsigned initial = 0) : fCount(initial) {}
    virtual ~sfSemaphore() = default;
    sfSemaphore(const sfSemaphore&) = delete;
    sfSemaphore& operator=(const sfSemaphore&) = delete;

    virtual bool postSemaphore() {
        {
            std::lock_guard<std::mutex> g(fLock);
            ++fCount;
        }
        fCond.notify_one();
        return true;
    }
    virtual bool waitSemaphore() {
        std::unique_lock<std::mutex> g(fLock);
        fCond.wait(g, [this] { return fCount > 0; });
        --fCount;
        return true;
    }
    virtual bool tryWaitSemaphore() {
        std::lock_guard<std::mutex> g(fLock);
        if (fCount == 0) return false;
        --fCount;
        return true;
    }
    // Waits on the semaphore with the mutex released meanwhile.
    virtual bool sleepSemaphore(sfMutex& mutex) {
        mutex.unlock();
        waitSemaphore();
        mutex.lock();
        return true;
    }

private:
    std::mutex fLock;
    std::condition_variable fCond;
    unsigned fCount;
};

class msgBaseData {
public:
    explicit msgBaseData(void* data = nullptr) : fMsgData(data) {}
    virtual ~msgBaseData() = default;
    virtual void* getMsgData() { return fMsgData; }
    virtual void setMsgData(void* data) { fMsgData = data; }

private:
    void* fMsgData;
};

// A task for the pool. The pool owns a dispatched task and deletes it when run returns.
class CallBackObject : public msgBaseData {
public:
    explicit CallBackObject(void* data) : msgBaseData(data), fCallbackData(nullptr) {}
    virtual void setCallbackData(void* data) { fCallbackData = data; }
    virtual void* getCallbackData() { return fCallbackData; }
    virtual int run(void* data) = 0;

private:
    void* fCallbackData;
};

class sfThreadPoolBase {
public:
    virtual ~sfThreadPoolBase() = default;
    virtual bool dispatch(CallBackObject* task, void* data, int priority) = 0;
    virtual bool init() = 0;
    virtual bool startAll() = 0;
    // Returns once every pool thread has finished; tasks must already be ending.
    virtual bool stopAll() = 0;
};

class sfThreadPool : public sfThreadPoolBase {
public:
    sfThreadPool(int threads, int /*unused*/);
    ~sfThreadPool() override;

    bool dispatch(CallBackObject* task, void* data, int priority) override;
    bool init() override;
    bool startAll() override;
    bool stopAll() override;

private:
    struct Job {
        CallBackObject* task;
        void* data;
    };
    void workerLoop();

    int fThreadCount;
    std::mutex fLock;
    std::condition_variable fCond;
    std::deque<Job> fJobs;
    std::vector<std::thread> fThreads;
    bool fStopping = false;
};
