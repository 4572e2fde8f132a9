// Reading and appending compressed data files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "CompressedFiles.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "crt_seam.h"
#include "zcmpsFilestr.h"

using namespace veldtest;

namespace {

std::unique_ptr<zcmpsFilestr> openReader(VELD_FileStream& stream, std::int64_t P, int setting) {
    auto z = std::make_unique<zcmpsFilestr>(stream);
    applySetting(*z, setting);
    z->readFilePosInfo(P, false);
    return z;
}

// Reads everything, opens for appending at the end, writes extra; returns what was read.
Bytes appendTo(const std::string& path, std::int64_t P, const Bytes& extra, bool swap = false,
               bool safely = false) {
    VELD_FileStream stream(path.c_str(), "rb");
    zcmpsFilestr z(stream);
    z.readFilePosInfo(P, swap);
    const Bytes all = readToEnd(z);
    if (safely)
        z.setFileToAppendSafely(z.Tell(), swap);
    else
        z.setFileToAppend(z.Tell(), swap);
    z.Write(extra.data(), extra.size());
    z.Close();
    return all;
}

Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class CompressedRead : public ::testing::TestWithParam<std::tuple<int, int>> {};

}  // namespace

TEST_P(CompressedRead, WholeAndRandomPiecesReadBackExactly) {
    const auto [writeSetting, readSetting] = GetParam();
    TempDir dir;
    const auto data = textBytes(3 * kBlock + kBlock / 2, 2);
    packFile(dir.file("f"), patternBytes(3000, 1), data, PackOptions{writeSetting, 250000, {10, 5000000}});
    EXPECT_EQ(readCases(dir.file("f"), 3000, readSetting), data);

    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    auto z = openReader(stream, 3000, readSetting);
    std::mt19937_64 random(42);
    for (int i = 0; i < 60; ++i) {
        const std::size_t offset = random() % data.size(), length = i % 10 == 0 ? kBlock + 50 : random() % 70000;
        const std::size_t expected = std::min(length, data.size() - offset);
        ASSERT_EQ(readAt(*z, 3000 + offset, length), slice(data, offset, expected)) << "at " << offset;
        EXPECT_EQ(z->Tell(), static_cast<std::int64_t>(3000 + offset + expected));
    }
    // Reads that start at a full block and take it whole (blocks begin at 10 and 5000000).
    for (const std::size_t offset : {std::size_t{10}, std::size_t{5000000}, std::size_t{10}}) {
        const std::size_t length = std::min<std::size_t>(2 * kBlock + 100, data.size() - offset);
        ASSERT_EQ(readAt(*z, 3000 + offset, length), slice(data, offset, length)) << "at " << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, CompressedRead,
                         ::testing::Combine(::testing::Values(0, 1, -2), ::testing::Values(0, 2, -1, -3)));

// Our writers keep payloads within the block size; another writer's payload
// up to zlib's worst case (a whole block that did not shrink) still reads.
// A block fetched ahead that fails changes nothing the caller sees: the raw
// file stays good and not at its end, and every call answers as at setting 0,
// also the one that needs that block, which meets the failure itself.
class CompressedReadAhead : public ::testing::TestWithParam<int> {};

TEST_P(CompressedReadAhead, FailedFetchAheadIsInvisible) {
    TempDir dir;
    const Bytes data = textBytes(3 * kBlock + 1000, 41);
    packFile(dir.file("f"), patternBytes(100), data);
    const RawLayout layout = readLayout(readAll(dir.file("f")), 100);
    ASSERT_EQ(layout.blocks.size(), 4u);
    auto transcript = [&](int setting) {
        std::vector<std::string> out;
        VELD_FileStream stream(dir.file("f").c_str(), "rb");
        auto z = openReader(stream, 100, setting);
        veld::crt::CrtSeam seam;
        seam.failAt(veld::crt::Call::Read, layout.blocks[2].translatePos, EIO);  // a bad region
        auto step = [&](std::int64_t at, std::size_t n) {
            z->Seek(100 + at, VELD_StrBaseIO::FromStart);
            int err = 0;
            const int code = raisedCode([&] {
                const Bytes got = readN(*z, n);
                out.push_back(got == slice(data, static_cast<std::size_t>(at), got.size())
                                  ? "read " + std::to_string(got.size())
                                  : "wrong bytes");
            }, &err);
            if (code) out.push_back("error " + std::to_string(code) + " " + std::to_string(err));
            out.push_back("good " + std::to_string(z->Good()) + " eof " + std::to_string(z->EndOfFile()));
        };
        step(0, kBlock);
        step(kBlock, kBlock);          // block 2 is fetched ahead now, and fails
        step(3 * kBlock, 1000);        // a jump past it, to the last block
        step(3 * kBlock + 500, 1000);  // the end of the data
        step(2 * kBlock + 7, 10);      // the block on the bad region
        stream.Clear();
        seam.stopFailing();
        step(2 * kBlock + 7, kBlock);
        return out;
    };
    const auto reference = transcript(0);
    ASSERT_EQ(reference.size(), 12u);
    EXPECT_EQ(reference[6], "read 500");
    EXPECT_EQ(reference[7], "good 1 eof 0") << "nothing failed before the block was needed";
    EXPECT_EQ(reference[8], "error 1003 " + std::to_string(EIO));
    EXPECT_EQ(reference[9], "good 0 eof 0");
    EXPECT_EQ(reference[10], "read " + std::to_string(kBlock));
    EXPECT_EQ(transcript(GetParam()), reference);
}

INSTANTIATE_TEST_SUITE_P(Settings, CompressedReadAhead, ::testing::Values(0, 2, 3, -2, -4));

TEST(CompressedReadEdges, PayloadLargerThanTheBlockSizeFromAnotherWriterReads) {
    const ReadSource s(patternBytes(kBlock + 10, 31), {std::size_t(kBlock), 10}, kBlock);
    ASSERT_GT(s.block(0).translateSize, kBlock);
    Bytes file = readAll(s.dir.file("case.dat"));
    const compressionHeading heading{1000, static_cast<std::int64_t>(file.size()), 72};
    veld::layout::encodeHeading(heading, file.data() + 1000);
    const Bytes table = tableBytes(s.records, kBlock);
    file.insert(file.end(), table.begin(), table.end());
    TempDir dir;
    writeAll(dir.file("f"), file);
    for (int setting : {0, 2}) EXPECT_TRUE(readCases(dir.file("f"), 1000, setting) == s.data) << setting;
}

TEST(CompressedReadEdges, EndOfDataPositionsOutsideTheBlocksAndSeeksInsideOne) {
    TempDir dir;
    const auto data = textBytes(10000);
    packFile(dir.file("f"), patternBytes(64), data);
    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    {
        zcmpsFilestr unloaded(stream);
        EXPECT_EQ(failedCheck([&] { char c; unloaded.Read(&c, 1); }), "pInfoBuffer != 0");
    }
    for (int setting : {0, 2}) {
        SCOPED_TRACE(setting);
        auto z = openReader(stream, 64, setting);
        EXPECT_EQ(readAt(*z, 64 + 9900, 1000), slice(data, 9900, 100));
        EXPECT_EQ(readN(*z, 1000), Bytes());
        EXPECT_EQ(readAt(*z, 10, 10), Bytes());  // inside the dictionary part: no block holds it
        // A seek back inside the loaded block touches no file.
        EXPECT_EQ(readAt(*z, 64 + 1000, 500), slice(data, 1000, 500));
        veld::crt::CrtSeam seam;
        EXPECT_EQ(readAt(*z, 64 + 200, 500), slice(data, 200, 500));
        EXPECT_TRUE(seam.calls().empty());
        z->Close();
    }
}

// The compressed stream counts itself an owner of its raw file, so that the
// base part letting go of it (an Open, or a writing Close's reopen) never
// leaves the stream on a deleted file once the source stream is gone.
TEST(CompressedReadEdges, TheRawFileOutlivesTheBasePartsOtherFile) {
    TempDir dir;
    const auto data = textBytes(10000);
    packFile(dir.file("f"), patternBytes(64), data);
    writeAll(dir.file("other"), patternBytes(100));
    for (int setting : {0, 2}) {
        SCOPED_TRACE(setting);
        auto source = std::make_unique<VELD_FileStream>(dir.file("f").c_str(), "rb");
        auto z = openReader(*source, 64, setting);
        source.reset();
        ASSERT_EQ(z->VELD_FileStream::Open(dir.file("other").c_str(), "rb"), 1);
        EXPECT_EQ(readAt(*z, 64 + 5000, 100), slice(data, 5000, 100));
        z->Close();
    }
}

TEST(CompressedAppend, NoBlockFullLastBlockAndShortLastBlock) {
    for (std::size_t before : {std::size_t{0}, std::size_t(kBlock), std::size_t{7}, std::size_t(kBlock + 7)}) {
        SCOPED_TRACE(before);
        TempDir dir;
        const auto old = textBytes(before, 4);
        const auto extra = textBytes(before == 7 ? 5 : 1234567, 5);
        packFile(dir.file("f"), patternBytes(200, 3), old);
        const RawLayout oldLayout = readLayout(readAll(dir.file("f")), 200);

        EXPECT_EQ(appendTo(dir.file("f"), 200, extra), old);

        const auto file = readAll(dir.file("f"));
        const RawLayout layout = readLayout(file, 200);
        EXPECT_EQ(inflateAll(file, layout), joined(old, extra));
        EXPECT_EQ(readCases(dir.file("f"), 200, 2), joined(old, extra));
        if (oldLayout.blocks.empty()) continue;
        const blockInfo& last = oldLayout.blocks.back();
        const blockInfo& now = layout.blocks[oldLayout.blocks.size() - 1];
        if (last.orginalSize == kBlock) {
            ASSERT_GT(layout.blocks.size(), oldLayout.blocks.size());
            EXPECT_EQ(std::memcmp(&now, &last, 24), 0) << "a full last block stays as it was";
        } else {
            EXPECT_EQ(now.translatePos, last.translatePos) << "the short block is rewritten in place";
            EXPECT_EQ(now.orginalPos, last.orginalPos);
            EXPECT_EQ(now.orginalSize, std::min<std::int64_t>(kBlock, last.orginalSize + extra.size()));
        }
    }
}

// The rewritten last block follows the writer's payload limit: noise makes it halved.
TEST(CompressedAppend, NoiseAppendedToAShortBlockIsHalvedInPlace) {
    TempDir dir;
    const auto old = textBytes(7, 4), extra = patternBytes(kBlock, 6);
    packFile(dir.file("f"), patternBytes(200, 3), old);
    const blockInfo last = readLayout(readAll(dir.file("f")), 200).blocks.back();
    appendTo(dir.file("f"), 200, extra);
    const auto file = readAll(dir.file("f"));
    const RawLayout layout = readLayout(file, 200);
    ASSERT_EQ(layout.blocks.size(), 3u);
    EXPECT_EQ(layout.blocks[0].translatePos, last.translatePos);
    EXPECT_EQ(layout.blocks[0].orginalSize, kBlock / 2);
    EXPECT_EQ(layout.blocks[2].orginalSize, 7);
    for (const blockInfo& r : layout.blocks) EXPECT_LE(r.translateSize, kBlock);
    for (int setting : {0, 2}) EXPECT_EQ(readCases(dir.file("f"), 200, setting), joined(old, extra));
}

// A refused end position leaves the stream reading as before; it may be
// corrected and tried again, and the blocks taken over are taken over once.
TEST(CompressedAppend, OneRecordPerBlockAfterARefusedEnd) {
    for (const std::int64_t old : {2 * kBlock, kBlock + 100}) {
        SCOPED_TRACE(old);
        TempDir dir;
        const auto data = textBytes(static_cast<std::size_t>(old), 22), extra = textBytes(10, 23);
        packFile(dir.file("f"), patternBytes(1000), data);
        const std::size_t oldBlocks = readLayout(readAll(dir.file("f")), 1000).blocks.size();
        {
            VELD_FileStream stream(dir.file("f").c_str(), "rb");
            zcmpsFilestr z(stream);
            z.readFilePosInfo(1000, false);
            z.Seek(1000 + old, VELD_StrBaseIO::FromStart);
            EXPECT_NE(failedCheck([&] { z.setFileToAppend(1000 + old + 1, false); }), "no check failed");
            EXPECT_EQ(readAt(z, 1000 + old - 50, 100), slice(data, data.size() - 50, 50));
            EXPECT_EQ(readAt(z, 1000, 10), slice(data, 0, 10));
            z.Seek(1000 + old, VELD_StrBaseIO::FromStart);
            z.setFileToAppend(1000 + old, false);
            z.Write(extra.data(), extra.size());
            z.Close();
        }
        const auto file = readAll(dir.file("f"));
        const RawLayout layout = readLayout(file, 1000);
        EXPECT_EQ(layout.blocks.size(), old % kBlock == 0 ? oldBlocks + 1 : oldBlocks);
        EXPECT_EQ(inflateAll(file, layout), joined(data, extra));
    }
}

TEST(CompressedAppend, FileOfTheOtherByteOrderIsReadAndAppendedInNativeOrder) {
    TempDir dir;
    const auto old = textBytes(kBlock + 99, 6);
    packFile(dir.file("f"), patternBytes(300), old);
    // Reverse the heading and every table field: the file as a machine of the
    // other byte order would have written it.
    auto file = readAll(dir.file("f"));
    const RawLayout layout = readLayout(file, 300);
    auto flip = [&file](std::int64_t at, int width) { std::reverse(file.begin() + at, file.begin() + at + width); };
    for (int i = 0; i < 3; ++i) flip(300 + 8 * i, 8);
    for (std::int64_t at = layout.infoPos; at < layout.infoPos + layout.size; at += 24) {
        flip(at, 8);
        flip(at + 8, 8);
        flip(at + 16, 4);
        flip(at + 20, 4);
    }
    writeAll(dir.file("f"), file);
    EXPECT_EQ(readCases(dir.file("f"), 300, 0, true), old);
    const auto extra = textBytes(1000, 7);
    EXPECT_EQ(appendTo(dir.file("f"), 300, extra, true), old);
    EXPECT_EQ(readCases(dir.file("f"), 300, 0, false), joined(old, extra)) << "appending writes native order";
}

// A reopen that fails leaves the read-ahead object attached, as everything else.
TEST(CompressedAppend, FailedReopenKeepsTheReadAhead) {
    TempDir dir;
    packFile(dir.file("f"), patternBytes(50), textBytes(kBlock + 10));
    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    zcmpsFilestr z(stream);
    z.setMultiThread(2);
    z.readFilePosInfo(50, false);
    readToEnd(z);
    veld::crt::CrtSeam seam;
    seam.failNth(veld::crt::Call::Open, 1, EACCES);
    EXPECT_TRUE(raised<SystemFileException>([&] { z.setFileToAppend(z.Tell(), false); }));
    EXPECT_EQ(failedCheck([&] { z.setMultiThread(0); }), "fData->fpIOThread == 0");
}

TEST(CompressedAppend, WrongEndPositionIsRefused) {
    TempDir dir;
    packFile(dir.file("full"), patternBytes(50), textBytes(kBlock));
    packFile(dir.file("short"), patternBytes(50), textBytes(100));
    for (const auto& [name, text] : {std::pair{"full", "fData->fpos == endpos"}, {"short", "fFilePos == endpos"}}) {
        VELD_FileStream stream(dir.file(name).c_str(), "rb");
        zcmpsFilestr z(stream);
        z.readFilePosInfo(50, false);
        EXPECT_EQ(failedCheck([&] { z.setFileToAppend(60, false); }), text) << name;
    }
}
