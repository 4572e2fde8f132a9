#include "VELD_FileStream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "TestFiles.h"
#include "ThrowError.h"
#include "crt_seam.h"

using veld::crt::Call;
using veld::crt::CallRecord;
using veld::crt::CrtSeam;
using namespace veldtest;

namespace {

constexpr std::uint64_t kBlock = 4190208;
constexpr auto kStart = VELD_StrBaseIO::FromStart;

void expectIo(const CallRecord& r, std::int64_t position, std::uint64_t count, std::int64_t result) {
    EXPECT_EQ(r.position, position);
    EXPECT_EQ(r.count, count);
    EXPECT_EQ(r.result, result);
}

class FileStream : public ::testing::Test {
protected:
    const char* file(const Bytes& content) {
        writeAll(path, content);
        return path.c_str();
    }
    TempDir dir;
    std::string path = dir.file("f");
    CrtSeam seam;
};

}  // namespace

TEST_F(FileStream, WithoutAFileEverythingIsInertAndAMissingFileFailsQuietly) {
    VELD_FileStream s;
    char b[4] = {};
    EXPECT_EQ(s.Footprint(), 4190264u);
    EXPECT_EQ(s.Read(b, 4), 0u);
    EXPECT_EQ(s.Write(b, 4), 0u);
    EXPECT_EQ(s.Seek(10, kStart), -1);
    EXPECT_EQ(s.Close(), 0);
    EXPECT_EQ(s.Good(), 1);

    EXPECT_EQ(s.Open(path.c_str(), "rb"), 0);
    EXPECT_EQ(s.Good(), 0);
    EXPECT_EQ(s.Read(b, 4), 0u);
    EXPECT_EQ(s.Seek(0, kStart), -1);
    EXPECT_STREQ(s.Name(), path.c_str());
    s.Clear();
    EXPECT_EQ(s.Good(), 1);
}

TEST_F(FileStream, ReadsRefillTheWindowFrom512AndLargeOnesGoStraight) {
    const Bytes data = patternBytes(6000000);
    VELD_FileStream s(file(data), "rb");
    EXPECT_EQ(s.Seek(1000, kStart), 0);
    EXPECT_TRUE(seam.calls(Call::Read).empty());
    EXPECT_EQ(readN(s, 100), slice(data, 1000, 100));
    EXPECT_EQ(readN(s, 100), slice(data, 1100, 100));
    EXPECT_EQ(s.Tell(), 1200);
    EXPECT_EQ(readAt(s, 0, 5000000), slice(data, 0, 5000000));
    EXPECT_EQ(readN(s, 1000), slice(data, 5000000, 1000));  // the refilled window serves it
    const auto reads = seam.calls(Call::Read);
    ASSERT_EQ(reads.size(), 3u);
    expectIo(reads[0], 512, kBlock, kBlock);
    expectIo(reads[1], 0, 4999680, 4999680);  // straight into the caller's memory, ends on 512
    expectIo(reads[2], 4999680, kBlock, 6000000 - 4999680);
}

enum class ReadMode { Buffered, MultiThread, Direct };

class FileStreamEnd : public ::testing::TestWithParam<std::tuple<ReadMode, std::size_t>> {};

TEST_P(FileStreamEnd, ReadingAtAndPastTheEnd) {
    const auto [mode, size] = GetParam();
    TempDir dir;
    const Bytes data = patternBytes(size);
    writeAll(dir.file("f"), data);
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    if (mode == ReadMode::MultiThread) s.EnableMultiThreadReading();
    if (mode == ReadMode::Direct) s.DisablePreReading();
    EXPECT_EQ(readToEnd(s, 3000), data);

    // A refill at the end rounded down to 512 finds the last few bytes, but
    // none at the position: the data has ended, yet the refill was not empty.
    const bool emptyRefill = mode == ReadMode::Direct || size % 512 == 0;
    for (std::uint64_t ask : {std::uint64_t{10}, kBlock}) {
        SCOPED_TRACE(ask);
        ASSERT_EQ(s.Seek(static_cast<std::int64_t>(size), kStart), 0);
        EXPECT_EQ(s.EndOfFile(), 0);
        Bytes buf(ask);
        EXPECT_EQ(s.Read(buf.data(), ask), 0u);
        EXPECT_EQ(s.EndOfFile(), emptyRefill ? 1 : 0);
        EXPECT_EQ(s.Tell(), static_cast<std::int64_t>(size));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileStreamEnd,
                         ::testing::Combine(::testing::Values(ReadMode::Buffered, ReadMode::MultiThread,
                                                              ReadMode::Direct),
                                            ::testing::Values(std::size_t{10240}, std::size_t{10000})));

TEST_F(FileStream, SmallWritesGatherIntoWholeWindowsAndWholeWindowsGoStraight) {
    VELD_FileStream s(path.c_str(), "w+b");
    const Bytes data = patternBytes(4191 * 1000);
    for (int i = 0; i < 4190; ++i) ASSERT_EQ(s.Write(data.data() + i * 1000, 1000), 1000u);
    EXPECT_TRUE(seam.calls(Call::Write).empty());
    ASSERT_EQ(s.Write(data.data() + 4190 * 1000, 1000), 1000u);
    ASSERT_EQ(seam.calls(Call::Write).size(), 1u);
    // The end counts unwritten bytes that reach past the file.
    EXPECT_EQ(s.Seek(0, VELD_StrBaseIO::FromEnd), 0);
    EXPECT_EQ(s.Tell(), 4191000);
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(readAll(path), data);

    const Bytes fresh = patternBytes(kBlock, 2);
    writeAt(s, 0, fresh);
    EXPECT_EQ(s.Close(), 1);  // nothing was left in the window to write
    const auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 3u);
    expectIo(writes[0], 0, kBlock, kBlock);
    expectIo(writes[1], kBlock, 792, 792);
    expectIo(writes[2], 0, kBlock, kBlock);
    EXPECT_EQ(readAll(path), patched(data, 0, fresh));
}

TEST_F(FileStream, WindowServesUnwrittenBytesAndMovesWithTheWriter) {
    VELD_FileStream s(path.c_str(), "w+b");
    const Bytes a = patternBytes(100, 1), b = patternBytes(10, 2);
    writeAt(s, 200, b);
    s.ClearAndReset();  // drops the unwritten bytes
    EXPECT_EQ(s.Tell(), 0);
    // The window stays marked unwritten at 200, so the end counts it.
    EXPECT_EQ(s.Seek(0, VELD_StrBaseIO::FromEnd), 0);
    EXPECT_EQ(s.Tell(), 200);

    writeAt(s, 0, a);
    EXPECT_EQ(readAt(s, 0, 10), slice(a, 0, 10));
    EXPECT_TRUE(seam.calls(Call::Write).empty());
    EXPECT_TRUE(seam.calls(Call::Read).empty());
    writeAt(s, 200, b);
    EXPECT_EQ(s.Close(), 1);
    const auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 2u);
    expectIo(writes[0], 0, 100, 100);
    expectIo(writes[1], 200, 10, 10);
    const Bytes expected = patched(a, 200, b);
    EXPECT_EQ(readAll(path), expected);
    // Close finishes writing but keeps the file open.
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(readAt(s, 0, 300), expected);
}

TEST_F(FileStream, CopyWritesTheSourceAndSharesTheFile) {
    auto src = std::make_unique<VELD_FileStream>(path.c_str(), "w+b");
    const Bytes a = patternBytes(100);
    writeAt(*src, 0, a);
    EXPECT_FALSE(src->IsShared());
    VELD_FileStream copy(*src);
    EXPECT_EQ(readAll(path), a);
    EXPECT_TRUE(src->IsShared());
    EXPECT_TRUE(copy.IsShared());
    EXPECT_EQ(copy.Tell(), 0);
    EXPECT_EQ(src->Tell(), 100);
    src.reset();
    EXPECT_FALSE(copy.IsShared());
    EXPECT_EQ(readN(copy, 1000), a);
}

TEST_F(FileStream, OpeningAnotherFileNeverMixesTheTwo) {
    const Bytes a = patternBytes(8000, 1), b = patternBytes(8000, 2), patch = patternBytes(50, 3);
    writeAll(dir.file("b"), b);
    VELD_FileStream s(file(a), "r+b");
    EXPECT_EQ(readN(s, 100), slice(a, 0, 100));
    // A clean window of the old file is not served as the new file's bytes.
    ASSERT_EQ(s.Open(dir.file("b").c_str(), "r+b"), 1);
    EXPECT_EQ(readN(s, 100), slice(b, 0, 100));
    // Unwritten bytes belong to the file they were written to.
    writeAt(s, 10, patch);
    ASSERT_EQ(s.Open(path.c_str(), "r+b"), 1);
    EXPECT_EQ(readN(s, 8000), a);
    EXPECT_EQ(readAll(dir.file("b")), patched(b, 10, patch));
    // Appending opens at the end.
    ASSERT_EQ(s.Open(dir.file("b").c_str(), "ab"), 1);
    EXPECT_EQ(s.Tell(), 8000);
    ASSERT_EQ(s.Write(patch.data(), 50), 50u);
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(readAll(dir.file("b")), patched(patched(b, 10, patch), 8000, patch));
    EXPECT_EQ(readAll(path), a);
    // The end met in one file is still met after opening another.
    writeAll(dir.file("c"), patternBytes(1024));
    ASSERT_EQ(s.Open(dir.file("c").c_str(), "rb"), 1);
    EXPECT_EQ(readToEnd(s).size(), 1024u);
    ASSERT_EQ(s.EndOfFile(), 1);
    ASSERT_EQ(s.Open(path.c_str(), "rb"), 1);
    EXPECT_EQ(s.EndOfFile(), 1);
}

TEST_F(FileStream, OpenPassesOnWhatLettingGoOfThePreviousFileRaises) {
    const Bytes a = patternBytes(8000, 1), patch = patternBytes(50, 3);
    const std::string other = dir.file("b");
    VELD_FileStream s(file(a), "r+b");
    // Its unwritten bytes cannot be written: the stream stays on its file.
    writeAt(s, 10, patch);
    seam.failNth(Call::Write, 1, ENOSPC);
    EXPECT_EQ(raisedCode([&] { s.Open(other.c_str(), "wb"); }), 1002);
    EXPECT_FALSE(std::filesystem::exists(other));
    EXPECT_STREQ(s.Name(), path.c_str());
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(readAll(path), patched(a, 10, patch));

    // Its close fails as this stream, its last owner, lets go of it.
    seam.failNth(Call::Close, 1, EIO);
    EXPECT_EQ(raisedCode([&] { s.Open(other.c_str(), "wb"); }), 1002);
    EXPECT_EQ(s.Good(), 0);
    ASSERT_EQ(s.Open(other.c_str(), "wb"), 1);
    writeAt(s, 0, patch);
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(readAll(other), patch);
}

TEST_F(FileStream, DirectWriteOverACleanWindowWins) {
    const Bytes old = patternBytes(7000000, 1), fresh = patternBytes(kBlock, 2), one = {0x5A};
    VELD_FileStream s(file(old), "r+b");
    EXPECT_EQ(readAt(s, 2000000, 100), slice(old, 2000000, 100));  // window 1,999,872 .. 6,190,080
    writeAt(s, 0, fresh);
    // A byte inside the old window's range: a kept window would take it, turn
    // dirty and later write its older copy back over the direct write.
    writeAt(s, kBlock + 10, one);
    EXPECT_EQ(readAt(s, 2000000, 100), slice(fresh, 2000000, 100));
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(readAll(path), patched(patched(old, 0, fresh), kBlock + 10, one));
}

// Opening another file first finishes the old one's encipherment: the bytes
// still held back (5 of a 4,190,213-byte write) reach the old file as its
// filled last block, where dropping them would lose what the caller wrote.
TEST_F(FileStream, OpenFinishesTheEncipheringOfThePreviousFile) {
    Enciphering on;
    const Bytes data = patternBytes(4190213);
    VELD_FileStream s(path.c_str(), "w+b", true);
    ASSERT_EQ(s.Write(data.data(), data.size()), data.size());
    ASSERT_EQ(s.Open(dir.file("b").c_str(), "wb"), 1);
    EXPECT_EQ(readAll(path).size(), 4190224u);
    EXPECT_EQ(s.Close(), 1);
    VELD_FileStream back(path.c_str(), "rb", true);
    // A new object knows no filler: the last block reads whole, data first.
    const Bytes read = readToEnd(back, 4096);
    ASSERT_EQ(read.size(), 4190224u);
    EXPECT_EQ(slice(read, 0, data.size()), data);
}

TEST_F(FileStream, EncipheredRoundTripThroughOneStream) {
    Enciphering on;
    const Bytes data = patternBytes(5000003);
    VELD_FileStream s(path.c_str(), "w+b", true);
    const std::size_t pieces[] = {1, 777, 4093, 65537, 13};
    for (std::size_t at = 0, i = 0; at < data.size(); ++i) {
        const std::size_t n = std::min(pieces[i % 5], data.size() - at);
        ASSERT_EQ(s.Write(data.data() + at, n), n);
        at += n;
    }
    EXPECT_EQ(s.Close(), 1);
    const Bytes disk = readAll(path);
    EXPECT_EQ(disk.size(), 5000016u);
    EXPECT_NE(slice(disk, 0, 64), slice(data, 0, 64));
    // Every refill starts on a cipher block; the last one drops the filler.
    ASSERT_EQ(s.Seek(0, kStart), 0);
    EXPECT_EQ(readToEnd(s, 100003), data);
}

TEST_F(FileStream, FailuresRaiseAndLeaveTheStreamUsable) {
    const Bytes data = patternBytes(10000), big = patternBytes(kBlock, 5);
    const int fromDestructor = raisedCode([&] {
        VELD_FileStream s(file(data), "r+b");
        seam.failNth(Call::Read, 1, EIO);
        EXPECT_EQ(raisedCode([&] { readN(s, 100); }), 1003);
        EXPECT_EQ(s.Good(), 0);
        s.Clear();
        EXPECT_EQ(readN(s, 100), slice(data, 0, 100));

        // A failed flush keeps the bytes unwritten for the next one.
        writeAt(s, 0, slice(big, 0, 10));
        seam.failNth(Call::Write, 1, EIO);
        EXPECT_EQ(raisedCode([&] { s.Flush(); }), 1002);
        EXPECT_EQ(s.Flush(), 1);
        EXPECT_EQ(readAll(path), patched(data, 0, slice(big, 0, 10)));

        // So does the write of a window that has filled.
        s.Clear();
        seam.failNth(Call::Write, 1, ENOSPC);
        EXPECT_EQ(raisedCode([&] { s.Write(big.data(), kBlock); }), 1002);
        EXPECT_EQ(s.Good(), 0);
        seam.failFrom(Call::Write, 1, ENOSPC);
        EXPECT_EQ(raisedCode([&] { s.Close(); }), 1002);
    });
    // The destructor's flush fails as Close did, and says so.
    EXPECT_EQ(fromDestructor, 1002);
    EXPECT_EQ(readAll(path), patched(data, 0, slice(big, 0, 10)));

    // While another error unwinds the stack, the destructor's own is dropped.
    const auto first = raised<std::out_of_range>([&] {
        VELD_FileStream s(path.c_str(), "r+b");
        writeAt(s, 0, slice(big, 0, 10));  // the disk is still full
        throw std::out_of_range("first");
    });
    ASSERT_TRUE(first.has_value());
    EXPECT_STREQ(first->what(), "first");
}
