// Damaged, truncated and hostile compressed files: each ends in a precise
// check, at every read setting, and never in a crash, an overrun or a hang.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "CompressedFiles.h"
#include "TestFiles.h"
#include "ThrowError.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "crt_seam.h"
#include "zcmpsFilestr.h"

using namespace veldtest;

namespace {

constexpr std::int64_t kBlock = 4190208;
constexpr std::int64_t P = 1000;

struct Damage {
    const char* name;
    std::function<void(std::vector<unsigned char>&, const RawLayout&)> apply;
    const char* expectedText;  // nullptr: a check of the library's own wording
};

void putI64(std::vector<unsigned char>& f, std::int64_t at, std::int64_t v) { std::memcpy(&f[at], &v, 8); }
void putI32(std::vector<unsigned char>& f, std::int64_t at, std::int32_t v) { std::memcpy(&f[at], &v, 4); }

// Reads everything at the setting; returns the failed check's text, or "" when none failed.
std::string readOutcome(const std::string& path, int setting, std::string* detail = nullptr) {
    try {
        readCases(path, P, setting);
    } catch (const veld::CheckFailure& e) {
        if (detail) *detail = e.detail();
        return e.expression();
    }
    return "";
}

class DamagedFile : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(DamagedFile, EveryDamageEndsInItsCheck) {
    const std::vector<Damage> damages = {
        {"heading names another position", [](auto& f, auto&) { putI64(f, P, P + 1); },
         "posofpos == chInfo._caseStartPos && \"Analyze dictionary part error!\""},
        {"table cut short", [](auto& f, auto& l) { f.resize(static_cast<std::size_t>(l.infoPos + 30)); },
         "ret == chInfo._size"},
        {"table length beyond the file", [](auto& f, auto&) { putI64(f, P + 16, std::int64_t(1) << 40); },
         "ret == chInfo._size"},
        {"first record mark", [](auto& f, auto& l) { putI64(f, l.infoPos, -99); },
         "firstRecord.orginalPos == -100"},
        {"first record block size", [](auto& f, auto& l) { putI32(f, l.infoPos + 16, 0); },
         "firstRecord.orginalSize > 0"},
        {"first record count", [](auto& f, auto& l) { putI32(f, l.infoPos + 20, -1); },
         "firstRecord.translateSize >= 0"},
        {"count beyond the table", [](auto& f, auto& l) { putI32(f, l.infoPos + 20, 1000); }, nullptr},
        {"record larger than the buffers",
         [](auto& f, auto& l) { putI32(f, l.infoPos + 24 + 20, static_cast<std::int32_t>(kBlock * 2)); }, nullptr},
        {"record of no bytes", [](auto& f, auto& l) { putI32(f, l.infoPos + 24 + 16, 0); }, nullptr},
        {"flipped payload bytes",
         [](auto& f, auto& l) {
             for (int i = 0; i < 64; ++i) f[l.blocks[1].translatePos + 100 + i] ^= 0x5a;
         },
         nullptr},
        {"payload inflates to fewer bytes",
         [](auto& f, auto& l) { putI32(f, l.infoPos + 24 * 3 + 16, l.blocks[2].orginalSize - 1); }, nullptr},
        {"payload offset negative", [](auto& f, auto& l) { putI64(f, l.infoPos + 24 + 8, -5000); }, nullptr},
    };
    TempDir dir;
    PackOptions options;
    options.flushAfter = {kBlock + 10};
    const auto data = caseRecords(2 * kBlock + 50, 11);
    packFile(dir.file("good"), patternBytes(P), data, options);
    const auto good = readAll(dir.file("good"));
    const RawLayout layout = readLayout(good, P);
    ASSERT_EQ(layout.blocks.size(), 4u);  // full, 10 bytes (flushed), full, 40
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        auto file = good;
        d.apply(file, layout);
        writeAll(dir.file("bad"), file);
        const std::string text = readOutcome(dir.file("bad"), GetParam());
        if (d.expectedText)
            EXPECT_EQ(text, d.expectedText);
        else
            EXPECT_FALSE(text.empty()) << "damage went unnoticed";
    }
}

TEST_P(DamagedFile, FileCutInsideAPayload) {
    TempDir dir;
    const auto data = caseRecords(2 * kBlock, 12);
    packFile(dir.file("f"), patternBytes(P), data);
    auto file = readAll(dir.file("f"));
    const RawLayout layout = readLayout(file, P);
    // Keep the table readable by moving it into the dictionary part (readers go
    // only where the heading points), then cut the file inside the last payload.
    std::vector<unsigned char> table(file.begin() + layout.infoPos, file.end());
    std::copy(table.begin(), table.end(), file.begin());
    putI64(file, P + 8, 0);
    file.resize(static_cast<std::size_t>(layout.blocks[1].translatePos + layout.blocks[1].translateSize / 2));
    writeAll(dir.file("f"), file);
    std::string detail;
    EXPECT_FALSE(readOutcome(dir.file("f"), GetParam(), &detail).empty());
}

TEST_P(DamagedFile, FlippedByteInAStoredBlockIsRefusedThoughItsSizeIsRight) {
    TempDir dir;
    const auto data = patternBytes(300000, 13);  // incompressible: stored, every byte verbatim
    packFile(dir.file("f"), patternBytes(P), data);
    auto file = readAll(dir.file("f"));
    const RawLayout layout = readLayout(file, P);
    file[layout.blocks[0].translatePos + 5000] ^= 0x01;
    writeAll(dir.file("f"), file);
    std::string detail;
    const std::string text = readOutcome(dir.file("f"), GetParam(), &detail);
    EXPECT_FALSE(text.empty()) << "the checksum must catch a flip that keeps the size";
    EXPECT_NE(detail.find("block 0"), std::string::npos) << detail;
}

TEST_P(DamagedFile, UnfinishedFileIsRefusedAtTheHeading) {
    TempDir dir;
    VELD_FileStream stream(dir.file("f").c_str(), "wb");
    stream.Write(patternBytes(P).data(), P);
    {
        zcmpsFilestr z(stream);
        z.setRow0Pos(P);
        z.Seek(P, VELD_StrBaseIO::FromStart);
        const auto data = caseRecords(kBlock + 10);
        z.Write(data.data(), data.size());
        // Simulate a crash: the heading is never written.
        auto file = readAll(dir.file("f"));
        writeAll(dir.file("copy"), file);
    }
    VELD_FileStream reader(dir.file("copy").c_str(), "rb");
    zcmpsFilestr z(reader);
    if (GetParam()) z.setMultiThread(GetParam());
    try {
        z.readFilePosInfo(P, false);
        FAIL();
    } catch (const veld::CheckFailure& e) {
        EXPECT_EQ(e.expression(), "posofpos == chInfo._caseStartPos && \"Analyze dictionary part error!\"");
    }
}

TEST_P(DamagedFile, DiskErrorWhileReadingComesOutOnTheCallersThread) {
    TempDir dir;
    const auto data = caseRecords(3 * kBlock, 14);
    packFile(dir.file("f"), patternBytes(P), data);
    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    zcmpsFilestr z(stream);
    if (GetParam()) z.setMultiThread(GetParam());
    z.readFilePosInfo(P, false);
    std::vector<unsigned char> buf(1 << 20);
    veld::crt::CrtSeam seam;
    seam.failFrom(veld::crt::Call::Read, 2, EIO);
    bool raised = false;
    try {
        while (z.Read(buf.data(), buf.size()) > 0) {
        }
    } catch (const veld::DataSourceError& e) {
        raised = true;
        EXPECT_EQ(e.code(), 1003);
    }
    EXPECT_TRUE(raised);
}

INSTANTIATE_TEST_SUITE_P(Settings, DamagedFile, ::testing::Values(0, 2));
