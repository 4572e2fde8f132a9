#include "cpu_state.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace veld::platform {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

namespace {
__attribute__((target("avx"))) void zeroUpperHalves() { _mm256_zeroupper(); }
}  // namespace

void clearVectorState() noexcept {
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx) zeroUpperHalves();
}

#else

void clearVectorState() noexcept {}

#endif

void evictFromCaches(const void* memory, std::size_t size) noexcept {
#if defined(__x86_64__) || defined(_M_X64)
    constexpr std::size_t kLine = 64;
    const auto* bytes = static_cast<const char*>(memory);
    for (std::size_t at = 0; at < size; at += kLine) _mm_clflush(bytes + at);
    if (size) _mm_clflush(bytes + size - 1);
#else
    (void)memory;
    (void)size;
#endif
}

}  // namespace veld::platform
