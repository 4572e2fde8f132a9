#include "PreIOThread_R_D.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "BlockReaders.h"
#include "ThrowError.h"

using veld::layout::kBlockSize;
using veldtest::failedCheck;
using veldtest::ReadSource;

namespace {

constexpr std::int32_t kSmall = 100000;
const std::vector<std::size_t> kSizes = {kSmall, kSmall, kSmall, kSmall, kSmall, 31337};

std::unique_ptr<PreIOThread_R_D> startReader(ReadSource& s, std::uint64_t bufSize = kSmall) {
    auto r = std::make_unique<PreIOThread_R_D>(&s.file, &s.index, bufSize);
    r->initThread(true);
    r->startThread();
    return r;
}

ReadSource smallBlocks() { return ReadSource(veldtest::textBytes(531337), kSizes, kSmall); }

}  // namespace

TEST(PreIOThread_R_D, InOrderEachPayloadIsReadOnceThenAnyOrderWithoutHanging) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    auto r = startReader(s);
    {
        veld::crt::CrtSeam seam;
        for (std::size_t k = 0; k < kSizes.size(); ++k) s.expectBlock(*r, k);
        // Every block after the first came from the worker's prefetch.
        for (std::size_t k = 0; k < kSizes.size(); ++k) EXPECT_EQ(s.payloadReads(seam, k), 1u) << k;
    }
    // After the last block nothing is in flight: asking for it again, or
    // seeking back, must neither wait nor fail.
    s.expectBlock(*r, 5);
    s.expectBlock(*r, 5);
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 3);
    s.expectBlock(*r, 4);
    r->stopThread();
    r->releaseThreads();
}

TEST(PreIOThread_R_D, ASkipDropsThePrefetchedBlock) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    veld::crt::CrtSeam seam;
    auto r = startReader(s);
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 2);
    s.expectBlock(*r, 3);
    r->stopThread();
    EXPECT_EQ(s.payloadReads(seam, 1), 1u);  // prefetched, then dropped
    EXPECT_EQ(s.payloadReads(seam, 2), 1u);
    EXPECT_EQ(s.payloadReads(seam, 3), 1u);  // prefetched after block 2
}

TEST(PreIOThread_R_D, DamagedBlockIsRefusedOnlyWhenAskedFor) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    s.flipPayloadByte(2);
    auto r = startReader(s);
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 1);  // the worker now meets block 2's damage and keeps it
    s.expectBlock(*r, 3);
    std::string detail;
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 2); }, &detail), "payloadComplete");
    EXPECT_NE(detail.find("block at position " + std::to_string(s.block(2).orginalPos)),
              std::string::npos)
        << detail;
    // Damage found by the prefetch is raised by the request for that block.
    s.expectBlock(*r, 1);
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 2); }), "payloadComplete");
    s.expectBlock(*r, 4);
}

TEST(PreIOThread_R_D, RecordThatDisagreesWithItsPayloadIsRefused) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    s.blocks.records[5].orginalSize += 1;  // the payload inflates to one byte less
    s.blocks.table = veldtest::tableBytes(s.blocks.records, kSmall);
    s.index.loadForRead(s.blocks.table.data(), false, s.blocks.table.size());
    auto r = startReader(s);
    s.expectBlock(*r, 4);  // prefetches block 5
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 5); }), "outCount == bInfo.orginalSize");
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 5); }), "outCount == bInfo.orginalSize");

    // Blocks larger than the object's buffer are refused, never copied.
    auto narrow = startReader(s, kSmall / 2);
    s.expectBlock(*narrow, 0);  // straight into the caller's buffer
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*narrow, 1); }),
              "bInfo.orginalSize >= 1 && bInfo.orginalSize <= destRoom");
}

TEST(PreIOThread_R_D, WorkerReadFailureSurfacesOnTheOwner) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    auto r = startReader(s);
    veld::crt::CrtSeam seam;
    seam.failNth(veld::crt::Call::Read, 2, EIO);  // the prefetch of block 1
    s.expectBlock(*r, 0);
    for (std::size_t k : {1, 0}) {
        try {
            s.readBlockOf(*r, k);
            ADD_FAILURE() << "no failure raised for block " << k;
        } catch (const veld::DataSourceError& e) {
            EXPECT_EQ(e.code(), 1003);
            EXPECT_EQ(e.sysErrno(), EIO);
        }
    }
    r->stopThread();
    r->releaseThreads();
}

TEST(PreIOThread_R_D, FullBlocksThatDidNotShrinkAndStops) {
    veldtest::Watchdog dog;
    ReadSource s(veldtest::patternBytes(2 * kBlockSize), {kBlockSize, kBlockSize}, kBlockSize);
    ASSERT_GT(s.block(1).translateSize, kBlockSize);
    {  // stopped while idle
        auto r = startReader(s, kBlockSize);
        r->stopThread();
        r->releaseThreads();
    }
    {  // stopped while the next block is likely being prefetched
        veld::crt::CrtSeam seam;
        auto r = startReader(s, kBlockSize);
        s.expectBlock(*r, 0);
        r->stopThread();
        EXPECT_LE(s.payloadReads(seam, 1), 1u);
        r->releaseThreads();
    }
    auto r = startReader(s, kBlockSize);
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 1);
}
