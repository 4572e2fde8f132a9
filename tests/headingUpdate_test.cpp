// The heading rewrite of a safe append, checked against the reader's rules
// for every row-0 position modulo 512 and for table offsets near the lines
// (256 bytes to 2^56) where a sector boundary inside the offset field matters,
// far beyond what a test can write to disk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compressedLayout.h"
#include "headingUpdate.h"

namespace {

using veld::heading::HeadingWrite;

struct Heading {
    unsigned char bytes[24];
};

Heading encode(std::int64_t P, std::int64_t offset, std::int64_t size) {
    Heading h;
    veld::layout::encodeHeading(compressionHeading{P, offset, size}, h.bytes);
    return h;
}

// What a reader accepts: the row-0 field names P, and the offset and length
// reach a whole table (old or new) inside the file; a longer length is fine.
bool reaches(const Heading& h, std::int64_t P, std::int64_t oldPos, std::int64_t oldSize, std::int64_t newPos,
             std::int64_t newSize, std::int64_t fileSize) {
    const compressionHeading c = veld::layout::decodeHeading(h.bytes, false);
    if (c._caseStartPos != P || c._size < 0 || c._infoPos < 0 || c._infoPos + c._size > fileSize) return false;
    return (c._infoPos == oldPos && c._size >= oldSize) || (c._infoPos == newPos && c._size >= newSize);
}

struct Case {
    std::int64_t P, oldPos, oldSize, newBytes, newSize;
};

// Places the table, plans the writes and checks every state the disk may
// hold between them: each write lies in one sector, so it lands whole or not.
std::string check(const Case& c) {
    const std::int64_t shadowStart = c.oldPos + c.oldSize;
    const std::int64_t end = shadowStart + c.newBytes;
    const veld::heading::TablePlace place = veld::heading::placeTable(c.P, c.oldPos, shadowStart, end);
    if (place.tablePos < shadowStart) return "table over what the old heading reaches";
    if (!place.movePayloads && place.tablePos < end) return "table over the new payloads";
    // A gap of more than 64 KiB before the table only where nothing in the old
    // table's range of high offset bytes is free to take it.
    const int low = veld::heading::offsetBytesBeforeBoundary(c.P);
    if (!place.movePayloads && place.tablePos - end >= 65536 &&
        (shadowStart >> (8 * low)) == (c.oldPos >> (8 * low)))
        return "a gap of " + std::to_string(place.tablePos - end) + " bytes before the table";
    const std::int64_t fileSize = std::max(end, place.tablePos + c.newSize);
    const Heading before = encode(c.P, c.oldPos, c.oldSize);
    const Heading after = encode(c.P, place.tablePos, c.newSize);
    Heading now = before;
    for (const HeadingWrite& w : veld::heading::stepsBetween(c.P, before.bytes, after.bytes)) {
        const std::int64_t first = c.P + static_cast<std::int64_t>(w.from);
        if (first / 512 != (first + static_cast<std::int64_t>(w.count) - 1) / 512) return "a write spans two sectors";
        std::memcpy(now.bytes + w.from, after.bytes + w.from, w.count);
        if (!reaches(now, c.P, c.oldPos, c.oldSize, place.tablePos, c.newSize, fileSize))
            return "a state between the writes reaches no whole table";
    }
    if (std::memcmp(now.bytes, after.bytes, 24) != 0) return "the writes do not make the new heading";
    return "";
}

}  // namespace

TEST(HeadingUpdate, EveryStateBetweenTheWritesReachesAWholeTable) {
    std::size_t cases = 0, moved = 0;
    for (std::int64_t P = 1; P <= 2048; ++P) {
        // Old tables right below and right across each line the offset field
        // can be cut at, and new data that crosses it by a little or a lot.
        for (int low = 1; low <= 7; ++low) {
            const std::int64_t line = std::int64_t{1} << (8 * low);
            for (const std::int64_t oldPos : {P + 24, line - 200, line - 30, line - 24, line + 5}) {
                if (oldPos < P + 24) continue;
                for (const std::int64_t oldSize : {24, 48, 24 * 300}) {
                    for (const std::int64_t newBytes : {0, 100, 5000, 70000, 20000000}) {
                        for (const std::int64_t extraRecords : {0, 1, 11, 3000}) {
                            const Case c{P, oldPos, oldSize, newBytes, oldSize + 24 * extraRecords};
                            const std::string why = check(c);
                            ASSERT_EQ(why, "") << "P " << P << ", table " << oldSize << " bytes at " << oldPos
                                               << ", " << newBytes << " new payload bytes, new table "
                                               << c.newSize;
                            moved += veld::heading::placeTable(P, oldPos, oldPos + oldSize,
                                                               oldPos + oldSize + newBytes)
                                         .movePayloads;
                            ++cases;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(moved, 0u);
    std::printf("%zu cases, %zu with payloads moved\n", cases, moved);
}

// Without the placement, a heading whose offset field is cut by the boundary
// and has to change on both sides cannot be updated safely in any order.
TEST(HeadingUpdate, TheCheckSeesATornOffset) {
    const std::int64_t P = 500;  // offset bytes 508..515: four on each side of 512
    const Heading before = encode(P, 0xFFFFFF00, 48);
    const Heading after = encode(P, 0x100000100, 72);
    const std::int64_t fileSize = 0x100000100 + 72;
    Heading lowOnly = before;
    std::memcpy(lowOnly.bytes + 8, after.bytes + 8, 4);
    Heading highOnly = before;
    std::memcpy(highOnly.bytes + 12, after.bytes + 12, 12);
    EXPECT_FALSE(reaches(lowOnly, P, 0xFFFFFF00, 48, 0x100000100, 72, fileSize));
    EXPECT_FALSE(reaches(highOnly, P, 0xFFFFFF00, 48, 0x100000100, 72, fileSize));
    // placeTable avoids it: the new table starts where only the low bytes differ.
    const veld::heading::TablePlace place = veld::heading::placeTable(P, 0xFFFFFF00, 0xFFFFFF00 + 48, 0x100000000);
    EXPECT_TRUE(place.movePayloads);
    EXPECT_EQ(place.tablePos, 0xFFFFFF00 + 48);
}

TEST(HeadingUpdate, OnlyChangedBytesAreWritten) {
    const std::int64_t P = 1000;  // the heading in one sector
    const Heading before = encode(P, 5000, 48);
    const Heading after = encode(P, 5300, 72);
    const auto steps = veld::heading::stepsBetween(P, before.bytes, after.bytes);
    ASSERT_EQ(steps.size(), 1u);
    // 5000 -> 5300 changes offset bytes 0 and 1, 48 -> 72 the length's byte 0.
    EXPECT_EQ(steps[0].from, 8u);
    EXPECT_EQ(steps[0].count, 9u);
    EXPECT_TRUE(veld::heading::stepsBetween(P, before.bytes, before.bytes).empty());
    EXPECT_EQ(veld::heading::offsetBytesBeforeBoundary(500), 4);
    EXPECT_EQ(veld::heading::offsetBytesBeforeBoundary(504), 0);
    EXPECT_EQ(veld::heading::offsetBytesBeforeBoundary(503), 1);
    EXPECT_EQ(veld::heading::offsetBytesBeforeBoundary(497), 7);
}
