#include "multiThreadForFilestr.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "TestFiles.h"
#include "ThrowError.h"
#include "VELD_FileStream.h"
#include "crt_seam.h"

using veld::crt::Call;
using veld::crt::CrtSeam;
using namespace veldtest;

namespace {

constexpr std::uint64_t kBlock = 4190208;

Bytes readN(VELD_FileStream& s, std::size_t n) {
    Bytes out(n);
    out.resize(s.Read(out.data(), n));
    return out;
}

Bytes readAt(VELD_FileStream& s, std::int64_t at, std::size_t n) {
    EXPECT_EQ(s.Seek(at, VELD_StrBaseIO::FromStart), 0);
    return readN(s, n);
}

// Per position: how many reads, and what the last one returned.
std::map<std::int64_t, std::pair<int, std::int64_t>> readsByPosition(const CrtSeam& seam) {
    std::map<std::int64_t, std::pair<int, std::int64_t>> out;
    for (const auto& r : seam.calls(Call::Read)) {
        ++out[r.position].first;
        out[r.position].second = r.result;
    }
    return out;
}

// Reads of this thread: the worker's read-ahead at `ahead` may land at any time.
std::vector<veld::crt::CallRecord> readsBesides(const CrtSeam& seam, std::int64_t ahead) {
    std::vector<veld::crt::CallRecord> out;
    for (const auto& r : seam.calls(Call::Read))
        if (r.position != ahead) out.push_back(r);
    return out;
}

// Waits until the worker's read at `position` has come back.
bool sawRead(const CrtSeam& seam, std::int64_t position) {
    for (int i = 0; i < 10000; ++i) {
        for (const auto& r : seam.calls(Call::Read))
            if (r.position == position) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class ReadAhead : public ::testing::Test {
protected:
    void SetUp() override { writeAll(dir.file("f"), data); }
    TempDir dir;
    const Bytes data = patternBytes(10000000);
};

}  // namespace

TEST_F(ReadAhead, SequentialReadingHitsTheReadAhead) {
    CrtSeam seam;
    {
        VELD_FileStream s(dir.file("f").c_str(), "rb");
        s.EnableMultiThreadReading();
        // A large request passes through the window too, in whole blocks.
        EXPECT_EQ(readN(s, 5000000), slice(data, 0, 5000000));
        for (int i = 5; i < 10; ++i) ASSERT_EQ(readN(s, 1000000), slice(data, i * 1000000, 1000000)) << i;
        // Past the end: waits for the read-ahead in flight (at 12,570,624), then misses.
        EXPECT_TRUE(readN(s, 1000).empty());
    }
    auto reads = readsByPosition(seam);
    // The miss sent the worker on to 14,190,080; the stop may come before it starts.
    reads.erase(9999872 + kBlock);
    const std::map<std::int64_t, std::pair<int, std::int64_t>> expected = {
        {0, {1, kBlock}}, {kBlock, {1, kBlock}}, {2 * kBlock, {1, 1619584}},
        {3 * kBlock, {1, 0}}, {9999872, {1, 128}}};
    EXPECT_EQ(reads, expected);
    for (const auto& r : seam.calls(Call::Read)) EXPECT_EQ(r.count, kBlock);
}

TEST_F(ReadAhead, SwitchesReuseOneObjectAndPreReadingOffBypassesIt) {
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    s.EnableMultiThreadReading();
    EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
    // Neither a second Enable nor Disable and Enable lose the read-ahead at 4,190,208.
    s.EnableMultiThreadReading();
    s.DisableMultiThreadReading();
    s.EnableMultiThreadReading();
    EXPECT_EQ(readAt(s, kBlock + 5, 100), slice(data, kBlock + 5, 100));
    EXPECT_EQ(readsByPosition(seam).at(kBlock).first, 1);

    // Switched off: a large read goes straight into the caller's memory.
    s.DisableMultiThreadReading();
    seam.clear();
    EXPECT_EQ(readAt(s, 0, 5000000), slice(data, 0, 5000000));
    auto reads = readsBesides(seam, 2 * kBlock);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].count, 4999680u);

    // Pre-reading off wins over the multi-threaded switch.
    s.EnableMultiThreadReading();
    s.DisablePreReading();
    seam.clear();
    EXPECT_EQ(readAt(s, 7, 100), slice(data, 7, 100));
    reads = readsBesides(seam, 2 * kBlock);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].count, 100u);
}

TEST_F(ReadAhead, OwnWritesAreNeverHiddenByAnOlderReadAhead) {
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "r+b");
    s.EnableMultiThreadReading();
    EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
    ASSERT_TRUE(sawRead(seam, kBlock));  // the read-ahead holds the old bytes
    const Bytes patch = patternBytes(5, 3);
    ASSERT_EQ(s.Seek(kBlock + 10, VELD_StrBaseIO::FromStart), 0);
    ASSERT_EQ(s.Write(patch.data(), 5), 5u);
    Bytes expected = slice(data, kBlock, 20);
    std::memcpy(expected.data() + 10, patch.data(), 5);
    EXPECT_EQ(readAt(s, kBlock, 20), expected);
}

TEST_F(ReadAhead, CopiesOnDifferentFilesEachReadTheirOwn) {
    const Bytes b = patternBytes(6000000, 2);
    writeAll(dir.file("b"), b);
    auto first = std::make_unique<VELD_FileStream>(dir.file("f").c_str(), "rb");
    first->EnableMultiThreadReading();
    EXPECT_EQ(readN(*first, 100), slice(data, 0, 100));  // read-ahead through f
    auto second = std::make_unique<VELD_FileStream>(*first);
    ASSERT_EQ(first->Open(dir.file("b").c_str(), "rb"), 1);
    EXPECT_EQ(readAt(*first, kBlock, 100), slice(b, kBlock, 100));
    EXPECT_EQ(readAt(*second, kBlock, 100), slice(data, kBlock, 100));
    // The last owner of b goes while the shared worker may read ahead through it.
    first.reset();
    EXPECT_EQ(readAt(*second, 50, 100), slice(data, 50, 100));
}

TEST_F(ReadAhead, WorkerFailureReachesTheCallerAndNeverHangs) {
    CrtSeam seam;
    {
        VELD_FileStream s(dir.file("f").c_str(), "rb");
        s.EnableMultiThreadReading();
        seam.failNth(Call::Read, 2, EIO);  // the worker's read-ahead at 4,190,208
        EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
        for (int i = 0; i < 2; ++i) EXPECT_EQ(raisedCode([&] { readAt(s, kBlock, 100); }), 1003) << i;
        s.DisableMultiThreadReading();
        EXPECT_EQ(readAt(s, kBlock, 100), slice(data, kBlock, 100));
    }
    EXPECT_EQ(readsByPosition(seam).at(kBlock).first, 2);
}

TEST_F(ReadAhead, CallerFailureLeavesTheObjectWorking) {
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    s.EnableMultiThreadReading();
    seam.failNth(Call::Read, 1, EIO);  // the first refill misses and reads on this thread
    EXPECT_EQ(raisedCode([&] { readN(s, 100); }), 1003);
    EXPECT_EQ(s.Tell(), 0);
    EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
    EXPECT_EQ(readAt(s, kBlock, 100), slice(data, kBlock, 100));
    EXPECT_EQ(readsByPosition(seam).at(kBlock).first, 1);
}

TEST_F(ReadAhead, DestructionWaitsForTheReadAheadInFlight) {
    for (int round = 0; round < 20; ++round) {
        CrtSeam seam;
        int fd;
        {
            VELD_FileStream s(dir.file("f").c_str(), "rb");
            s.EnableMultiThreadReading();
            ASSERT_EQ(readN(s, 100), slice(data, 0, 100));
            fd = seam.calls(Call::Open).at(0).fd;
        }
        // Every read on the descriptor came back whole before it was closed.
        const auto calls = seam.calls();
        EXPECT_EQ(calls.back().kind, Call::Close);
        EXPECT_EQ(calls.back().fd, fd);
        for (const auto& r : seam.callsOn(fd, Call::Read)) EXPECT_EQ(r.result, static_cast<std::int64_t>(kBlock));
    }
}

TEST(ReadAheadObject, WritingRequestsAreRefused) {
    RefCountPtr<multiThreadForFilestr> reader(new multiThreadForFilestr(nullptr, 4096, true));
    reader->initThread(true);
    reader->startThread();
    char b[16] = {};
    EXPECT_EQ(failedCheck([&] { reader->writeBlock(b, 16, 0); }), "0");
    EXPECT_EQ(failedCheck([&] { reader->writeStep(); }), "0");
    // Without a file a request reads nothing, and the stop still ends the worker.
    EXPECT_EQ(reader->readBlock(b, 4096, 0), 0u);
}
