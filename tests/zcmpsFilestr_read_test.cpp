// Reading and appending compressed data files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "CompressedFiles.h"
#include "TestFiles.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "crt_seam.h"
#include "zcmpsFilestr.h"

using namespace veldtest;

namespace {

constexpr std::int64_t kBlock = 4190208;

class CompressedRead : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
    int writeSetting() const { return std::get<0>(GetParam()); }
    int readSetting() const { return std::get<1>(GetParam()); }
};

std::unique_ptr<zcmpsFilestr> openReader(VELD_FileStream& stream, std::int64_t P, int setting,
                                         bool swap = false) {
    auto z = std::make_unique<zcmpsFilestr>(stream);
    if (setting) z->setMultiThread(setting);
    z->readFilePosInfo(P, swap);
    return z;
}

// Reverses the heading and every table field in place: the file as a machine
// of the other byte order would have written it.
void reverseLayout(std::vector<unsigned char>& file, std::int64_t P) {
    const RawLayout layout = readLayout(file, P);
    auto flip = [&file](std::int64_t at, int width) {
        std::reverse(file.begin() + at, file.begin() + at + width);
    };
    for (int i = 0; i < 3; ++i) flip(P + 8 * i, 8);
    for (std::size_t r = 0; r <= layout.blocks.size(); ++r) {
        const std::int64_t at = layout.infoPos + 24 * static_cast<std::int64_t>(r);
        flip(at, 8);
        flip(at + 8, 8);
        flip(at + 16, 4);
        flip(at + 20, 4);
    }
}

}  // namespace

TEST_P(CompressedRead, WholeAndRandomPiecesReadBackExactly) {
    TempDir dir;
    const auto dict = patternBytes(3000, 1);
    const auto data = caseRecords(3 * kBlock + kBlock / 2, 2);
    PackOptions options;
    options.setting = writeSetting();
    options.piece = 250000;
    options.flushAfter = {10, 5000000};
    packFile(dir.file("f"), dict, data, options);

    EXPECT_EQ(readCases(dir.file("f"), 3000, readSetting()), data);

    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    auto z = openReader(stream, 3000, readSetting());
    std::mt19937_64 random(42);
    std::vector<unsigned char> piece(kBlock + 100);
    for (int i = 0; i < 60; ++i) {
        const std::int64_t offset = static_cast<std::int64_t>(random() % data.size());
        const std::uint64_t length = i % 10 == 0 ? kBlock + 50 : random() % 70000;
        z->Seek(3000 + offset, VELD_StrBaseIO::FromStart);
        const std::uint64_t expected = std::min<std::uint64_t>(length, data.size() - offset);
        ASSERT_EQ(z->Read(piece.data(), length), expected);
        ASSERT_EQ(0, std::memcmp(piece.data(), data.data() + offset, expected)) << "at " << offset;
        EXPECT_EQ(z->Tell(), 3000 + offset + static_cast<std::int64_t>(expected));
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, CompressedRead,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Values(0, 2)));

TEST(CompressedReadEdges, EndOfDataAndPositionsOutsideTheBlocks) {
    TempDir dir;
    const auto data = caseRecords(10000);
    packFile(dir.file("f"), patternBytes(64), data);
    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    for (int setting : {0, 2}) {
        auto z = openReader(stream, 64, setting);
        std::vector<unsigned char> buf(1000);
        z->Seek(64 + 10000 - 100, VELD_StrBaseIO::FromStart);
        EXPECT_EQ(z->Read(buf.data(), 1000), 100u);
        EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + 9900, 100));
        EXPECT_EQ(z->Read(buf.data(), 1000), 0u);
        z->Seek(10, VELD_StrBaseIO::FromStart);  // inside the dictionary part: no block holds it
        EXPECT_EQ(z->Read(buf.data(), 10), 0u);
        z->Close();
    }
}

TEST(CompressedReadEdges, SeekInsideTheLoadedBlockTouchesNoFile) {
    TempDir dir;
    const auto data = caseRecords(50000);
    packFile(dir.file("f"), patternBytes(100), data);
    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    auto z = openReader(stream, 100, 0);
    std::vector<unsigned char> buf(500);
    z->Seek(100 + 1000, VELD_StrBaseIO::FromStart);
    ASSERT_EQ(z->Read(buf.data(), 500), 500u);
    veld::crt::CrtSeam seam;
    z->Seek(100 + 200, VELD_StrBaseIO::FromStart);
    ASSERT_EQ(z->Read(buf.data(), 500), 500u);
    EXPECT_EQ(0, std::memcmp(buf.data(), data.data() + 200, 500));
    EXPECT_TRUE(seam.calls().empty());
}

TEST(CompressedReadEdges, ReadBeforeTheTableIsLoadedIsRefused) {
    TempDir dir;
    packFile(dir.file("f"), patternBytes(100), caseRecords(100));
    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    zcmpsFilestr z(stream);
    char c;
    try {
        z.Read(&c, 1);
        FAIL();
    } catch (const veld::CheckFailure& e) {
        EXPECT_EQ(e.expression(), "pInfoBuffer != 0");
    }
}

namespace {
std::vector<unsigned char> appendTo(const std::string& path, std::int64_t P,
                                    const std::vector<unsigned char>& extra, bool swap = false) {
    VELD_FileStream stream(path.c_str(), "rb");
    zcmpsFilestr z(stream);
    z.readFilePosInfo(P, swap);
    std::vector<unsigned char> all;
    std::vector<unsigned char> buf(1 << 20);
    for (std::uint64_t n; (n = z.Read(buf.data(), buf.size())) > 0;)
        all.insert(all.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    z.setFileToAppend(z.Tell(), swap);
    z.Write(extra.data(), extra.size());
    z.Close();
    return all;
}
}  // namespace

TEST(CompressedAppend, NoBlockFullLastBlockAndShortLastBlock) {
    const std::vector<std::size_t> existing = {0, static_cast<std::size_t>(kBlock), 7, kBlock + 7};
    for (std::size_t before : existing) {
        SCOPED_TRACE(before);
        TempDir dir;
        const auto dict = patternBytes(200, 3);
        const auto old = caseRecords(before, 4);
        const auto extra = caseRecords(before == 7 ? 5 : 1234567, 5);
        packFile(dir.file("f"), dict, old);
        const RawLayout oldLayout = readLayout(readAll(dir.file("f")), 200);

        EXPECT_EQ(appendTo(dir.file("f"), 200, extra), old);

        const auto file = readAll(dir.file("f"));
        const RawLayout layout = readLayout(file, 200);
        std::vector<unsigned char> expected = old;
        expected.insert(expected.end(), extra.begin(), extra.end());
        EXPECT_EQ(inflateAll(file, layout), expected);
        EXPECT_EQ(readCases(dir.file("f"), 200, 2), expected);
        if (!oldLayout.blocks.empty()) {
            const RawRecord& last = oldLayout.blocks.back();
            if (last.orginalSize == kBlock) {
                ASSERT_GT(layout.blocks.size(), oldLayout.blocks.size());
                EXPECT_EQ(std::memcmp(&layout.blocks[oldLayout.blocks.size() - 1], &last, 24), 0)
                    << "a full last block stays as it was";
            } else {
                const RawRecord& rewritten = layout.blocks[oldLayout.blocks.size() - 1];
                EXPECT_EQ(rewritten.translatePos, last.translatePos) << "the short block is rewritten in place";
                EXPECT_EQ(rewritten.orginalPos, last.orginalPos);
            }
        }
    }
}

TEST(CompressedAppend, FileOfTheOtherByteOrderIsReadAndAppendedInNativeOrder) {
    TempDir dir;
    const auto old = caseRecords(kBlock + 99, 6);
    packFile(dir.file("f"), patternBytes(300), old);
    auto file = readAll(dir.file("f"));
    reverseLayout(file, 300);
    writeAll(dir.file("f"), file);
    EXPECT_EQ(readCases(dir.file("f"), 300, 0, true), old);
    const auto extra = caseRecords(1000, 7);
    EXPECT_EQ(appendTo(dir.file("f"), 300, extra, true), old);
    auto expected = old;
    expected.insert(expected.end(), extra.begin(), extra.end());
    EXPECT_EQ(readCases(dir.file("f"), 300, 0, false), expected) << "appending writes native order";
}

TEST(CompressedAppend, WrongEndPositionIsRefused) {
    TempDir dir;
    packFile(dir.file("full"), patternBytes(50), caseRecords(kBlock));
    packFile(dir.file("short"), patternBytes(50), caseRecords(100));
    const std::pair<const char*, const char*> cases[] = {{"full", "fData->fpos == endpos"},
                                                         {"short", "fFilePos == endpos"}};
    for (const auto& [name, text] : cases) {
        VELD_FileStream stream(dir.file(name).c_str(), "rb");
        zcmpsFilestr z(stream);
        z.readFilePosInfo(50, false);
        try {
            z.setFileToAppend(60, false);
            ADD_FAILURE() << name;
        } catch (const veld::CheckFailure& e) {
            EXPECT_EQ(e.expression(), text);
        }
    }
}
