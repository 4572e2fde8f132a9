#include "VELD_FileStream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "TestFiles.h"
#include "ThrowError.h"
#include "cipher.h"
#include "crt_seam.h"

using veld::crt::Call;
using veld::crt::CallRecord;
using veld::crt::CrtSeam;
using veldtest::patternBytes;
using veldtest::readAll;
using veldtest::TempDir;
using veldtest::writeAll;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr std::uint64_t kBlock = 4190208;

// Reaches the protected queries.
struct ProbeStream : VELD_FileStream {
    using VELD_FileStream::VELD_FileStream;
    using VELD_FileStream::DataReady;
};

Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
}

Bytes readN(VELD_FileStream& s, std::size_t n) {
    Bytes out(n);
    out.resize(s.Read(out.data(), n));
    return out;
}

void expectIo(const CallRecord& r, std::int64_t position, std::uint64_t count, std::int64_t result) {
    EXPECT_EQ(r.position, position);
    EXPECT_EQ(r.count, count);
    EXPECT_EQ(r.result, result);
}

}  // namespace

TEST(FileStream, WithoutFileEverythingIsInert) {
    ProbeStream s, other;
    char b[4] = {};
    EXPECT_EQ(s.Tell(), 0);
    EXPECT_EQ(s.Footprint(), 4190264u);
    EXPECT_EQ(s.Read(b, 4), 0u);
    EXPECT_EQ(s.Write(b, 4), 0u);
    EXPECT_EQ(s.Seek(10, VELD_StrBaseIO::FromStart), -1);
    EXPECT_EQ(s.Close(), 0);
    EXPECT_EQ(s.Name(), nullptr);
    EXPECT_TRUE(s.GetNameStr().GetGeneric().empty());
    EXPECT_EQ(&s.GetNameStr(), &other.GetNameStr());
    EXPECT_FALSE(s.IsShared());
    EXPECT_FALSE(s.DataReady());
    EXPECT_EQ(s.Good(), 1);
}

TEST(FileStream, SmallReadsRefillOnceFromZero) {
    TempDir dir;
    const Bytes data = patternBytes(10000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
    EXPECT_EQ(s.Tell(), 100);
    auto reads = seam.calls(Call::Read);
    ASSERT_EQ(reads.size(), 1u);
    expectIo(reads[0], 0, kBlock, 10000);
    EXPECT_EQ(readN(s, 100), slice(data, 100, 100));
    EXPECT_EQ(seam.calls(Call::Read).size(), 1u);
}

TEST(FileStream, LargeReadGoesStraightThenRefills) {
    TempDir dir;
    const Bytes data = patternBytes(6000000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    EXPECT_EQ(readN(s, 5000000), slice(data, 0, 5000000));
    auto reads = seam.calls(Call::Read);
    ASSERT_EQ(reads.size(), 2u);
    expectIo(reads[0], 0, 4999680, 4999680);
    expectIo(reads[1], 4999680, kBlock, 6000000 - 4999680);
    // The refilled window serves what follows.
    EXPECT_EQ(readN(s, 1000), slice(data, 5000000, 1000));
    EXPECT_EQ(seam.calls(Call::Read).size(), 2u);
}

TEST(FileStream, SeekMovesOnlyThePosition) {
    TempDir dir;
    const Bytes data = patternBytes(5000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "r+b");
    EXPECT_EQ(s.Seek(1000, VELD_StrBaseIO::FromStart), 0);
    EXPECT_TRUE(seam.calls(Call::Read).empty());
    EXPECT_EQ(readN(s, 10), slice(data, 1000, 10));
    auto reads = seam.calls(Call::Read);
    ASSERT_EQ(reads.size(), 1u);
    expectIo(reads[0], 512, kBlock, 5000 - 512);

    EXPECT_EQ(s.Seek(-1014, VELD_StrBaseIO::FromCurrent), 0);
    EXPECT_EQ(s.Tell(), -4);
    EXPECT_EQ(s.Seek(0, static_cast<VELD_StrBaseIO::SeekDirection>(7)), 0);
    EXPECT_EQ(s.Tell(), 0);

    // The end counts unwritten bytes that reach past the file.
    ASSERT_EQ(s.Seek(4990, VELD_StrBaseIO::FromStart), 0);
    const Bytes more = patternBytes(100, 7);
    ASSERT_EQ(s.Write(more.data(), more.size()), 100u);
    EXPECT_EQ(s.Seek(0, VELD_StrBaseIO::FromEnd), 0);
    EXPECT_EQ(s.Tell(), 5090);
    EXPECT_EQ(s.Seek(-5090, VELD_StrBaseIO::FromEnd), 0);
    EXPECT_EQ(s.Tell(), 0);
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

    Bytes all;
    for (Bytes piece; !(piece = readN(s, 3000)).empty();) all.insert(all.end(), piece.begin(), piece.end());
    EXPECT_EQ(all, data);

    // A refill at the end rounded down to 512 finds the last few bytes, but
    // none at the position: the data has ended, yet the refill was not empty.
    const bool emptyRefill = mode == ReadMode::Direct || size % 512 == 0;
    for (std::uint64_t ask : {std::uint64_t{10}, kBlock}) {
        SCOPED_TRACE(ask);
        ASSERT_EQ(s.Seek(static_cast<std::int64_t>(size), VELD_StrBaseIO::FromStart), 0);
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

TEST(FileStream, SmallWritesGatherIntoWholeWindows) {
    TempDir dir;
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "wb");
    const Bytes data = patternBytes(4191 * 1000);
    for (int i = 0; i < 4190; ++i) ASSERT_EQ(s.Write(data.data() + i * 1000, 1000), 1000u);
    EXPECT_TRUE(seam.calls(Call::Write).empty());
    ASSERT_EQ(s.Write(data.data() + 4190 * 1000, 1000), 1000u);
    auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 1u);
    expectIo(writes[0], 0, kBlock, kBlock);
    EXPECT_EQ(s.Tell(), 4191000);
    EXPECT_EQ(s.Close(), 1);
    writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 2u);
    expectIo(writes[1], kBlock, 792, 792);
    EXPECT_EQ(readAll(dir.file("f")), data);
}

TEST(FileStream, WholeWindowWriteGoesStraightToTheFile) {
    TempDir dir;
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "w+b");
    const Bytes data = patternBytes(kBlock);
    ASSERT_EQ(s.Write(data.data(), kBlock), kBlock);
    auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 1u);
    expectIo(writes[0], 0, kBlock, kBlock);
    // Nothing was left in the window to write.
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(seam.calls(Call::Write).size(), 1u);
    EXPECT_EQ(readAll(dir.file("f")), data);
}

TEST(FileStream, WindowServesUnwrittenBytesAndMovesWithTheWriter) {
    TempDir dir;
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "w+b");
    const Bytes a = patternBytes(100, 1), b = patternBytes(10, 2);
    ASSERT_EQ(s.Write(a.data(), 100), 100u);
    ASSERT_EQ(s.Seek(0, VELD_StrBaseIO::FromStart), 0);
    EXPECT_EQ(readN(s, 10), slice(a, 0, 10));
    EXPECT_TRUE(seam.calls(Call::Write).empty());
    EXPECT_TRUE(seam.calls(Call::Read).empty());

    ASSERT_EQ(s.Seek(200, VELD_StrBaseIO::FromStart), 0);
    ASSERT_EQ(s.Write(b.data(), 10), 10u);
    auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 1u);
    expectIo(writes[0], 0, 100, 100);
    EXPECT_EQ(s.Close(), 1);
    writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 2u);
    expectIo(writes[1], 200, 10, 10);

    Bytes expected = a;
    expected.resize(200, 0);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(readAll(dir.file("f")), expected);
}

TEST(FileStream, ClearAndResetDropsUnwrittenBytes) {
    TempDir dir;
    VELD_FileStream s(dir.file("f").c_str(), "w+b");
    const Bytes a = patternBytes(100);
    ASSERT_EQ(s.Write(a.data(), 100), 100u);
    s.ClearAndReset();
    EXPECT_EQ(s.Tell(), 0);
    EXPECT_EQ(s.Seek(0, VELD_StrBaseIO::FromEnd), 0);
    EXPECT_EQ(s.Tell(), 0);
    EXPECT_EQ(s.Close(), 1);
    EXPECT_TRUE(readAll(dir.file("f")).empty());
}

TEST(FileStream, CloseFinishesWritingButKeepsTheFileOpen) {
    TempDir dir;
    VELD_FileStream s(dir.file("f").c_str(), "w+b");
    const Bytes a = patternBytes(300);
    ASSERT_EQ(s.Write(a.data(), 300), 300u);
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(readAll(dir.file("f")), a);
    EXPECT_EQ(s.Close(), 1);
    ASSERT_EQ(s.Seek(0, VELD_StrBaseIO::FromStart), 0);
    EXPECT_EQ(readN(s, 300), a);
    EXPECT_STREQ(s.Name(), dir.file("f").c_str());
}

TEST(FileStream, CopyWritesTheSourceAndSharesTheFile) {
    TempDir dir;
    auto src = std::make_unique<VELD_FileStream>(dir.file("f").c_str(), "w+b");
    const Bytes a = patternBytes(100);
    ASSERT_EQ(src->Write(a.data(), 100), 100u);
    EXPECT_FALSE(src->IsShared());
    VELD_FileStream copy(*src);
    EXPECT_EQ(readAll(dir.file("f")), a);
    EXPECT_TRUE(src->IsShared());
    EXPECT_TRUE(copy.IsShared());
    EXPECT_EQ(copy.Tell(), 0);
    EXPECT_EQ(src->Tell(), 100);
    src.reset();
    EXPECT_FALSE(copy.IsShared());
    EXPECT_EQ(readN(copy, 1000), a);
}

TEST(FileStream, OpenResults) {
    TempDir dir;
    VELD_FileStream missing;
    EXPECT_EQ(missing.Open(dir.file("none").c_str(), "rb"), 0);
    EXPECT_EQ(missing.Good(), 0);
    char b[10];
    EXPECT_EQ(missing.Read(b, 10), 0u);
    EXPECT_EQ(missing.Seek(0, VELD_StrBaseIO::FromStart), -1);
    EXPECT_STREQ(missing.Name(), dir.file("none").c_str());
    missing.Clear();
    EXPECT_EQ(missing.Good(), 1);

    writeAll(dir.file("hundred"), patternBytes(100));
    VELD_FileStream append;
    EXPECT_EQ(append.Open(dir.file("hundred").c_str(), "ab"), 1);
    EXPECT_EQ(append.Tell(), 100);
    const Bytes tail = patternBytes(10, 9);
    ASSERT_EQ(append.Write(tail.data(), 10), 10u);
    EXPECT_EQ(append.Close(), 1);
    Bytes expected = patternBytes(100);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(readAll(dir.file("hundred")), expected);
}

TEST(FileStream, OpeningAnotherFileNeverMixesTheTwo) {
    TempDir dir;
    const Bytes a = patternBytes(8000, 1), b = patternBytes(8000, 2);
    writeAll(dir.file("a"), a);
    writeAll(dir.file("b"), b);
    VELD_FileStream s(dir.file("a").c_str(), "r+b");
    EXPECT_EQ(readN(s, 100), slice(a, 0, 100));

    // A clean window of the old file is not served as the new file's bytes.
    ASSERT_EQ(s.Open(dir.file("b").c_str(), "r+b"), 1);
    EXPECT_EQ(readN(s, 100), slice(b, 0, 100));

    // Unwritten bytes belong to the file they were written to.
    const Bytes patch = patternBytes(50, 3);
    ASSERT_EQ(s.Seek(10, VELD_StrBaseIO::FromStart), 0);
    ASSERT_EQ(s.Write(patch.data(), 50), 50u);
    ASSERT_EQ(s.Open(dir.file("a").c_str(), "r+b"), 1);
    EXPECT_EQ(readN(s, 8000), a);
    EXPECT_EQ(s.Close(), 1);
    Bytes patched = b;
    std::memcpy(patched.data() + 10, patch.data(), 50);
    EXPECT_EQ(readAll(dir.file("b")), patched);
    EXPECT_EQ(readAll(dir.file("a")), a);
}

TEST(FileStream, DirectWriteOverACleanWindowWins) {
    TempDir dir;
    const Bytes old = patternBytes(7000000, 1);
    writeAll(dir.file("f"), old);
    VELD_FileStream s(dir.file("f").c_str(), "r+b");
    ASSERT_EQ(s.Seek(2000000, VELD_StrBaseIO::FromStart), 0);
    EXPECT_EQ(readN(s, 100), slice(old, 2000000, 100));  // window 1,999,872 .. 6,190,080

    const Bytes fresh = patternBytes(kBlock, 2);
    ASSERT_EQ(s.Seek(0, VELD_StrBaseIO::FromStart), 0);
    ASSERT_EQ(s.Write(fresh.data(), kBlock), kBlock);
    // A byte inside the old window's range: a kept window would take it, turn
    // dirty and later write its older copy back over the direct write.
    const unsigned char one = 0x5A;
    ASSERT_EQ(s.Seek(kBlock + 10, VELD_StrBaseIO::FromStart), 0);
    ASSERT_EQ(s.Write(&one, 1), 1u);
    ASSERT_EQ(s.Seek(2000000, VELD_StrBaseIO::FromStart), 0);
    EXPECT_EQ(readN(s, 100), slice(fresh, 2000000, 100));
    EXPECT_EQ(s.Close(), 1);
    Bytes expected = old;
    std::memcpy(expected.data(), fresh.data(), kBlock);
    expected[kBlock + 10] = one;
    EXPECT_EQ(readAll(dir.file("f")), expected);
}

TEST(FileStream, EncipheredRoundTripThroughOneStream) {
    struct KeepEncrypt {
        KeepEncrypt() {
            unsigned char key[veld::kCipherKeyBytes];
            for (int i = 0; i < veld::kCipherKeyBytes; ++i) key[i] = static_cast<unsigned char>(i * 7);
            veld::SetCipherKey(key, sizeof key);
            SetKeepEncrypt(true);
        }
        ~KeepEncrypt() {
            SetKeepEncrypt(false);
            veld::ClearCipherKey();
        }
    } keep;
    TempDir dir;
    const Bytes data = patternBytes(5000003);
    VELD_FileStream s(dir.file("f").c_str(), "w+b", true);
    const std::size_t pieces[] = {1, 777, 4093, 65537, 13};
    for (std::size_t at = 0, i = 0; at < data.size(); ++i) {
        const std::size_t n = std::min(pieces[i % 5], data.size() - at);
        ASSERT_EQ(s.Write(data.data() + at, n), n);
        at += n;
    }
    EXPECT_EQ(s.Close(), 1);
    const Bytes disk = readAll(dir.file("f"));
    EXPECT_EQ(disk.size(), 5000016u);
    EXPECT_NE(slice(disk, 0, 64), slice(data, 0, 64));

    // Every refill starts on a cipher block; the last one drops the filler.
    ASSERT_EQ(s.Seek(0, VELD_StrBaseIO::FromStart), 0);
    Bytes all;
    for (Bytes piece; !(piece = readN(s, 100003)).empty();) all.insert(all.end(), piece.begin(), piece.end());
    EXPECT_EQ(all, data);
}

TEST(FileStreamFailure, ReadRaisesAndLeavesTheStreamUsable) {
    TempDir dir;
    const Bytes data = patternBytes(10000);
    writeAll(dir.file("f"), data);
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "rb");
    seam.failNth(Call::Read, 1, EIO);
    char b[100];
    try {
        s.Read(b, 100);
        FAIL() << "no error";
    } catch (const veld::DataSourceError& e) {
        EXPECT_EQ(e.code(), 1003);
    }
    EXPECT_EQ(s.Good(), 0);
    s.Clear();
    EXPECT_EQ(readN(s, 100), slice(data, 0, 100));
}

TEST(FileStreamFailure, WriteRaises) {
    TempDir dir;
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "wb");
    seam.failNth(Call::Write, 1, ENOSPC);
    const Bytes data = patternBytes(kBlock);
    EXPECT_THROW(s.Write(data.data(), kBlock), veld::DataSourceError);
    EXPECT_EQ(s.Good(), 0);
}

TEST(FileStreamFailure, FlushRaisesAndKeepsTheBytesUnwritten) {
    TempDir dir;
    CrtSeam seam;
    VELD_FileStream s(dir.file("f").c_str(), "wb");
    const Bytes data = patternBytes(10);
    ASSERT_EQ(s.Write(data.data(), 10), 10u);
    seam.failNth(Call::Write, 1, EIO);
    EXPECT_THROW(s.Flush(), veld::DataSourceError);
    EXPECT_EQ(s.Flush(), 1);
    EXPECT_EQ(readAll(dir.file("f")), data);
}

TEST(FileStreamFailure, CloseRaisesAndDestructionDoesNot) {
    TempDir dir;
    CrtSeam seam;
    const Bytes data = patternBytes(10);
    {
        VELD_FileStream s(dir.file("f").c_str(), "wb");
        ASSERT_EQ(s.Write(data.data(), 10), 10u);
        seam.failFrom(Call::Write, 1, ENOSPC);
        try {
            s.Close();
            FAIL() << "no error";
        } catch (const veld::DataSourceError& e) {
            EXPECT_EQ(e.code(), 1002);
        }
    }  // the destructor's flush fails too, and is swallowed
    EXPECT_TRUE(readAll(dir.file("f")).empty());
}
