#include "filePosInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <thread>

#include "BlockFiles.h"
#include "check.h"

using veld::layout::kBlockSize;
using veld::layout::kMaxPayloadSize;
using veld::layout::kNotFound;

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

std::string failedCheck(const std::function<void()>& f) {
    try {
        f();
    } catch (const veld::CheckFailure& e) {
        return e.expression();
    }
    return "no check failed";
}

// Every position of every block, and the edges, in order and shuffled.
void expectMatchesLinearSearch(filePosInfo& index, const std::vector<blockInfo>& r) {
    std::vector<std::int64_t> probes;
    const std::int64_t end = r.back().orginalPos + r.back().orginalSize;
    for (std::int64_t p = r.front().orginalPos - 2; p <= end + 1; ++p) probes.push_back(p);
    for (const auto& p : probes) ASSERT_EQ(index.findBlock(p).orginalPos, linearFind(r, p)) << p;
    std::shuffle(probes.begin(), probes.end(), std::mt19937(7));
    for (const auto& p : probes) ASSERT_EQ(index.findBlock(p).orginalPos, linearFind(r, p)) << p;
}

}  // namespace

TEST(filePosInfo, WritingSideBuildsTheTable) {
    filePosInfo index(kBlockSize);
    std::uint64_t length = 0;
    const blockInfo* empty = index.makeInfoBuffer(length);
    EXPECT_EQ(length, 24u);
    EXPECT_EQ(empty[0].orginalPos, -100);
    EXPECT_EQ(empty[0].translatePos, 0);
    EXPECT_EQ(empty[0].orginalSize, kBlockSize);
    EXPECT_EQ(empty[0].translateSize, 0);

    // P = 1000, two blocks compressing to 1,200,000 and 300,000 bytes.
    index.addBlock(blockInfo{1000, 1024, 4190208, 1200000});
    index.addBlock(4191208, 809792, 1201024, 300000);
    const blockInfo* table = index.makeInfoBuffer(length);
    EXPECT_EQ(length, 72u);
    EXPECT_EQ(table[0].translateSize, 2);
    EXPECT_EQ(table[2].orginalPos, 4191208);
    EXPECT_EQ(table[2].translatePos, 1201024);
    EXPECT_EQ(table[2].orginalSize, 809792);
    EXPECT_EQ(table[2].translateSize, 300000);

    // Read back as a reader would find it on disk.
    filePosInfo reader(kBlockSize);
    reader.loadForRead(table, false, length);
    EXPECT_EQ(reader.findBlock(999).orginalPos, kNotFound);
    EXPECT_EQ(reader.findBlock(1000).translatePos, 1024);
    EXPECT_EQ(reader.findBlock(4191207).orginalPos, 1000);
    EXPECT_EQ(reader.findBlock(4191208).translatePos, 1201024);
    EXPECT_EQ(reader.findBlock(5000999).orginalPos, 4191208);
    EXPECT_EQ(reader.findBlock(5001000).orginalPos, kNotFound);
}

TEST(filePosInfo, LookupsAgreeWithALinearSearch) {
    {  // short blocks between full ones shift every later block off the guess
        const auto r = blocksOf(1000, {1000, 10, 1000, 1000, 333, 1000, 7});
        filePosInfo index(kBlockSize);
        load(index, r, 1000);
        expectMatchesLinearSearch(index, r);
    }
    {  // a row-0 position far beyond the block size
        const auto r = blocksOf(10000000, {1000, 1000, 1000, 1000, 999});
        filePosInfo index(kBlockSize);
        load(index, r, 1000);
        expectMatchesLinearSearch(index, r);
    }
    {  // the same with full-size blocks, at their edges
        const auto r = blocksOf(10000000, {kBlockSize, 10, kBlockSize, 5});
        filePosInfo index(kBlockSize);
        load(index, r, kBlockSize);
        for (const auto& b : r)
            for (std::int64_t p : {b.orginalPos - 1, b.orginalPos, b.orginalPos + b.orginalSize - 1})
                EXPECT_EQ(index.findBlock(p).orginalPos, linearFind(r, p)) << p;
        EXPECT_EQ(index.findBlock(r.back().orginalPos + 5).orginalPos, kNotFound);
    }
    {  // a gap (no writer leaves one) lies in no block, also where the guess points
        auto r = blocksOf(50, {100, 10});
        const auto after = blocksOf(250, {100, 100});
        r.insert(r.end(), after.begin(), after.end());
        filePosInfo index(kBlockSize);
        load(index, r, 100);
        expectMatchesLinearSearch(index, r);
    }
    {  // no block at all
        filePosInfo index(kBlockSize);
        load(index, {}, kBlockSize);
        for (std::int64_t p : {0, 1, 1000, 5000000}) EXPECT_EQ(index.findBlock(p).orginalPos, kNotFound);
    }
}

TEST(filePosInfo, TriesCursorThenFirstThenLastThenGuessThenAboveBeforeBelow) {
    // Overlapping records (no writer makes them) let each try give its own answer.
    filePosInfo index(kBlockSize);
    load(index, {{100, 0, 200, 0}, {150, 0, 100, 0}, {250, 0, 100, 0}, {280, 0, 170, 0}}, 100);
    EXPECT_EQ(index.findBlock(160).orginalPos, 100);  // cursor at 0
    EXPECT_EQ(index.findBlock(290).orginalPos, 100);  // first block before the last
    EXPECT_EQ(index.findBlock(170).orginalPos, 150);  // cursor at 1 before the first block
    EXPECT_EQ(index.findBlock(400).orginalPos, 280);  // last block: cursor back to 0 ...
    EXPECT_EQ(index.findBlock(290).orginalPos, 100);  // ... not to the last block

    // Guess for 550 is record 5, which starts after it; record 6 above and
    // record 4 below both hold it.
    filePosInfo fan(kBlockSize);
    load(fan,
         {{100, 0, 100, 0}, {200, 0, 100, 0}, {300, 0, 100, 0}, {400, 0, 100, 0},
          {450, 0, 150, 0}, {560, 0, 10, 0}, {540, 0, 160, 0}, {700, 0, 100, 0}},
         100);
    EXPECT_EQ(fan.findBlock(550).orginalPos, 540);
    EXPECT_EQ(fan.findBlock(520).orginalPos, 450);  // below, once above has nothing
}

TEST(filePosInfo, ByteSwappedTables) {
    const auto r = blocksOf(5000, {kBlockSize, kBlockSize, 77});
    auto table = veldtest::tableBytes(r, kBlockSize);
    auto swapped = table;
    for (std::size_t rec = 0; rec < swapped.size(); rec += 24)
        for (auto [off, len] : {std::pair{0, 8}, {8, 8}, {16, 4}, {20, 4}})
            std::reverse(swapped.begin() + rec + off, swapped.begin() + rec + off + len);

    filePosInfo reader(1);
    reader.loadForRead(swapped.data(), true, swapped.size());
    EXPECT_EQ(reader.BlockCount(), 3u);
    EXPECT_EQ(reader.findBlock(5000 + 2 * kBlockSize + 76).orginalSize, 77);

    // Appending reverses the caller's block records in place: a writer writes native order.
    filePosInfo appender(kBlockSize);
    const blockInfo last = appender.loadForAppend(swapped.data(), true, swapped.size());
    EXPECT_TRUE(std::equal(table.begin() + 24, table.end(), swapped.begin() + 24));
    EXPECT_EQ(last.orginalSize, 77);
    ASSERT_EQ(appender.WrittenBlocks().size(), 2u);
    EXPECT_EQ(appender.WrittenBlocks()[1].orginalPos, 5000 + kBlockSize);
}

TEST(filePosInfo, LoadForAppend) {
    auto three = veldtest::tableBytes(blocksOf(1000, {kBlockSize, kBlockSize, 12}), kBlockSize);
    filePosInfo index(kBlockSize);
    index.loadForRead(three.data(), false, three.size());
    const blockInfo last = index.loadForAppend(three.data(), false, three.size());
    EXPECT_EQ(last.orginalPos, 1000 + 2 * kBlockSize);
    EXPECT_EQ(index.WrittenBlocks().size(), 2u);
    // The lookup side has ended.
    EXPECT_EQ(failedCheck([&] { index.findBlock(1000); }), "pInfoBuffer != 0");

    auto none = veldtest::tableBytes({}, kBlockSize);
    filePosInfo empty(kBlockSize);
    empty.addBlock(blockInfo{1, 2, 3, 4});
    EXPECT_EQ(empty.loadForAppend(none.data(), false, none.size()).orginalPos, -100);
    EXPECT_EQ(empty.WrittenBlocks().size(), 1u);
    EXPECT_EQ(failedCheck([&] { empty.loadForAppend(nullptr, false, 0); }), "buff != 0");
}

TEST(filePosInfo, MalformedTablesAreRefused) {
    const auto good = blocksOf(1000, {kBlockSize, 10});
    auto refusal = [&](std::vector<blockInfo> records, std::int32_t firstSize = kBlockSize,
                       std::int64_t cut = 0, std::int64_t firstMark = -100) {
        auto table = veldtest::tableBytes(records, firstSize);
        blockInfo first = veld::layout::decodeRecord(table.data(), false);
        first.orginalPos = firstMark;
        veld::layout::encodeRecord(first, table.data());
        filePosInfo index(kBlockSize);
        return failedCheck([&] { index.loadForRead(table.data(), false, table.size() - cut); });
    };
    EXPECT_EQ(refusal(good), "no check failed");
    EXPECT_EQ(refusal(good, kBlockSize, 0, -99), "firstRecord.orginalPos == -100");
    EXPECT_EQ(refusal(good, 0), "firstRecord.orginalSize > 0");
    EXPECT_EQ(refusal(good, kBlockSize, 1), "tableBytes >= kRecordSize * (count + 1)");
    EXPECT_EQ(refusal({}, kBlockSize, 1), "tableBytes >= kRecordSize");

    const char* sizeText = "record.orginalSize >= 1 && record.orginalSize <= kBlockSize";
    const char* payloadText = "record.translateSize >= 0 && record.translateSize <= kMaxPayloadSize";
    auto bad = good;
    bad[1].orginalSize = kBlockSize + 1;
    EXPECT_EQ(refusal(bad), sizeText);
    bad[1].orginalSize = 0;
    EXPECT_EQ(refusal(bad), sizeText);
    bad = good;
    bad[0].translateSize = kMaxPayloadSize + 1;
    EXPECT_EQ(refusal(bad), payloadText);
    bad[0].translateSize = -1;
    EXPECT_EQ(refusal(bad), payloadText);

    // A negative count, and a table whose first block starts at 0.
    auto table = veldtest::tableBytes(good, kBlockSize);
    blockInfo first = veld::layout::decodeRecord(table.data(), false);
    first.translateSize = -1;
    veld::layout::encodeRecord(first, table.data());
    filePosInfo index(kBlockSize);
    EXPECT_EQ(failedCheck([&] { index.loadForRead(table.data(), false, table.size()); }),
              "firstRecord.translateSize >= 0");
    load(index, blocksOf(0, {100}), 100);
    EXPECT_EQ(failedCheck([&] { index.findBlock(5); }), "pInfoBuffer->orginalPos != 0");

    // A refused table leaves the one loaded before in place.
    load(index, good, kBlockSize);
    bad[1].orginalSize = kBlockSize + 1;
    auto badTable = veldtest::tableBytes(bad, kBlockSize);
    EXPECT_THROW(index.loadForRead(badTable.data(), false, badTable.size()), veld::CheckFailure);
    EXPECT_EQ(index.findBlock(1000 + kBlockSize + 9).orginalSize, 10);
}

TEST(filePosInfo, ConcurrentLookupsStayCorrect) {
    const auto r = blocksOf(3000, {1000, 1000, 10, 1000, 500, 1000, 1000, 1000, 3, 1000, 1000, 1});
    filePosInfo index(kBlockSize);
    load(index, r, 1000);
    const std::int64_t end = r.back().orginalPos + r.back().orginalSize;
    std::atomic<int> wrong{0};
    auto reader = [&](unsigned seed, bool sequential) {
        std::mt19937 rng(seed);
        for (int round = 0; round < 20; ++round)
            for (std::int64_t i = 0; i < end - 2990; ++i) {
                const std::int64_t p = sequential ? 2990 + i : 2990 + rng() % (end - 2990 + 5);
                if (index.findBlock(p).orginalPos != linearFind(r, p)) ++wrong;
            }
    };
    std::thread a(reader, 1, true), b(reader, 2, false), c(reader, 3, true);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(wrong.load(), 0);
}
