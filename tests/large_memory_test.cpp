// The streams' megabyte buffers: usable to the last byte at every size, on a
// huge-page boundary where huge pages are asked for, and a failure is bad_alloc.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "large_memory.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELD_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELD_TEST_ASAN 1
#endif
#endif
#ifdef VELD_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool addressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

}  // namespace

TEST(LargeMemory, EverySizeHoldsItsBytesAndBigOnesStartOnAHugePage) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{1} << 20, kHugePage - 1, kHugePage,
                                   std::size_t{4190208 + 128}, std::size_t{9} << 20}) {
        SCOPED_TRACE(size);
        veld::LargeBuffer a(size), b(size);
        ASSERT_NE(a.get(), nullptr);
        EXPECT_EQ(a.size(), size);
        std::memset(a.get(), 0xA5, size);
        std::memset(b.get(), 0x5A, size);
        EXPECT_EQ(a.get()[0], 0xA5);
        EXPECT_EQ(a.get()[size - 1], 0xA5);
        EXPECT_EQ(b.get()[size - 1], 0x5A);
#ifdef __linux__
        if (size >= kHugePage && !addressSanitizer())
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.get()) % kHugePage, 0u);
#endif
    }
}

TEST(LargeMemory, MovedBufferKeepsItsBytesAndTheSourceIsEmpty) {
    veld::LargeBuffer a(kHugePage + 10);
    a.get()[kHugePage + 9] = 7;
    unsigned char* const bytes = a.get();
    veld::LargeBuffer b(std::move(a));
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(b.get(), bytes);
    EXPECT_EQ(b.get()[kHugePage + 9], 7);
    veld::LargeBuffer c(100);
    c = std::move(b);  // c's own memory is given back
    EXPECT_EQ(c.get(), bytes);
    EXPECT_EQ(c.size(), kHugePage + 10);
    veld::platform::freeLarge(nullptr, kHugePage);
}

TEST(LargeMemory, MemoryTheSystemCannotGiveIsBadAlloc) {
    // The sanitizer's allocator reports such a request as an error of its own.
    if (addressSanitizer()) GTEST_SKIP() << "AddressSanitizer refuses the request itself";
    EXPECT_THROW(veld::LargeBuffer(std::size_t{1} << 46), std::bad_alloc);
}

// Kept buffers come back for their own size only, and a kept one is not
// usable memory: under AddressSanitizer touching its ends is reported.
TEST(LargeMemory, KeptBuffersComeBackForTheirSize) {
    using veld::platform::allocateLarge;
    using veld::platform::freeLarge;
    const std::size_t three = 3 << 20, five = 5 << 20;
    veld::platform::keepFreedLargeBuffers(2);
    void* a = allocateLarge(three);
    std::memset(a, 0x5a, three);
    freeLarge(a, three);
#ifdef VELD_TEST_ASAN
    EXPECT_TRUE(__asan_address_is_poisoned(a));
    EXPECT_TRUE(__asan_address_is_poisoned(static_cast<char*>(a) + three - 1));
#endif
    void* other = allocateLarge(five);
    EXPECT_NE(other, a) << "another size is not served from a kept buffer";
    void* again = allocateLarge(three);
    EXPECT_EQ(again, a);
    std::memset(again, 1, three);  // usable again to its last byte
    void* fresh = allocateLarge(three);
    EXPECT_NE(fresh, a) << "a kept buffer is handed out once";
    freeLarge(again, three);
    freeLarge(fresh, three);
    freeLarge(other, five);  // beyond the two kept: freed at once
    void* first = allocateLarge(three);
    void* second = allocateLarge(three);
    EXPECT_TRUE((first == again && second == fresh) || (first == fresh && second == again));
    freeLarge(first, three);
    freeLarge(second, three);
    veld::platform::keepFreedLargeBuffers(0);  // gives the kept ones back
    void* last = allocateLarge(three);
    std::memset(last, 2, three);
    freeLarge(last, three);
}
