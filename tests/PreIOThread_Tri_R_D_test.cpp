#include "PreIOThread_Tri_R_D.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "BlockReaders.h"
#include "ThrowError.h"

using veldtest::failedCheck;
using veldtest::ReadSource;

namespace {

constexpr std::int32_t kSmall = 100000;
const std::vector<std::size_t> kSizes = {kSmall, kSmall, kSmall, kSmall, kSmall, 31337};

std::unique_ptr<PreIOThread_Tri_R_D> startReader(ReadSource& s) {
    auto r = std::make_unique<PreIOThread_Tri_R_D>(&s.file, &s.index, kSmall);
    r->initThread(true);
    r->startThread();
    return r;
}

ReadSource smallBlocks() { return ReadSource(veldtest::textBytes(531337), kSizes, kSmall); }

}  // namespace

TEST(PreIOThread_Tri_R_D, SameBytesInOrderAndOutOfOrderWithoutHanging) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    auto r = startReader(s);
    {
        veld::crt::CrtSeam seam;
        for (std::size_t k = 0; k < kSizes.size(); ++k) s.expectBlock(*r, k);
        // The pipeline read each payload once.
        for (std::size_t k = 0; k < kSizes.size(); ++k) EXPECT_EQ(s.payloadReads(seam, k), 1u) << k;
    }
    // Past the last block no work was posted: nothing may wait for it.
    for (std::size_t k : {5, 5, 0, 3, 1, 2, 5, 4}) s.expectBlock(*r, k);
    r->stopThread();
    r->releaseThreads();
}

TEST(PreIOThread_Tri_R_D, StopEndsBothWorkers) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    {  // idle: the reading worker waits for work that the stop must give it
        auto r = startReader(s);
        r->stopThread();
        r->releaseThreads();
    }
    {  // both workers busy with the blocks after the first
        auto r = startReader(s);
        s.expectBlock(*r, 0);
        r->stopThread();
        r->releaseThreads();
    }
    {  // after the last block, nothing in flight
        auto r = startReader(s);
        for (std::size_t k = 0; k < kSizes.size(); ++k) s.expectBlock(*r, k);
        r->stopThread();
    }
    PreIOThread_Tri_R_D writerless(&s.file, &s.index, kSmall);
    EXPECT_EQ(failedCheck([&] { writerless.initThread(false); }), "bRead == true");
}

TEST(PreIOThread_Tri_R_D, DamagedBlockIsRefusedOnlyWhenAskedFor) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    s.flipPayloadByte(2);
    auto r = startReader(s);
    s.expectBlock(*r, 0);
    s.expectBlock(*r, 1);  // the decompressing worker meets block 2's damage
    s.expectBlock(*r, 4);
    std::string detail;
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 2); }, &detail), "payloadComplete");
    EXPECT_NE(detail.find(std::to_string(s.block(2).translatePos)), std::string::npos) << detail;
    s.expectBlock(*r, 1);
    EXPECT_EQ(failedCheck([&] { s.readBlockOf(*r, 2); }), "payloadComplete");
    s.expectBlock(*r, 3);
    s.expectBlock(*r, 5);
}

TEST(PreIOThread_Tri_R_D, WorkerReadFailureSurfacesOnTheOwner) {
    veldtest::Watchdog dog;
    ReadSource s = smallBlocks();
    auto r = startReader(s);
    veld::crt::CrtSeam seam;
    seam.failNth(veld::crt::Call::Read, 2, EIO);  // the reading worker's first read: block 1
    s.expectBlock(*r, 0);
    try {
        s.readBlockOf(*r, 1);
        ADD_FAILURE() << "no failure raised";
    } catch (const veld::DataSourceError& e) {
        EXPECT_EQ(e.code(), 1003);
        EXPECT_EQ(e.sysErrno(), EIO);
    }
    r->stopThread();
    r->releaseThreads();
}
