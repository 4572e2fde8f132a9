#include "filePosInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "CompressedFiles.h"
#include "check.h"

using veld::layout::kBlockSize;
using veld::layout::kMaxPayloadSize;
using veld::layout::kNotFound;
using veldtest::failedCheck;

namespace {

// Contiguous blocks of the given sizes from P on (payload offsets are not looked at).
std::vector<blockInfo> blocksOf(std::int64_t P, const std::vector<std::int32_t>& sizes) {
    std::vector<blockInfo> r;
    for (std::int32_t s : sizes) {
        r.push_back(blockInfo{P, P + 24, s, s / 2});
        P += s;
    }
    return r;
}

void load(filePosInfo& index, const std::vector<blockInfo>& records, std::int32_t blockSize) {
    const auto table = veldtest::tableBytes(records, blockSize);
    index.loadForRead(table.data(), false, table.size());
}

std::int64_t linearFind(const std::vector<blockInfo>& r, std::int64_t pos) {
    for (const auto& b : r)
        if (b.orginalPos <= pos && pos < b.orginalPos + b.orginalSize) return b.orginalPos;
    return kNotFound;
}

bool same(const blockInfo& a, const blockInfo& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(filePosInfo, LookupsAgreeWithALinearSearchAlsoOnThreadsAtOnce) {
    auto gapped = blocksOf(50, {100, 10});
    for (const auto& b : blocksOf(250, {100, 100})) gapped.push_back(b);
    const struct {
        const char* what;
        std::vector<blockInfo> records;
        std::int32_t blockSize;
    } cases[] = {
        {"short blocks shift later ones off the guess", blocksOf(1000, {1000, 10, 1000, 1000, 333, 1000, 7}), 1000},
        {"row 0 far beyond the block size", blocksOf(10000000, {1000, 1000, 1000, 1000, 999}), 1000},
        {"full-size blocks", blocksOf(10000000, {kBlockSize, 10, kBlockSize, 5}), kBlockSize},
        {"a gap (no writer leaves one) lies in no block", gapped, 100},
        {"no block at all", {}, kBlockSize},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        filePosInfo index(kBlockSize);
        load(index, c.records, c.blockSize);
        // Every position of small blocks and the edges of large ones, first in order.
        std::vector<std::int64_t> probes = {-1, 0, 1, 5000000};
        for (const auto& b : c.records) {
            const std::int64_t from = b.orginalPos - 2, to = b.orginalPos + b.orginalSize + 1;
            for (std::int64_t p = from; p <= to; ++p)
                if (b.orginalSize < 2000 || p - from < 4 || to - p < 4) probes.push_back(p);
        }
        for (const auto& p : probes) ASSERT_EQ(index.findBlock(p).orginalPos, linearFind(c.records, p)) << p;
        // Then on three threads at once, which share the cursor: one in order, two shuffled.
        std::atomic<int> wrong{0};
        auto reader = [&](unsigned seed) {
            auto mine = probes;
            std::mt19937 rng(seed);
            for (int round = 0; round < 20; ++round) {
                if (seed != 1) std::shuffle(mine.begin(), mine.end(), rng);
                for (const auto& p : mine) wrong += index.findBlock(p).orginalPos != linearFind(c.records, p);
            }
        };
        std::thread a(reader, 1), b(reader, 2), d(reader, 3);
        a.join();
        b.join();
        d.join();
        EXPECT_EQ(wrong.load(), 0);
    }
}

TEST(filePosInfo, OverlappingRecordsAnswerTheFirstThatHolds) {
    // No writer makes such records. Whatever the cursor, the guess or the fan
    // out would have tried first, the earliest record holding the position answers.
    filePosInfo index(kBlockSize);
    load(index, {{100, 0, 200, 0}, {150, 0, 100, 0}, {250, 0, 100, 0}, {280, 0, 170, 0}}, 100);
    EXPECT_EQ(index.findBlock(160).orginalPos, 100);
    EXPECT_EQ(index.findBlock(290).orginalPos, 100);
    EXPECT_EQ(index.findBlock(170).orginalPos, 100);
    EXPECT_EQ(index.findBlock(400).orginalPos, 280);
    EXPECT_EQ(index.findBlock(320).orginalPos, 250);
    filePosInfo fan(kBlockSize);
    load(fan,
         {{100, 0, 100, 0}, {200, 0, 100, 0}, {300, 0, 100, 0}, {400, 0, 100, 0},
          {450, 0, 150, 0}, {560, 0, 10, 0}, {540, 0, 160, 0}, {700, 0, 100, 0}},
         100);
    EXPECT_EQ(fan.findBlock(550).orginalPos, 450);
    EXPECT_EQ(fan.findBlock(650).orginalPos, 540);
    EXPECT_EQ(fan.findBlock(520).orginalPos, 450);
}

TEST(filePosInfo, LoadForAppendAndByteSwappedTables) {
    const auto r = blocksOf(5000, {kBlockSize, kBlockSize, 77});
    const auto table = veldtest::tableBytes(r, kBlockSize);
    auto swapped = table;
    for (std::size_t rec = 0; rec < swapped.size(); rec += 24)
        for (auto [off, len] : {std::pair{0, 8}, {8, 8}, {16, 4}, {20, 4}})
            std::reverse(swapped.begin() + rec + off, swapped.begin() + rec + off + len);

    filePosInfo index(1);
    index.loadForRead(swapped.data(), true, swapped.size());
    EXPECT_EQ(index.BlockCount(), 3u);
    EXPECT_TRUE(same(index.findBlock(5000 + 2 * kBlockSize + 76), r[2]));

    // Two records join the list, the third comes back; the lookup side ends, and
    // the caller's block records are now in native order for the writer.
    EXPECT_TRUE(same(index.loadForAppend(swapped.data(), true, swapped.size()), r[2]));
    ASSERT_EQ(index.WrittenBlocks().size(), 2u);
    EXPECT_TRUE(same(index.WrittenBlocks()[1], r[1]));
    EXPECT_TRUE(std::equal(table.begin() + 24, table.end(), swapped.begin() + 24));
    EXPECT_EQ(failedCheck([&] { index.findBlock(5000); }), "pInfoBuffer != 0");

    auto none = veldtest::tableBytes({}, kBlockSize);
    EXPECT_EQ(index.loadForAppend(none.data(), false, none.size()).orginalPos, -100);
    EXPECT_EQ(index.WrittenBlocks().size(), 2u);
    EXPECT_EQ(failedCheck([&] { index.loadForAppend(nullptr, false, 0); }), "buff != 0");
    // Taking a table over only appends to what the list holds.
    auto again = table;
    index.loadForAppend(again.data(), false, again.size());
    ASSERT_EQ(index.WrittenBlocks().size(), 4u);
    EXPECT_TRUE(same(index.WrittenBlocks()[2], r[0]));

    // A refused table leaves the lookup side and the list as they were.
    filePosInfo reading(1);
    reading.loadForRead(table.data(), false, table.size());
    auto bad = table;
    bad[24 + 2 * 24 + 19] = 0x80;  // the last record's orginalSize becomes negative
    EXPECT_NE(failedCheck([&] { reading.loadForAppend(bad.data(), false, bad.size()); }), "no check failed");
    EXPECT_TRUE(same(reading.findBlock(5000 + kBlockSize), r[1]));
    EXPECT_TRUE(reading.WrittenBlocks().empty());
}

TEST(filePosInfo, MalformedTablesAreRefused) {
    const auto good = blocksOf(1000, {kBlockSize, 10});
    auto refusal = [&](const std::function<void(blockInfo&, std::vector<blockInfo>&)>& spoil,
                       std::size_t cut = 0) {
        blockInfo first{-100, 0, kBlockSize, 2};
        auto records = good;
        spoil(first, records);
        auto table = veldtest::tableBytes(records, kBlockSize);
        veld::layout::encodeRecord(first, table.data());
        filePosInfo index(kBlockSize);
        return failedCheck([&] { index.loadForRead(table.data(), false, table.size() - cut); });
    };
    auto keep = [](blockInfo&, std::vector<blockInfo>&) {};
    EXPECT_EQ(refusal(keep), "no check failed");
    EXPECT_EQ(refusal(keep, 1), "tableBytes >= kRecordSize * (count + 1)");
    EXPECT_EQ(refusal(keep, 49), "tableBytes >= kRecordSize");
    EXPECT_EQ(refusal([](auto& f, auto&) { f.orginalPos = -99; }), "firstRecord.orginalPos == -100");
    EXPECT_EQ(refusal([](auto& f, auto&) { f.orginalSize = 0; }), "firstRecord.orginalSize > 0");
    EXPECT_EQ(refusal([](auto& f, auto&) { f.translateSize = -1; }), "firstRecord.translateSize >= 0");

    // A damaged record is loaded: the other block is still found, and the
    // damaged one is refused by its check when it is used.
    auto atUse = [&](const std::function<void(std::vector<blockInfo>&)>& spoil) {
        auto records = good;
        spoil(records);
        filePosInfo index(kBlockSize);
        load(index, records, kBlockSize);
        EXPECT_EQ(index.findBlock(1000 + kBlockSize - 1).orginalSize, kBlockSize);
        return failedCheck([&] { filePosInfo::checkRecord(index.findBlock(1000 + kBlockSize + 5), "block 1"); });
    };
    const char* sizeText = "record.orginalSize >= 1 && record.orginalSize <= kBlockSize";
    const char* payloadText = "record.translateSize >= 0 && record.translateSize <= kMaxPayloadSize";
    EXPECT_EQ(atUse([](auto& r) { r[1].orginalSize = kBlockSize + 1; }), sizeText);
    EXPECT_EQ(atUse([](auto& r) { r[1].orginalSize = 0; }), sizeText);
    EXPECT_EQ(atUse([](auto& r) { r[1].orginalSize = -7; }), sizeText);
    EXPECT_EQ(atUse([](auto& r) { r[1].translateSize = kMaxPayloadSize + 1; }), payloadText);
    EXPECT_EQ(atUse([](auto& r) { r[1].translateSize = -1; }), payloadText);
    EXPECT_EQ(atUse([](auto& r) { r[1].translatePos = -1; }), "record.translatePos >= 0");

    filePosInfo index(kBlockSize);
    load(index, blocksOf(0, {100}), 100);
    EXPECT_EQ(failedCheck([&] { index.findBlock(5); }), "pInfoBuffer->orginalPos != 0");

}

// Records out of order or overlapping (a hostile table) are answered the same
// whatever was looked up before: a read-ahead's lookups on another thread move
// the cursor, and must not change which record a reader's request meets.
TEST(filePosInfo, UnorderedTableAnswersDoNotDependOnEarlierLookups) {
    const std::vector<blockInfo> records = {
        {1000, 1024, 500, 40}, {1200, 1064, 500, 40}, {100, 1104, 300, 40}, {1700, 1144, 10, 40}};
    const std::int64_t probes[] = {1300, 1000, 1250, 150, 1705, 50, 1600};
    std::vector<blockInfo> fresh;
    for (std::int64_t pos : probes) {
        filePosInfo index(kBlockSize);
        load(index, records, 1000);
        fresh.push_back(index.findBlock(pos));
    }
    EXPECT_EQ(fresh[0].orginalPos, 1000) << "the first record that holds the position";
    EXPECT_EQ(fresh[5].orginalPos, kNotFound);
    filePosInfo index(kBlockSize);
    load(index, records, 1000);
    std::mt19937 random(5);
    for (int round = 0; round < 200; ++round) {
        const std::size_t k = random() % std::size(probes);
        const blockInfo r = index.findBlock(probes[k]);
        EXPECT_TRUE(same(r, fresh[k])) << "position " << probes[k] << " after round " << round;
    }
}
