#include "multiThreadForFilestr.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "TestFiles.h"
#include "ThrowError.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "crt_seam.h"

using veld::crt::Call;
using veld::crt::CrtSeam;
using veldtest::patternBytes;
using veldtest::TempDir;
using veldtest::writeAll;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr std::uint64_t kBlock = 4190208;

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
}

Bytes readN(VELD_FileStream& s, std::size_t n) {
    Bytes out(n);
    out.resize(s.Read(out.data(), n));
    return out;
}

Bytes readAt(VELD_FileStream& s, std::int64_t at, std::size_t n) {
    EXPECT_EQ(s.Seek(at, VELD_StrBaseIO::FromStart), 0);
    return readN(s, n);
}

struct PositionReads {
    int calls = 0;
    std::int64_t lastResult = 0;
};

std::map<std::int64_t, PositionReads> readsByPosition(const CrtSeam& seam) {
    std::map<std::int64_t, PositionReads> out;
    for (const auto& r : seam.calls(Call::Read)) {
        ++out[r.position].calls;
        out[r.position].lastResult = r.result;
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

}  // namespace

TEST(ReadAhead, SequentialReadingHitsTheReadAhead) {
    TempDir dir;
    const Bytes data = patternBytes(10000000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    {
        VELD_FileStream s(dir.file("f").c_str(), "rb");
        s.EnableMultiThreadReading();
        for (int i = 0; i < 10; ++i) ASSERT_EQ(readN(s, 1000000), slice(data, i * 1000000, 1000000)) << i;
        // Past the end: waits for the read-ahead in flight (at 12,570,624), then misses.
        EXPECT_TRUE(readN(s, 1000).empty());
    }

    auto reads = readsByPosition(seam);
    // The miss sent the worker on to 14,190,080; the stop may come before it starts.
    reads.erase(9999872 + 4190208);
    ASSERT_EQ(reads.size(), 5u);
    for (const auto& [at, r] : reads) EXPECT_EQ(r.calls, 1) << at;
    EXPECT_EQ(reads.at(0).lastResult, 4190208);
    EXPECT_EQ(reads.at(4190208).lastResult, 4190208);
    EXPECT_EQ(reads.at(8380416).lastResult, 1619584);
    EXPECT_EQ(reads.at(12570624).lastResult, 0);
    EXPECT_EQ(reads.at(9999872).lastResult, 128);
    for (const auto& r : seam.calls(Call::Read)) EXPECT_EQ(r.count, kBlock);
}

TEST(ReadAhead, SwitchesReuseOneObjectAndPreReadingOffBypassesIt) {
    TempDir dir;
    const Bytes data = patternBytes(10000000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    s.EnableMultiThreadReading();
    EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
    // Neither a second Enable nor Disable and Enable lose the read-ahead at 4,190,208.
    s.EnableMultiThreadReading();
    s.DisableMultiThreadReading();
    s.EnableMultiThreadReading();
    EXPECT_EQ(readAt(s, kBlock + 5, 100), slice(data, kBlock + 5, 100));
    EXPECT_EQ(readsByPosition(seam).at(kBlock).calls, 1);

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

TEST(ReadAhead, LargeReadsPassThroughTheWindow) {
    TempDir dir;
    const Bytes data = patternBytes(9000000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    s.EnableMultiThreadReading();
    EXPECT_EQ(readN(s, 9000000), data);
    for (const auto& r : seam.calls(Call::Read)) EXPECT_EQ(r.count, kBlock);
}

TEST(ReadAhead, OwnWritesAreNeverHiddenByAnOlderReadAhead) {
    TempDir dir;
    const Bytes data = patternBytes(10000000);
    writeAll(dir.file("f"), data);
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

TEST(ReadAhead, CopiesOnDifferentFilesEachReadTheirOwn) {
    TempDir dir;
    const Bytes a = patternBytes(6000000, 1), b = patternBytes(6000000, 2);
    writeAll(dir.file("a"), a);
    writeAll(dir.file("b"), b);
    auto first = std::make_unique<VELD_FileStream>(dir.file("a").c_str(), "rb");
    first->EnableMultiThreadReading();
    EXPECT_EQ(readN(*first, 100), slice(a, 0, 100));  // read-ahead through a
    auto second = std::make_unique<VELD_FileStream>(*first);
    ASSERT_EQ(first->Open(dir.file("b").c_str(), "rb"), 1);
    EXPECT_EQ(readAt(*first, kBlock, 100), slice(b, kBlock, 100));
    EXPECT_EQ(readAt(*second, kBlock, 100), slice(a, kBlock, 100));
    // The last owner of b goes while the shared worker may read ahead through it.
    first.reset();
    EXPECT_EQ(readAt(*second, 50, 100), slice(a, 50, 100));
}

TEST(ReadAheadFailure, WorkerFailureReachesTheCallerAndNeverHangs) {
    TempDir dir;
    const Bytes data = patternBytes(10000000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    {
        VELD_FileStream s(dir.file("f").c_str(), "rb");
        s.EnableMultiThreadReading();
        seam.failNth(Call::Read, 2, EIO);  // the worker's read-ahead at 4,190,208
        EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
        for (int i = 0; i < 2; ++i) {
            try {
                readAt(s, kBlock, 100);
                FAIL() << "no error";
            } catch (const veld::DataSourceError& e) {
                EXPECT_EQ(e.code(), 1003);
            }
        }
        s.DisableMultiThreadReading();
        EXPECT_EQ(readAt(s, kBlock, 100), slice(data, kBlock, 100));
    }
    EXPECT_EQ(readsByPosition(seam).at(kBlock).calls, 2);
}

TEST(ReadAheadFailure, CallerFailureLeavesTheObjectWorking) {
    TempDir dir;
    const Bytes data = patternBytes(10000000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    s.EnableMultiThreadReading();
    seam.failNth(Call::Read, 1, EIO);  // the first refill misses and reads on this thread
    char b[100];
    EXPECT_THROW(s.Read(b, 100), veld::DataSourceError);
    EXPECT_EQ(s.Tell(), 0);
    EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
    EXPECT_EQ(readAt(s, kBlock, 100), slice(data, kBlock, 100));
    EXPECT_EQ(readsByPosition(seam).at(kBlock).calls, 1);
}

TEST(ReadAhead, DestructionWaitsForTheReadAheadInFlight) {
    TempDir dir;
    const Bytes data = patternBytes(3 * kBlock);
    writeAll(dir.file("f"), data);
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
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().kind, Call::Close);
        EXPECT_EQ(calls.back().fd, fd);
        for (const auto& r : seam.callsOn(fd, Call::Read)) EXPECT_EQ(r.result, static_cast<std::int64_t>(kBlock));
    }
}

TEST(ReadAhead, WritingRequestsAreRefused) {
    RefCountPtr<multiThreadForFilestr> reader(new multiThreadForFilestr(nullptr, 4096, true));
    reader->initThread(true);
    reader->startThread();
    char b[16] = {};
    try {
        reader->writeBlock(b, 16, 0);
        FAIL() << "no check";
    } catch (const veld::CheckFailure& e) {
        EXPECT_EQ(e.expression(), "0");
    }
    EXPECT_THROW(reader->writeStep(), veld::CheckFailure);
    // Without a file a request reads nothing, and the stop still ends the worker.
    EXPECT_EQ(reader->readBlock(b, 4096, 0), 0u);
}
