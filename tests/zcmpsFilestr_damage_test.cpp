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

// Reads the whole case data in pieces (1 MiB unless said) at a setting: the
// check that failed, its detail, and how many bytes came before it.
struct Outcome {
    std::string text, detail;
    std::size_t before = 0;
};
Outcome readUntilFailure(const std::string& path, int setting, std::size_t piece = 1 << 20) {
    Outcome o;
    o.text = failedCheck(
        [&] {
            VELD_FileStream stream(path.c_str(), "rb");
            zcmpsFilestr z(stream);
            if (setting) z.setMultiThread(setting);
            z.readFilePosInfo(P, false);
            Bytes buf(piece);
            while (const std::uint64_t n = z.Read(buf.data(), buf.size())) o.before += n;
        },
        &o.detail);
    return o;
}

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
        const Outcome seen = readUntilFailure(dir.file("bad"), GetParam());
        const std::string& text = seen.text;
        const std::string& detail = seen.detail;
        EXPECT_NE(text, "no check failed") << "damage went unnoticed";
        if (GetParam()) {
            // The same failure, in the same words, after the same bytes, as without a thread.
            const Outcome inline0 = readUntilFailure(dir.file("bad"), 0);
            EXPECT_EQ(text, inline0.text);
            EXPECT_EQ(detail, inline0.detail);
            EXPECT_EQ(seen.before, inline0.before);
        }
        // Pieces of a whole block and more: the same failure in the same words.
        const Outcome whole = readUntilFailure(dir.file("bad"), GetParam(), kBlock + 7);
        EXPECT_EQ(whole.text, text);
        EXPECT_EQ(whole.detail, detail);
        if (d.text) {
            EXPECT_EQ(text, d.text);
        }
        if (d.where) {
            EXPECT_NE(detail.find(d.where), std::string::npos) << detail;
        }
    }
}

// A record no writer produces fails the reads that need its block, and only
// those, before any position is computed from it; appending refuses the table.
TEST_P(DamagedFile, DamagedRecordFailsOnlyTheReadsOfItsBlock) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    struct Hostile {
        const char* name;
        std::size_t block;
        std::function<void(Bytes&, std::int64_t record)> apply;
        const char* text;
    };
    const std::vector<Hostile> cases = {
        {"payload offset at the end of the range", 2, [](auto& f, auto at) { putI64(f, at + 8, kMax - 10); },
         "record.translatePos <= kMaxPos - record.translateSize"},
        {"payload larger than the buffers", 1,
         [](auto& f, auto at) { putI32(f, at + 20, static_cast<std::int32_t>(kBlock * 2)); },
         "record.translateSize >= 0 && record.translateSize <= kMaxPayloadSize"},
        {"payload offset negative", 0, [](auto& f, auto at) { putI64(f, at + 8, -5000); }, "record.translatePos >= 0"},
        {"block of no bytes", 1, [](auto& f, auto at) { putI32(f, at + 16, 0); },
         "record.orginalSize >= 1 && record.orginalSize <= kBlockSize"},
        // Its own positions lie at the end of the range: reading there fails;
        // where the block should be, no record holds the positions.
        {"block position at the end of the range", 2, [](auto& f, auto at) { putI64(f, at, kMax - 10); },
         "record.orginalPos <= kMaxPos - record.orginalSize"},
    };
    TempDir dir;
    const auto data = textBytes(3 * kBlock, 21);  // three full blocks
    packFile(dir.file("good"), patternBytes(P), data);
    const auto good = readAll(dir.file("good"));
    const RawLayout layout = readLayout(good, P);
    for (const Hostile& h : cases) {
        SCOPED_TRACE(h.name);
        auto file = good;
        h.apply(file, layout.infoPos + 24 * static_cast<std::int64_t>(h.block + 1));
        writeAll(dir.file("bad"), file);
        {
            VELD_FileStream stream(dir.file("bad").c_str(), "rb");
            zcmpsFilestr z(stream);
            if (GetParam()) z.setMultiThread(GetParam());
            z.readFilePosInfo(P, false);
            for (std::size_t k = 0; k < 3; ++k) {
                const std::int64_t at = static_cast<std::int64_t>(k) * kBlock;
                if (k == h.block) {
                    const bool moved = h.text == std::string("record.orginalPos <= kMaxPos - record.orginalSize");
                    if (moved) EXPECT_EQ(readAt(z, P + at, 10), Bytes());
                    std::string detail;
                    EXPECT_EQ(failedCheck([&] { readAt(z, moved ? kMax - 5 : P + at + 5, 10); }, &detail), h.text);
                    EXPECT_NE(detail.find("block " + std::to_string(k) + " at offset"), std::string::npos) << detail;
                } else {
                    EXPECT_EQ(readAt(z, P + at + 5, 10), slice(data, at + 5, 10)) << k;
                }
            }
        }
        // Appending takes the file for itself once the reader is gone.
        VELD_FileStream again(dir.file("bad").c_str(), "rb");
        zcmpsFilestr appender(again);
        appender.readFilePosInfo(P, false);
        EXPECT_NE(failedCheck([&] { appender.setFileToAppend(P + 3 * kBlock, false); }), "no check failed")
            << "table accepted for appending";
    }
    // A table of no bytes has no first record.
    auto file = good;
    putI64(file, P + 16, 0);
    writeAll(dir.file("bad"), file);
    VELD_FileStream stream(dir.file("bad").c_str(), "rb");
    zcmpsFilestr z(stream);
    EXPECT_EQ(failedCheck([&] { z.readFilePosInfo(P, false); }), "tableBytes >= kRecordSize");
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
    applySetting(z, GetParam());
    EXPECT_EQ(failedCheck([&] { z.readFilePosInfo(P, false); }),
              "posofpos == chInfo._caseStartPos && \"Analyze dictionary part error!\"");
}

TEST_P(DamagedFile, DiskErrorWhileReadingComesOutOnTheCallersThread) {
    TempDir dir;
    packFile(dir.file("f"), patternBytes(P), textBytes(3 * kBlock, 14));
    VELD_FileStream stream(dir.file("f").c_str(), "rb");
    zcmpsFilestr z(stream);
    applySetting(z, GetParam());
    z.readFilePosInfo(P, false);
    Bytes buf(1 << 20);
    std::size_t before = 0;
    {
        veld::crt::CrtSeam seam;
        seam.failFrom(veld::crt::Call::Read, 2, EIO);
        EXPECT_EQ(raisedCode([&] { while (const std::uint64_t n = z.Read(buf.data(), buf.size())) before += n; }), 1003);
    }
    // The piece reaching into block 1 fails, at every setting; the disk back,
    // the same stream reads on.
    EXPECT_EQ(before, static_cast<std::size_t>(kBlock / (1 << 20) * (1 << 20)));
    EXPECT_EQ(readAt(z, P, 3 * kBlock), textBytes(3 * kBlock, 14));
}

INSTANTIATE_TEST_SUITE_P(Settings, DamagedFile, ::testing::Values(0, 2, -3));
