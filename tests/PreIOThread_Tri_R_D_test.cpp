#include "PreIOThread_Tri_R_D.h"

#include <gtest/gtest.h>

#include "CompressedFiles.h"
#include "check.h"

using namespace veldtest;

TEST(PreIOThread_Tri_R_D, SameBytesInOrderAndOutOfOrderWithoutHanging) {
    expectInOrderThenAnyOrder<PreIOThread_Tri_R_D>();
}

TEST(PreIOThread_Tri_R_D, StopEndsBothWorkers) {
    ReadSource s = smallBlocks();
    // Idle: the reading worker waits for work that the stop must give it.
    startReader<PreIOThread_Tri_R_D>(s)->stopThread();
    {  // both workers busy with the blocks after the first
        auto r = startReader<PreIOThread_Tri_R_D>(s);
        s.expectBlock(*r, 0);
        r->stopThread();
    }
    {  // after the last block, nothing in flight
        auto r = startReader<PreIOThread_Tri_R_D>(s);
        for (std::size_t k = 0; k < 6; ++k) s.expectBlock(*r, k);
        r->stopThread();
    }
    PreIOThread_Tri_R_D writerless(&s.file, &s.index, kSmall);
    EXPECT_EQ(failedCheck([&] { writerless.initThread(false); }), "bRead == true");
}

TEST(PreIOThread_Tri_R_D, DamagedBlockIsRefusedOnlyWhenAskedFor) {
    expectDamageRefusedOnlyWhenAskedFor<PreIOThread_Tri_R_D>();
}

TEST(PreIOThread_Tri_R_D, FailedReadAheadIsRetriedByItsRequestOnly) {
    expectFailedReadAheadIsRetriedByItsRequest<PreIOThread_Tri_R_D>();
}

TEST(PreIOThread_Tri_R_D, FailedReadAheadLeavesTheFileAlone) {
    expectFailedReadAheadLeavesTheFileAlone<PreIOThread_Tri_R_D>();
}
