#include "compressedLayout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace veld::layout;

namespace {
bool same(const blockInfo& a, const blockInfo& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

TEST(compressedLayout, RecordsAreLittleEndianFieldsAt0_8_16_20) {
    // Block 1 of a file with P = 1000 whose first payload is 1,200,000 bytes.
    const blockInfo block1{4191208, 1201024, 809792, 300000};
    unsigned char bytes[kRecordSize + 1];
    encodeRecord(block1, bytes + 1);  // decoding must not care about alignment
    const unsigned char expect[kRecordSize] = {0xE8, 0xF3, 0x3F, 0, 0, 0, 0, 0, 0x80, 0x53, 0x12, 0,
                                               0,    0,    0,    0, 0x40, 0x5B, 0x0C, 0, 0xE0, 0x93,
                                               0x04, 0};
    EXPECT_TRUE(std::equal(expect, expect + kRecordSize, bytes + 1));
    EXPECT_TRUE(same(decodeRecord(bytes + 1, false), block1));

    // The other byte order reverses each field by itself: 8, 8, 4 and 4 bytes.
    unsigned char swapped[kRecordSize];
    for (int f : {0, 8}) std::reverse_copy(bytes + 1 + f, bytes + 1 + f + 8, swapped + f);
    for (int f : {16, 20}) std::reverse_copy(bytes + 1 + f, bytes + 1 + f + 4, swapped + f);
    EXPECT_TRUE(same(decodeRecord(swapped, true), block1));
}
