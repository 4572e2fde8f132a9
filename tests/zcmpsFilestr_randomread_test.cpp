// Random reads of a compressed stream: inflated only as far as needed (early
// stop), kept in the block cache, lent by borrowBlock; a whole-block read is
// kept loaded and a failed read changes nothing the caller holds. Each at
// every read setting, with early stop and the cache off and on.
#include <gtest/gtest.h>

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

constexpr std::int64_t P = 1000;
constexpr unsigned char kUntouched = 0xAB;

// Three full blocks and a short one.
const Bytes& caseData() {
    static const Bytes data = textBytes(3 * kBlock + 300000, 33);
    return data;
}

// Modes: what the stream adds to the described reading.
enum Mode { kDescribed = 0, kEarlyStop = 1, kEarlyStopCached = 2, kCached = 3 };
bool earlyStops(int mode) { return mode == kEarlyStop || mode == kEarlyStopCached; }
int cacheOf(int mode) { return mode >= kEarlyStopCached ? 2 : 0; }

struct Reader {
    Reader(const std::string& path, int setting, int mode) : stream(path.c_str(), "rb"), z(stream) {
        applySetting(z, setting);
        z.setEarlyStop(earlyStops(mode));
        z.setBlockCache(cacheOf(mode));
        z.readFilePosInfo(P, false);
    }
    VELD_FileStream stream;
    zcmpsFilestr z;
};

// How often the payload at this offset was read while the seam watched.
std::size_t readsAt(const veld::crt::CrtSeam& seam, std::int64_t offset) {
    std::size_t n = 0;
    for (const auto& c : seam.calls(veld::crt::Call::Read)) n += c.position == offset;
    return n;
}

class RandomRead : public ::testing::TestWithParam<std::tuple<int, int>> {
protected:
    void SetUp() override {
        packFile(dir.file("good"), patternBytes(P), caseData());
        good = readAll(dir.file("good"));
        layout = readLayout(good, P);
        ASSERT_EQ(layout.blocks.size(), 4u);
    }
    // A copy of the file whose block k has its Adler-32 wrong: every byte
    // inflates, only the end tells.
    std::string badChecksum(std::size_t k) {
        Bytes file = good;
        file[layout.blocks[k].translatePos + layout.blocks[k].translateSize - 1] ^= 0x40;
        writeAll(dir.file("sum"), file);
        return dir.file("sum");
    }
    // A copy whose block k is damaged in the middle of its payload.
    std::string damagedMiddle(std::size_t k) {
        Bytes file = good;
        for (int i = 0; i < 32; ++i) file[layout.blocks[k].translatePos + layout.blocks[k].translateSize / 2 + i] ^= 0x5a;
        writeAll(dir.file("mid"), file);
        return dir.file("mid");
    }
    std::int64_t at(std::size_t k, std::int64_t offset = 0) const { return layout.blocks[k].orginalPos + offset; }
    int setting() const { return std::get<0>(GetParam()); }
    int mode() const { return std::get<1>(GetParam()); }

    TempDir dir;
    Bytes good;
    RawLayout layout;
};

}  // namespace

// With early stop a read inflates only as far as its bytes reach: the start
// of a block whose checksum is wrong reads. A read that reaches the block's
// end, or borrows it, fails as a whole-block read does, every time. Without
// early stop every read of that block fails.
TEST_P(RandomRead, EarlyStopReadsTheStartAndTheEndStillChecksTheBlock) {
    Reader r(badChecksum(1), setting(), mode());
    const Bytes& data = caseData();
    const std::size_t half = kBlock / 2;
    std::string detail;
    if (earlyStops(mode())) {
        EXPECT_EQ(readAt(r.z, at(1, 10), 1000), slice(data, kBlock + 10, 1000));
        EXPECT_EQ(readAt(r.z, at(1, half), 70000), slice(data, kBlock + half, 70000));
    } else {
        EXPECT_EQ(failedCheck([&] { readAt(r.z, at(1, 10), 1000); }), "ret!= 0");
    }
    EXPECT_EQ(failedCheck([&] { readAt(r.z, at(1, kBlock - 5), 5); }, &detail), "ret!= 0");
    EXPECT_NE(detail.find("block 1 at offset " + std::to_string(layout.blocks[1].translatePos)), std::string::npos)
        << detail;
    // Once failed, the block is neither served whole from memory nor trusted.
    std::string again;
    EXPECT_EQ(failedCheck([&] { readAt(r.z, at(1, kBlock - 5), 5); }, &again), "ret!= 0");
    EXPECT_EQ(again, detail);
    std::uint64_t length = 99;
    EXPECT_EQ(failedCheck([&] { r.z.borrowBlock(at(1, 7), length); }, &again), "ret!= 0");
    EXPECT_EQ(again, detail);
    EXPECT_EQ(length, 0u);
    if (earlyStops(mode())) {
        EXPECT_EQ(readAt(r.z, at(1, 3), 20), slice(data, kBlock + 3, 20));
        // Switched off, the part already inflated is not served unchecked.
        r.z.setEarlyStop(false);
    }
    EXPECT_EQ(failedCheck([&] { readAt(r.z, at(1, 3), 20); }), "ret!= 0");
    // Its neighbours read whole.
    EXPECT_EQ(readAt(r.z, at(0), kBlock), slice(data, 0, kBlock));
    EXPECT_EQ(readAt(r.z, at(2), 2 * kBlock), slice(data, 2 * kBlock, data.size() - 2 * kBlock));
}

// A stream that holds more bytes than its record says is refused when a read
// reaches the record's end, not cut there.
TEST_P(RandomRead, EarlyStopRefusesAStreamLongerThanItsRecord) {
    Bytes file = good;
    const std::int32_t shorter = layout.blocks[3].orginalSize - 1;
    std::memcpy(&file[layout.infoPos + 4 * 24 + 16], &shorter, 4);
    writeAll(dir.file("long"), file);
    Reader r(dir.file("long"), setting(), mode());
    const std::size_t last = 3 * kBlock;
    if (earlyStops(mode())) {
        EXPECT_EQ(readAt(r.z, at(3, 10), 100), slice(caseData(), last + 10, 100));
    } else {
        EXPECT_EQ(failedCheck([&] { readAt(r.z, at(3, 10), 100); }), "0");
    }
    std::string detail;
    EXPECT_EQ(failedCheck([&] { readAt(r.z, at(3, 10), 300000); }, &detail), "0");
    EXPECT_NE(detail.find("inflates to 300000 bytes, not 299999"), std::string::npos) << detail;
    std::uint64_t length = 0;
    EXPECT_EQ(failedCheck([&] { r.z.borrowBlock(at(3, shorter - 1), length); }), "0");
}

// A payload that stops inflating before the bytes asked for fails the read in
// the words of a whole-block read.
TEST_P(RandomRead, DamageBeforeTheBytesFailsLikeAWholeBlockRead) {
    Bytes file = good;
    file.resize(static_cast<std::size_t>(layout.blocks[3].translatePos + layout.blocks[3].translateSize / 2));
    // The table moves into the dictionary part, so the file ends inside block 3's payload.
    std::copy(good.begin() + layout.infoPos, good.end(), file.begin());
    std::int64_t zero = 0;
    std::memcpy(&file[P + 8], &zero, 8);
    writeAll(dir.file("cut"), file);
    std::string whole, wholeDetail;
    {
        Reader r(dir.file("cut"), 0, kDescribed);
        whole = failedCheck([&] { readAt(r.z, at(3), kBlock); }, &wholeDetail);
    }
    ASSERT_EQ(whole, "ret!= 0");
    EXPECT_NE(wholeDetail.find("the file ends inside its payload"), std::string::npos) << wholeDetail;
    Reader r(dir.file("cut"), setting(), mode());
    if (earlyStops(mode())) {
        EXPECT_EQ(readAt(r.z, at(3, 100), 100), slice(caseData(), 3 * kBlock + 100, 100));
    } else {
        EXPECT_EQ(failedCheck([&] { readAt(r.z, at(3, 100), 100); }), whole);
    }
    std::string detail;
    EXPECT_EQ(failedCheck([&] { readAt(r.z, at(3, 299000), 10); }, &detail), whole);
    EXPECT_EQ(detail, wholeDetail);
    EXPECT_EQ(readAt(r.z, at(2, 5), 10), slice(caseData(), 2 * kBlock + 5, 10));
}

// After a read of a whole block into the caller's buffer, a seek inside that
// block reads nothing from the file; neither does a read near the last one.
TEST_P(RandomRead, SeeksInsideTheLoadedBlockReadNothing) {
    Reader r(dir.file("good"), setting(), mode());
    const Bytes& data = caseData();
    EXPECT_EQ(readAt(r.z, at(1), kBlock), slice(data, kBlock, kBlock));
    {
        veld::crt::CrtSeam seam;
        EXPECT_EQ(readAt(r.z, at(1, 5000), 100), slice(data, kBlock + 5000, 100));
        EXPECT_EQ(readAt(r.z, at(1), 10), slice(data, kBlock, 10));
        EXPECT_EQ(readsAt(seam, layout.blocks[1].translatePos), 0u);
    }
    // A read stopped early goes on from where it stopped.
    EXPECT_EQ(readAt(r.z, at(3, 100), 1000), slice(data, 3 * kBlock + 100, 1000));
    veld::crt::CrtSeam seam;
    EXPECT_EQ(readAt(r.z, at(3, 60000), 1000), slice(data, 3 * kBlock + 60000, 1000));
    EXPECT_EQ(readAt(r.z, at(3, 50), 10), slice(data, 3 * kBlock + 50, 10));
    EXPECT_EQ(readsAt(seam, layout.blocks[3].translatePos), 0u);
}

// A failed Read leaves the caller's bytes and the stream's position as they
// were: reads of a damaged block, into it from the block before, across
// short blocks, and the disk refusing the second block's payload. A Read
// longer than a block writes none of the failing block's bytes.
TEST_P(RandomRead, FailedReadLeavesTheBufferAndPositionAsTheyWere) {
    // Block 2's first deflate block is of the reserved type: no byte of it inflates.
    Bytes file = good;
    file[layout.blocks[2].translatePos + 2] = 0x07;
    writeAll(dir.file("bad"), file);
    Reader r(dir.file("bad"), setting(), mode());
    Bytes buf(3 * kBlock, kUntouched);
    auto untouched = [&](std::size_t from, std::size_t to) {
        return std::count(buf.begin() + from, buf.begin() + to, kUntouched) == static_cast<std::ptrdiff_t>(to - from);
    };
    struct Attempt {
        const char* name;
        std::int64_t from;
        std::size_t n;
    };
    for (const Attempt& a : {Attempt{"block 2 whole", at(2), std::size_t(kBlock)},
                             Attempt{"10 bytes of block 2", at(2, 500), 10},
                             Attempt{"end of block 1 into block 2", at(1, kBlock - 1000), 2000},
                             Attempt{"a block's length from block 1", at(1, 10), std::size_t(kBlock)}}) {
        SCOPED_TRACE(a.name);
        r.z.Seek(a.from, VELD_StrBaseIO::FromStart);
        EXPECT_EQ(failedCheck([&] { r.z.Read(buf.data(), a.n); }), "ret!= 0");
        EXPECT_TRUE(untouched(0, buf.size()));
        EXPECT_EQ(r.z.Tell(), a.from);
    }
    // Longer: the bytes of blocks 0 and 1 may be in place, none of block 2's.
    r.z.Seek(at(0, 5), VELD_StrBaseIO::FromStart);
    EXPECT_EQ(failedCheck([&] { r.z.Read(buf.data(), 3 * kBlock - 5); }), "ret!= 0");
    EXPECT_TRUE(untouched(2 * kBlock - 5, buf.size()));
    EXPECT_EQ(r.z.Tell(), at(0, 5));

    // The disk refuses block 1's payload while a read crosses into it.
    Reader fine(dir.file("good"), setting(), mode());
    std::fill(buf.begin(), buf.end(), kUntouched);
    fine.z.Seek(at(0, kBlock - 300), VELD_StrBaseIO::FromStart);
    {
        veld::crt::CrtSeam seam;
        seam.failAt(veld::crt::Call::Read, layout.blocks[1].translatePos, EIO);
        EXPECT_EQ(raisedCode([&] { fine.z.Read(buf.data(), 1000); }), 1003);
    }
    EXPECT_TRUE(untouched(0, buf.size()));
    EXPECT_EQ(fine.z.Tell(), at(0, kBlock - 300));
    EXPECT_EQ(readAt(fine.z, at(0, kBlock - 300), 1000), slice(caseData(), kBlock - 300, 1000));
}

// Blocks of 10 bytes (flushed): a Read across several of them, failing in a
// later one, puts back all it had copied.
TEST_P(RandomRead, FailedReadAcrossShortBlocksPutsEverythingBack) {
    const Bytes data = textBytes(100, 3);
    packFile(dir.file("short"), patternBytes(P), data, PackOptions{0, 10, {10, 20, 30, 40, 50, 60, 70, 80, 90}});
    Bytes file = readAll(dir.file("short"));
    const RawLayout shortLayout = readLayout(file, P);
    ASSERT_EQ(shortLayout.blocks.size(), 10u);
    file[shortLayout.blocks[6].translatePos + 2] = 0x07;
    writeAll(dir.file("short"), file);
    Reader r(dir.file("short"), setting(), mode());
    Bytes buf(100, kUntouched);
    r.z.Seek(P + 15, VELD_StrBaseIO::FromStart);
    EXPECT_EQ(failedCheck([&] { r.z.Read(buf.data(), 80); }), "ret!= 0");
    EXPECT_EQ(std::count(buf.begin(), buf.end(), kUntouched), 100);
    EXPECT_EQ(r.z.Tell(), P + 15);
    EXPECT_EQ(readAt(r.z, P + 15, 45), slice(data, 15, 45));
}

// Borrowed blocks are the bytes Read gives, from the position to the block's
// end, and move the stream as such a Read would.
TEST_P(RandomRead, BorrowedBlocksAreTheBytesReadGives) {
    Reader r(dir.file("good"), setting(), mode());
    const Bytes& data = caseData();
    Bytes seen;
    std::int64_t pos = P;
    std::uint64_t length = 0;
    while (const unsigned char* bytes = r.z.borrowBlock(pos, length)) {
        ASSERT_GT(length, 0u);
        EXPECT_EQ(r.z.Tell(), pos + static_cast<std::int64_t>(length));
        seen.insert(seen.end(), bytes, bytes + length);
        pos += static_cast<std::int64_t>(length);
    }
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(seen, data);
    // From inside a block, then Read goes on after the lent bytes; jumps back.
    for (const std::int64_t from : {at(2, 12345), at(0, 1), at(3, 299999), at(1, kBlock - 1)}) {
        const unsigned char* bytes = r.z.borrowBlock(from, length);
        ASSERT_NE(bytes, nullptr);
        const std::size_t offset = static_cast<std::size_t>(from - P);
        const std::size_t end = offset / kBlock * kBlock + std::min<std::size_t>(kBlock, data.size() - offset / kBlock * kBlock);
        ASSERT_EQ(length, end - offset) << from;
        EXPECT_TRUE(std::equal(bytes, bytes + length, data.begin() + static_cast<std::ptrdiff_t>(offset)));
        Bytes next(10);
        const std::uint64_t n = r.z.Read(next.data(), next.size());
        next.resize(n);
        EXPECT_EQ(next, slice(data, end, std::min<std::size_t>(10, data.size() - end)));
    }
    EXPECT_EQ(r.z.borrowBlock(P - 1, length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(r.z.borrowBlock(P + static_cast<std::int64_t>(data.size()), length), nullptr);
}

// Many reads, lends and seeks on a file with a damaged block: every call gives
// the bytes or the failure (words and detail) it gives at setting 0 without a
// cache (early stop as here), and the stream then stands where it stands there.
TEST_P(RandomRead, EveryCallAnswersAsWithoutThreadsOrCache) {
    Bytes file = good;
    file[layout.blocks[1].translatePos + layout.blocks[1].translateSize - 3] ^= 0x10;  // near its end
    for (int i = 0; i < 16; ++i) file[layout.blocks[3].translatePos + 200 + i] ^= 0x33;  // near its start
    writeAll(dir.file("bad"), file);
    auto run = [&](int s, int c) {
        Reader r(dir.file("bad"), s, c);
        std::mt19937_64 random(7);
        std::vector<std::string> answers;
        for (int i = 0; i < 80; ++i) {
            const std::int64_t from = P - 10 + static_cast<std::int64_t>(random() % (caseData().size() + 20));
            const int kind = static_cast<int>(random() % 4);
            std::string answer;
            const std::string failed = failedCheck(
                [&] {
                    if (kind == 0) {
                        std::uint64_t length = 0;
                        const unsigned char* bytes = r.z.borrowBlock(from, length);
                        answer = bytes ? std::string(bytes, bytes + length) : "none";
                    } else {
                        // Short and near reads, whole blocks, and reads on from where it stands.
                        const std::size_t n = kind == 1 ? 1 + random() % 3000 : kind == 2 ? kBlock : 70000;
                        if (kind != 3) r.z.Seek(from, VELD_StrBaseIO::FromStart);
                        Bytes buf(n, kUntouched);
                        buf.resize(r.z.Read(buf.data(), n));
                        answer.assign(buf.begin(), buf.end());
                    }
                },
                &answer);
            answers.push_back(failed + "|" + answer + "|" + std::to_string(r.z.Tell()));
        }
        return answers;
    };
    const auto expected = run(0, earlyStops(mode()) ? kEarlyStop : kDescribed);
    const auto seen = run(setting(), mode());
    ASSERT_EQ(seen.size(), expected.size());
    std::size_t failures = 0;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_TRUE(seen[i] == expected[i]) << "call " << i << ": " << seen[i].substr(0, 200) << " / "
                                            << expected[i].substr(0, 200);
        failures += expected[i].rfind("no check failed", 0) != 0;
    }
    // The run meets both damaged blocks and reads around them.
    EXPECT_GT(failures, 3u);
    EXPECT_LT(failures, seen.size() - 10);
}

INSTANTIATE_TEST_SUITE_P(Settings, RandomRead,
                         ::testing::Combine(::testing::Values(0, 2, 3, -1, -3),
                                            ::testing::Values(kDescribed, kEarlyStop, kEarlyStopCached, kCached)));

// Recent blocks come from the cache without a read of the file, also the
// part of a block a read stopped in; without it (the default) a block left
// is read again. The block used longest ago goes first.
TEST(BlockCache, RecentBlocksAreKeptAndTheOldestGoesFirst) {
    TempDir dir;
    const Bytes data = textBytes(4 * kBlock, 5);
    packFile(dir.file("f"), patternBytes(P), data);
    const RawLayout layout = readLayout(readAll(dir.file("f")), P);
    auto payload = [&](std::size_t k) { return layout.blocks[k].translatePos; };
    for (const int mode : {kEarlyStop, kEarlyStopCached}) {
        SCOPED_TRACE(mode);
        const bool cached = mode == kEarlyStopCached;
        Reader r(dir.file("f"), 0, mode);
        EXPECT_EQ(readAt(r.z, P, kBlock), slice(data, 0, kBlock));                     // block 0 whole
        EXPECT_EQ(readAt(r.z, P + kBlock + 10, 100), slice(data, kBlock + 10, 100));  // block 1 in part
        veld::crt::CrtSeam seam;
        EXPECT_EQ(readAt(r.z, P + 20, 100), slice(data, 20, 100));
        EXPECT_EQ(readAt(r.z, P + kBlock + 20, 50), slice(data, kBlock + 20, 50));
        EXPECT_EQ(readsAt(seam, payload(0)), cached ? 0u : 1u);
        EXPECT_EQ(readsAt(seam, payload(1)), cached ? 0u : 1u);
        // Block 2 takes the place of block 0, used longest ago.
        EXPECT_EQ(readAt(r.z, P + 2 * kBlock + 5, 100), slice(data, 2 * kBlock + 5, 100));
        seam.clear();
        EXPECT_EQ(readAt(r.z, P + kBlock + 30, 50), slice(data, kBlock + 30, 50));
        EXPECT_EQ(readAt(r.z, P + 100, 100), slice(data, 100, 100));
        EXPECT_EQ(readsAt(seam, payload(1)), cached ? 0u : 1u);
        EXPECT_EQ(readsAt(seam, payload(0)), 1u);
    }
}
