#include "BlockRecycler.h"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "large_memory.h"

namespace veld {

namespace {

#if defined(__SANITIZE_ADDRESS__)
// Every block is really freed, so that the sanitizer sees any use after it.
constexpr std::size_t kKeptBlocks = 0;
#else
// A stream with read-ahead holds two blocks; keep enough for a couple of those.
constexpr std::size_t kKeptBlocks = 4;
#endif

// Set once the cache is destroyed at unload; blocks given back later are freed.
std::atomic<bool> gCacheGone{false};

struct BlockCache {
    std::mutex lock;
    std::vector<void*> blocks;

    BlockCache() { blocks.reserve(kKeptBlocks); }
    ~BlockCache() {
        gCacheGone.store(true);
        for (void* b : blocks) platform::freeLarge(b, kRecycledBlockSize);
    }
};

BlockCache& cache() {
    static BlockCache instance;
    return instance;
}

}  // namespace

void* takeBlock(std::size_t size) {
    if (size > kRecycledBlockSize) return platform::allocateLarge(size);
    if (!gCacheGone.load()) {
        BlockCache& c = cache();
        std::lock_guard<std::mutex> g(c.lock);
        if (!c.blocks.empty()) {
            void* b = c.blocks.back();
            c.blocks.pop_back();
            return b;
        }
    }
    return platform::allocateLarge(kRecycledBlockSize);
}

void giveBackBlock(void* block, std::size_t size) noexcept {
    if (!block) return;
    if (size <= kRecycledBlockSize && !gCacheGone.load()) {
        BlockCache& c = cache();
        std::lock_guard<std::mutex> g(c.lock);
        if (c.blocks.size() < kKeptBlocks) {
            c.blocks.push_back(block);
            return;
        }
    }
    platform::freeLarge(block, size <= kRecycledBlockSize ? kRecycledBlockSize : size);
}

}  // namespace veld
