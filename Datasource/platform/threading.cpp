#include "threading.h"

#include <memory>

sfThreadPool::sfThreadPool(int threads, int) : fThreadCount(threads > 0 ? threads : 1) {}

sfThreadPool::~sfThreadPool() {
    stopAll();
    // Tasks never started are still ours.
    for (auto& job : fJobs) delete job.task;
}

bool sfThreadPool::init() { return true; }

bool sfThreadPool::startAll() {
    std::lock_guard<std::mutex> g(fLock);
    if (!fThreads.empty()) return true;
    fStopping = false;
    for (int i = 0; i < fThreadCount; ++i) fThreads.emplace_back([this] { workerLoop(); });
    return true;
}

bool sfThreadPool::dispatch(CallBackObject* task, void* data, int) {
    if (!task) return false;
    {
        std::lock_guard<std::mutex> g(fLock);
        fJobs.push_back(Job{task, data});
    }
    fCond.notify_one();
    return true;
}

bool sfThreadPool::stopAll() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> g(fLock);
        fStopping = true;
        threads.swap(fThreads);
    }
    fCond.notify_all();
    for (auto& t : threads)
        if (t.joinable()) t.join();
    return true;
}

void sfThreadPool::workerLoop() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> g(fLock);
            fCond.wait(g, [this] { return fStopping || !fJobs.empty(); });
            if (fJobs.empty()) return;
            job = fJobs.front();
            fJobs.pop_front();
        }
        std::unique_ptr<CallBackObject> owned(job.task);
        try {
            owned->run(job.data);
        } catch (...) {
            // Task objects keep their own failures; nothing may escape a pool thread.
        }
    }
}
