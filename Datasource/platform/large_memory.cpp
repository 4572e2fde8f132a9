#include "large_memory.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

// AddressSanitizer sees overruns of heap memory only.
#if defined(__SANITIZE_ADDRESS__)
#define VELD_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELD_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef VELD_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
namespace {
// Both ends of a kept buffer, where a stale pointer into it most likely
// points: poisoning all of it would cost a pass over its shadow each time.
constexpr std::size_t kPoisonedEnd = 64 << 10;
void poisonEnds(void* p, std::size_t n, bool poison) {
    auto* bytes = static_cast<char*>(p);
    const std::size_t end = n < 2 * kPoisonedEnd ? n : kPoisonedEnd;
    auto apply = [&](char* from, std::size_t count) {
        if (poison)
            ASAN_POISON_MEMORY_REGION(from, count);
        else
            ASAN_UNPOISON_MEMORY_REGION(from, count);
    };
    apply(bytes, end);
    if (end < n) apply(bytes + n - end, end);
}
}  // namespace
#define VELD_POISON(p, n) poisonEnds(p, n, true)
#define VELD_UNPOISON(p, n) poisonEnds(p, n, false)
#else
#define VELD_POISON(p, n) ((void)(p), (void)(n))
#define VELD_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
#if defined(__linux__) && !defined(VELD_ADDRESS_SANITIZER)
#define VELD_HUGE_PAGES 1
#include <sys/mman.h>
#endif

namespace veld::platform {

#ifdef VELD_HUGE_PAGES

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Below one huge page the hint cannot help; the heap serves those.
bool mapped(std::size_t size) { return size >= kHugePage; }

std::size_t roundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

static void* allocateFresh(std::size_t size) {
    if (!mapped(size)) return ::operator new(size);
    const std::size_t length = roundUp(size, kHugePage);
    // Mapped with a huge page of room, so that the buffer can start on a huge-page boundary.
    void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = roundUp(start, kHugePage);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t end = start + length + kHugePage;
    if (end > aligned + length) ::munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    // Only a hint: a kernel without transparent huge pages gives small ones.
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

static void freeNow(void* memory, std::size_t size) noexcept {
    if (!mapped(size)) {
        ::operator delete(memory);
        return;
    }
    ::munmap(memory, roundUp(size, kHugePage));
}

#else

static void* allocateFresh(std::size_t size) { return ::operator new(size); }

static void freeNow(void* memory, std::size_t) noexcept { ::operator delete(memory); }

#endif


namespace {

struct Kept {
    void* memory;
    std::size_t size;
};

struct KeptBuffers {
    std::mutex lock;
    std::vector<Kept> buffers;
    std::size_t limit = 0;
};

std::atomic<bool> gKeeping{false};

// Never destroyed: buffers given back during exit still find it, and the kept
// ones stay reachable for the leak checker.
KeptBuffers& kept() {
    static KeptBuffers* instance = new KeptBuffers;
    return *instance;
}

}  // namespace

void* allocateLarge(std::size_t size) {
    if (gKeeping.load(std::memory_order_relaxed)) {
        KeptBuffers& k = kept();
        std::lock_guard<std::mutex> g(k.lock);
        for (std::size_t i = 0; i < k.buffers.size(); ++i) {
            if (k.buffers[i].size != size) continue;
            void* memory = k.buffers[i].memory;
            k.buffers.erase(k.buffers.begin() + static_cast<std::ptrdiff_t>(i));
            VELD_UNPOISON(memory, size);
            return memory;
        }
    }
    return allocateFresh(size);
}

void freeLarge(void* memory, std::size_t size) noexcept {
    if (!memory) return;
    if (gKeeping.load(std::memory_order_relaxed)) {
        KeptBuffers& k = kept();
        std::lock_guard<std::mutex> g(k.lock);
        if (k.buffers.size() < k.limit) {
            VELD_POISON(memory, size);
            k.buffers.push_back(Kept{memory, size});
            return;
        }
    }
    freeNow(memory, size);
}

void keepFreedLargeBuffers(std::size_t count) {
    KeptBuffers& k = kept();
    std::vector<Kept> drop;
    {
        std::lock_guard<std::mutex> g(k.lock);
        k.limit = count;
        k.buffers.reserve(count);
        while (k.buffers.size() > count) {
            drop.push_back(k.buffers.back());
            k.buffers.pop_back();
        }
        gKeeping.store(count > 0);
    }
    for (const Kept& b : drop) {
        VELD_UNPOISON(b.memory, b.size);
        freeNow(b.memory, b.size);
    }
}

}  // namespace veld::platform
