#include "large_memory.h"

#include <cstdint>
#include <new>

// AddressSanitizer sees overruns of heap memory only.
#if defined(__SANITIZE_ADDRESS__)
#define VELD_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELD_ADDRESS_SANITIZER 1
#endif
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

void* allocateLarge(std::size_t size) {
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

void freeLarge(void* memory, std::size_t size) noexcept {
    if (!memory) return;
    if (!mapped(size)) {
        ::operator delete(memory);
        return;
    }
    ::munmap(memory, roundUp(size, kHugePage));
}

#else

void* allocateLarge(std::size_t size) { return ::operator new(size); }

void freeLarge(void* memory, std::size_t) noexcept { ::operator delete(memory); }

#endif

}  // namespace veld::platform
