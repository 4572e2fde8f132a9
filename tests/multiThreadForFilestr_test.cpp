#include "multiThreadForFilestr.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "TestFiles.h"
#include "ThrowError.h"
#include "VELD_FileStream.h"
#include "crt_seam.h"

using veld::crt::Call;
using veld::crt::CrtSeam;
using namespace veldtest;

namespace {

constexpr std::int64_t kBlock = 4190208;

// Per position: how many reads, and what the last one returned.
std::map<std::int64_t, std::pair<int, std::int64_t>> readsByPosition(const CrtSeam& seam) {
    std::map<std::int64_t, std::pair<int, std::int64_t>> out;
    for (const auto& r : seam.calls(Call::Read)) out[r.position] = {out[r.position].first + 1, r.result};
    return out;
}

// Sizes of the reads of this thread: the worker's read-ahead at 2 x 4,190,208 may land at any time.
std::vector<std::uint64_t> ownReads(const CrtSeam& seam) {
    std::vector<std::uint64_t> out;
    for (const auto& r : seam.calls(Call::Read))
        if (r.position != 2 * kBlock) out.push_back(r.count);
    return out;
}

class ReadAhead : public ::testing::Test {
protected:
    void SetUp() override { writeAll(path, data); }
    // A stream reading ahead on a worker thread.
    std::unique_ptr<VELD_FileStream> open(const char* mode = "rb") {
        auto s = std::make_unique<VELD_FileStream>(path.c_str(), mode);
        s->EnableMultiThreadReading();
        return s;
    }
    TempDir dir;
    std::string path = dir.file("f");
    const Bytes data = patternBytes(10000000);
    CrtSeam seam;
};

}  // namespace

TEST_F(ReadAhead, SequentialReadingHitsTheReadAhead) {
    {
        auto s = open();
        // A large request passes through the window too, in whole blocks.
        EXPECT_EQ(readN(*s, 5000000), slice(data, 0, 5000000));
        for (int i = 5; i < 10; ++i) ASSERT_EQ(readN(*s, 1000000), slice(data, i * 1000000, 1000000)) << i;
        // Past the end: waits for the read-ahead in flight (at 12,570,624), then misses.
        EXPECT_TRUE(readN(*s, 1000).empty());
    }
    auto reads = readsByPosition(seam);
    // The miss sent the worker on to 14,190,080; the stop may come before it starts.
    reads.erase(9999872 + kBlock);
    const std::map<std::int64_t, std::pair<int, std::int64_t>> expected = {
        {0, {1, kBlock}}, {kBlock, {1, kBlock}}, {2 * kBlock, {1, 1619584}}, {3 * kBlock, {1, 0}}, {9999872, {1, 128}}};
    EXPECT_EQ(reads, expected);
    for (const auto& r : seam.calls(Call::Read)) EXPECT_EQ(r.count, static_cast<std::uint64_t>(kBlock));
}

TEST_F(ReadAhead, SwitchesReuseOneObjectAndPreReadingOffBypassesIt) {
    auto s = open();
    EXPECT_EQ(readN(*s, 100), slice(data, 0, 100));
    // Neither a second Enable nor Disable and Enable lose the read-ahead at 4,190,208.
    s->EnableMultiThreadReading();
    s->DisableMultiThreadReading();
    s->EnableMultiThreadReading();
    EXPECT_EQ(readAt(*s, kBlock + 5, 100), slice(data, kBlock + 5, 100));
    EXPECT_EQ(readsByPosition(seam).at(kBlock).first, 1);

    // Switched off: a large read goes straight into the caller's memory.
    s->DisableMultiThreadReading();
    seam.clear();
    EXPECT_EQ(readAt(*s, 0, 5000000), slice(data, 0, 5000000));
    EXPECT_EQ(ownReads(seam), std::vector<std::uint64_t>({4999680, kBlock}));

    // Pre-reading off wins over the multi-threaded switch.
    s->EnableMultiThreadReading();
    s->DisablePreReading();
    seam.clear();
    EXPECT_EQ(readAt(*s, 7, 100), slice(data, 7, 100));
    EXPECT_EQ(ownReads(seam), std::vector<std::uint64_t>({100}));
}

TEST_F(ReadAhead, OwnWritesAreNeverHiddenByAnOlderReadAhead) {
    auto s = open("r+b");
    EXPECT_EQ(readN(*s, 100), slice(data, 0, 100));
    // Wait until the read-ahead holds the old bytes.
    for (int i = 0; i < 10000 && !readsByPosition(seam).count(kBlock); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(readsByPosition(seam).count(kBlock), 1u);
    const Bytes patch = patternBytes(5, 3);
    writeAt(*s, kBlock + 10, patch);
    EXPECT_EQ(readAt(*s, kBlock, 20), patched(slice(data, kBlock, 20), 10, patch));
}

TEST_F(ReadAhead, CopiesOnDifferentFilesEachReadTheirOwn) {
    const Bytes b = patternBytes(6000000, 2);
    writeAll(dir.file("b"), b);
    auto first = open();
    EXPECT_EQ(readN(*first, 100), slice(data, 0, 100));  // read-ahead through f
    auto second = std::make_unique<VELD_FileStream>(*first);
    ASSERT_EQ(first->Open(dir.file("b").c_str(), "rb"), 1);
    EXPECT_EQ(readAt(*second, kBlock, 100), slice(data, kBlock, 100));
    EXPECT_EQ(readAt(*first, kBlock, 100), slice(b, kBlock, 100));
    // The last owner of b goes while the shared worker reads ahead through it.
    first.reset();
    EXPECT_EQ(readAt(*second, 50, 100), slice(data, 50, 100));
}

// A disk whose block at 4,190,208 cannot be read, read with read-ahead off or
// on: what each call gives (bytes, or the error's code and text), Good and
// Tell after it.
std::vector<std::string> badRegionTranscript(CrtSeam& seam, const std::string& path, const Bytes& data,
                                             bool readAhead) {
    std::vector<std::string> out;
    VELD_FileStream s(path.c_str(), "rb");
    if (readAhead) s.EnableMultiThreadReading();
    auto call = [&](std::int64_t at, std::size_t n) {
        std::string what;
        try {
            const Bytes got = readAt(s, at, n);
            what = got == slice(data, static_cast<std::size_t>(at), got.size())
                       ? "read " + std::to_string(got.size())
                       : "wrong bytes";
        } catch (const veld::DataSourceError& e) {
            what = std::to_string(e.code()) + " " + e.what();
        }
        out.push_back(what + " good " + std::to_string(s.Good()) + " at " + std::to_string(s.Tell()));
    };
    seam.failAt(Call::Read, kBlock, EIO);
    call(0, 100);               // the read-ahead of the next block fails unseen
    call(2 * kBlock + 5, 100);  // elsewhere
    call(0, 100);
    call(kBlock - 10, 100);  // needs the bad block: fails after the window's 10 bytes
    call(kBlock + 5, 100);   // and again, on the caller's thread
    seam.stopFailing();
    s.Clear();
    call(kBlock + 5, 100);
    // Switched off and on, and reopened: nothing of a failed read-ahead remains.
    seam.failAt(Call::Read, kBlock, EIO);
    call(0, 100);
    seam.stopFailing();
    if (readAhead) {
        s.DisableMultiThreadReading();
        s.EnableMultiThreadReading();
    }
    call(kBlock, 100);
    seam.failAt(Call::Read, kBlock, EIO);
    call(0, 100);
    seam.stopFailing();
    EXPECT_EQ(s.Open(path.c_str(), "rb"), 1);
    call(kBlock, 5000000);
    return out;
}

TEST_F(ReadAhead, AFailedReadAheadFailsOnlyTheRequestThatNeedsItAsWithoutReadAhead) {
    const auto without = badRegionTranscript(seam, path, data, false);
    ASSERT_EQ(without.size(), 10u);
    EXPECT_EQ(without[0], "read 100 good 1 at 100");
    EXPECT_EQ(without[3].substr(0, 5), "1003 ");
    EXPECT_NE(without[3].find(path), std::string::npos);
    EXPECT_EQ(without[3].substr(without[3].size() - 17), "good 0 at 4190208");
    EXPECT_EQ(without[5], "read 100 good 1 at 4190313");
    EXPECT_EQ(without[9], "read 5000000 good 1 at 9190208");
    EXPECT_EQ(badRegionTranscript(seam, path, data, true), without);
}

TEST_F(ReadAhead, TheCallersOwnFailedRefillLeavesTheObjectWorking) {
    auto s = open();
    seam.failNth(Call::Read, 1, EIO);
    EXPECT_EQ(raisedCode([&] { readN(*s, 100); }), 1003);
    EXPECT_EQ(s->Tell(), 0);
    EXPECT_EQ(readN(*s, 100), slice(data, 0, 100));
    EXPECT_EQ(readAt(*s, kBlock, 100), slice(data, kBlock, 100));
    EXPECT_EQ(readsByPosition(seam).at(kBlock).first, 1);
}

TEST_F(ReadAhead, DestructionWaitsForTheReadAheadInFlight) {
    for (int round = 0; round < 20; ++round) {
        seam.clear();
        ASSERT_EQ(readN(*open(), 100), slice(data, 0, 100));
        // Every read on the descriptor came back whole before it was closed.
        const auto calls = seam.calls();
        const int fd = calls.front().fd;
        EXPECT_EQ(calls.back().kind, Call::Close);
        EXPECT_EQ(calls.back().fd, fd);
        for (const auto& r : seam.callsOn(fd, Call::Read)) EXPECT_EQ(r.result, kBlock);
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
