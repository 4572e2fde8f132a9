// Damaged, truncated and hostile compressed files: each ends in a precise
// check, at every read setting, and never in a crash, an overrun or a hang.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "crt_seam.h"
#include "zcmpsFilestr.h"

using namespace veldtest;

namespace {

constexpr std::int64_t P = 1000;

void putI64(Bytes& f, std::int64_t at, std::int64_t v) { std::memcpy(&f[at], &v, 8); }
void putI32(Bytes& f, std::int64_t at, std::int32_t v) { std::memcpy(&f[at], &v, 4); }

struct Damage {
    const char* name;
    std::function<void(Bytes&, const RawLayout&)> apply;
    const char* text;   // nullptr: a check of the library's own wording
    const char* where;  // nullptr, or what the failure's detail must name
};

class DamagedFile : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(DamagedFile, EveryDamageEndsInItsCheck) {
    const std::vector<Damage> damages = {
        {"heading names another position", [](auto& f, auto&) { putI64(f, P, P + 1); },
         "posofpos == chInfo._caseStartPos && \"Analyze dictionary part error!\"", nullptr},
        {"table cut short", [](auto& f, auto& l) { f.resize(static_cast<std::size_t>(l.infoPos + 30)); },
         "ret == chInfo._size", nullptr},
        {"table length beyond the file", [](auto& f, auto&) { putI64(f, P + 16, std::int64_t(1) << 40); },
         "ret == chInfo._size", nullptr},
        {"first record mark", [](auto& f, auto& l) { putI64(f, l.infoPos, -99); }, "firstRecord.orginalPos == -100",
         nullptr},
        {"first record block size", [](auto& f, auto& l) { putI32(f, l.infoPos + 16, 0); },
         "firstRecord.orginalSize > 0", nullptr},
        {"first record count", [](auto& f, auto& l) { putI32(f, l.infoPos + 20, -1); },
         "firstRecord.translateSize >= 0", nullptr},
        {"count beyond the table", [](auto& f, auto& l) { putI32(f, l.infoPos + 20, 1000); }, nullptr, nullptr},
        {"record larger than the buffers",
         [](auto& f, auto& l) { putI32(f, l.infoPos + 24 + 20, static_cast<std::int32_t>(kBlock * 2)); }, nullptr,
         nullptr},
        {"record of no bytes", [](auto& f, auto& l) { putI32(f, l.infoPos + 24 + 16, 0); }, nullptr, nullptr},
        {"payload offset negative", [](auto& f, auto& l) { putI64(f, l.infoPos + 24 + 8, -5000); }, nullptr, nullptr},
        {"flipped payload bytes",
         [](auto& f, auto& l) {
             for (int i = 0; i < 64; ++i) f[l.blocks[0].translatePos + 100 + i] ^= 0x5a;
         },
         nullptr, "block 0 at offset"},
        // Stored data keeps its size when a byte flips: only the checksum tells.
        {"flipped byte in a stored block", [](auto& f, auto& l) { f[l.blocks[2].translatePos + 5000] ^= 1; },
         nullptr, "block 2 at offset"},
        {"payload inflates to fewer bytes",
         [](auto& f, auto& l) { putI32(f, l.infoPos + 24 * 5 + 16, l.blocks[4].orginalSize - 1); }, nullptr,
         "block 4 at offset"},
        // The table, moved into the dictionary part, stays readable; the file
        // then ends inside the stored block's payload.
        {"file cut inside a payload",
         [](auto& f, auto& l) {
             std::copy(f.begin() + l.infoPos, f.end(), f.begin());
             putI64(f, P + 8, 0);
             f.resize(static_cast<std::size_t>(l.blocks[2].translatePos + l.blocks[2].translateSize / 2));
         },
         nullptr, "block 2 at offset"},
    };
    TempDir dir;
    // Blocks: full, 10 bytes (flushed), two halves of a block that does not shrink, 40.
    auto data = textBytes(2 * kBlock + 50, 11);
    const auto noise = patternBytes(kBlock, 12);
    std::copy(noise.begin(), noise.end(), data.begin() + kBlock + 10);
    packFile(dir.file("good"), patternBytes(P), data, PackOptions{0, 100000, {kBlock + 10}});
    const auto good = readAll(dir.file("good"));
    const RawLayout layout = readLayout(good, P);
    ASSERT_EQ(layout.blocks.size(), 5u);
    ASSERT_GT(layout.blocks[2].translateSize, layout.blocks[2].orginalSize);
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        auto file = good;
        d.apply(file, layout);
        writeAll(dir.file("bad"), file);
        std::string detail;
        const std::string text = failedCheck([&] { readCases(dir.file("bad"), P, GetParam()); }, &detail);
        EXPECT_NE(text, "no check failed") << "damage went unnoticed";
        if (d.text) {
            EXPECT_EQ(text, d.text);
        }
        if (d.where) {
            EXPECT_NE(detail.find(d.where), std::string::npos) << detail;
        }
    }
}

// Values no writer produces are refused before any position is computed from
// them, for reading and for appending alike.
TEST(HostileTable, RefusedWhenLoadedForReadingAndForAppending) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::vector<Damage> cases = {
        {"last payload offset at the end of the range", [](auto& f, auto& l) { putI64(f, l.infoPos + 56, kMax - 10); },
         nullptr, nullptr},
        {"last block position at the end of the range", [](auto& f, auto& l) { putI64(f, l.infoPos + 48, kMax - 10); },
         nullptr, nullptr},
        {"table of no bytes", [](auto& f, auto&) { putI64(f, P + 16, 0); }, "tableBytes >= kRecordSize", nullptr},
    };
    TempDir dir;
    packFile(dir.file("good"), patternBytes(P), textBytes(2 * kBlock, 21));  // two full blocks
    const auto good = readAll(dir.file("good"));
    for (const Damage& h : cases) {
        SCOPED_TRACE(h.name);
        auto file = good;
        h.apply(file, readLayout(good, P));
        writeAll(dir.file("bad"), file);
        VELD_FileStream stream(dir.file("bad").c_str(), "rb");
        zcmpsFilestr z(stream);
        const std::string read = failedCheck([&] { z.readFilePosInfo(P, false); });
        EXPECT_NE(read, "no check failed") << "table accepted for reading";
        if (h.text) {
            EXPECT_EQ(read, h.text);
        }
        EXPECT_NE(failedCheck([&] { z.setFileToAppend(P + 2 * kBlock, false); }), "no check failed")
            << "table accepted for appending";
    }
}

TEST_P(DamagedFile, UnfinishedFileIsRefusedAtTheHeading) {
    TempDir dir;
    {
        CompressedWriter w(dir.file("f"), patternBytes(P));
        const auto data = textBytes(kBlock + 10);
        w.z->Write(data.data(), data.size());
        writeAll(dir.file("copy"), readAll(dir.file("f")));  // a crash: the heading is never written
    }
    VELD_FileStream reader(dir.file("copy").c_str(), "rb");
    zcmpsFilestr z(reader);
    if (GetParam()) z.setMultiThread(GetParam());
    EXPECT_EQ(failedCheck([&] { z.readFilePosInfo(P, false); }),
              "posofpos == chInfo._caseStartPos && \"Analyze dictionary part error!\"");
}

TEST_P(DamagedFile, DiskErrorWhileReadingComesOutOnTheCallersThread) {
    TempDir dir;
    packFile(dir.file("f"), patternBytes(P), textBytes(3 * kBlock, 14));
    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    zcmpsFilestr z(stream);
    if (GetParam()) z.setMultiThread(GetParam());
    z.readFilePosInfo(P, false);
    Bytes buf(1 << 20);
    veld::crt::CrtSeam seam;
    seam.failFrom(veld::crt::Call::Read, 2, EIO);
    EXPECT_EQ(raisedCode([&] { while (z.Read(buf.data(), buf.size()) > 0) continue; }), 1003);
}

INSTANTIATE_TEST_SUITE_P(Settings, DamagedFile, ::testing::Values(0, 2));
