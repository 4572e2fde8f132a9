// The streams' megabyte buffers: usable to the last byte at every size, on a
// huge-page boundary where huge pages are asked for, and a failure is bad_alloc.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "large_memory.h"

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
