#include "threading.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

TEST(Threading, MutexAdmitsItsHolderAgainAndExcludesOthers) {
    sfMutex m;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            sfGuard outer(m, sfLockRecursive);
            sfGuard inner(m, sfLockRecursive);
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

struct Seen {
    std::atomic<int> finished{0}, destroyed{0};
    sfSemaphore started{0};
};

struct Task : CallBackObject {
    Task(Seen& seen, bool fails) : CallBackObject(nullptr), seen(seen), fails(fails) {}
    ~Task() override { ++seen.destroyed; }
    int run(void*) override {
        seen.started.postSemaphore();
        if (fails) throw std::runtime_error("task failed");
        // Still busy when the owner asks the pool to stop.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ++seen.finished;
        return 0;
    }
    Seen& seen;
    bool fails;
};

TEST(Threading, PoolStopsAfterItsTasksAndDeletesThem) {
    Seen seen;
    sfThreadPoolBase* pool = new sfThreadPool(2, 0);
    ASSERT_TRUE(pool->init());
    ASSERT_TRUE(pool->startAll());
    for (bool fails : {true, false, false}) pool->dispatch(new Task(seen, fails), nullptr, 1);  // a failure must not end the pool
    for (int i = 0; i < 3; ++i) seen.started.waitSemaphore();  // the semaphore counts the three posts
    pool->stopAll();
    EXPECT_EQ(seen.finished.load(), 2);
    EXPECT_EQ(seen.destroyed.load(), 3);
    delete pool;
}

}  // namespace
