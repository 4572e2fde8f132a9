// Evicting bytes from the caches keeps them (the lines are written back),
// whatever the alignment and length.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "cpu_state.h"

TEST(CpuState, EvictedBytesReadBackUnchanged) {
    std::vector<unsigned char> bytes(4190208 + 200);
    std::iota(bytes.begin(), bytes.end(), static_cast<unsigned char>(3));
    const std::vector<unsigned char> copy = bytes;
    for (const std::size_t start : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{100}})
        for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{64}, std::size_t{65}, std::size_t{4190208}}) {
            veld::platform::evictFromCaches(bytes.data() + start, size);
            ASSERT_EQ(bytes, copy) << start << " " << size;
        }
}
