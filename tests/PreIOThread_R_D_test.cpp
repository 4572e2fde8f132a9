#include "PreIOThread_R_D.h"

#include <gtest/gtest.h>

#include "CompressedFiles.h"
#include "check.h"

using veld::layout::kBlockSize;
using namespace veldtest;
using veld::crt::CrtSeam;

TEST(PreIOThread_R_D, InOrderEachPayloadIsReadOnceThenAnyOrderWithoutHanging) {
    expectInOrderThenAnyOrder<PreIOThread_R_D>();
}

TEST(PreIOThread_R_D, ASkipDropsThePrefetchedBlock) {
    ReadSource s = smallBlocks();
    CrtSeam seam;
    auto r = startReader<PreIOThread_R_D>(s);
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 2);
    s.expectBlock(*r, 3);
    r->stopThread();
    EXPECT_EQ(s.payloadReads(seam, 1), 1u);  // prefetched, then dropped
    EXPECT_EQ(s.payloadReads(seam, 2), 1u);
    EXPECT_EQ(s.payloadReads(seam, 3), 1u);  // prefetched after block 2
}

TEST(PreIOThread_R_D, DamagedBlockIsRefusedOnlyWhenAskedFor) {
    expectDamageRefusedOnlyWhenAskedFor<PreIOThread_R_D>();
}

TEST(PreIOThread_R_D, RecordThatDisagreesWithItsPayloadIsRefused) {
    ReadSource s = smallBlocks();
    s.records[5].orginalSize += 1;  // the payload inflates to one byte less
    s.load(kSmall);
    auto r = startReader<PreIOThread_R_D>(s);
    s.expectBlock(*r, 4);  // prefetches block 5
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 5); }), "outCount == bInfo.orginalSize");
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 5); }), "outCount == bInfo.orginalSize");

    // Blocks larger than the object's buffer are never fetched ahead into it;
    // the request fetches them straight into the caller's buffer instead.
    auto narrow = startReader<PreIOThread_R_D>(s, kSmall / 2);
    CrtSeam seam;
    s.expectBlock(*narrow, 0);
    s.expectBlock(*narrow, 1);
    EXPECT_EQ(s.payloadReads(seam, 1), 1u) << "the read ahead refused block 1 before reading it";
}

TEST(PreIOThread_R_D, FailedReadAheadIsRetriedByItsRequestOnly) {
    expectFailedReadAheadIsRetriedByItsRequest<PreIOThread_R_D>();
}

TEST(PreIOThread_R_D, FullBlocksThatDidNotShrinkAndStops) {
    ReadSource s(patternBytes(2 * kBlockSize), {kBlockSize, kBlockSize}, kBlockSize);
    ASSERT_GT(s.block(1).translateSize, kBlockSize);
    startReader<PreIOThread_R_D>(s, kBlockSize)->stopThread();  // stopped while idle
    {  // stopped while the next block is likely being prefetched
        CrtSeam seam;
        auto r = startReader<PreIOThread_R_D>(s, kBlockSize);
        s.expectBlock(*r, 0);
        r->stopThread();
        EXPECT_LE(s.payloadReads(seam, 1), 1u);
    }
    auto r = startReader<PreIOThread_R_D>(s, kBlockSize);
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 1);
}

TEST(PreIOThread_R_D, FailedReadAheadLeavesTheFileAlone) {
    expectFailedReadAheadLeavesTheFileAlone<PreIOThread_R_D>();
}
