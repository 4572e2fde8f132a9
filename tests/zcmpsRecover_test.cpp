// Recovery keeps every sound block: P is found without being given, the
// newest table wins over a torn or stale heading, stale tables do not stop
// the walk, damaged blocks can be filled with zeros, every payload is
// inflated once, and the output reaches the disk before it takes its name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "crt_seam.h"
#include "zcmpsInspect.h"

using namespace veldtest;
using namespace veld::inspect;
using veld::crt::Call;

namespace {

void put64(Bytes& b, std::int64_t at, std::int64_t v) {
    std::memcpy(&b[static_cast<std::size_t>(at)], &v, 8);
}
std::int64_t get64(const Bytes& b, std::int64_t at) {
    std::int64_t v;
    std::memcpy(&v, &b[static_cast<std::size_t>(at)], 8);
    return v;
}

Bytes packed(const TempDir& dir, std::int64_t P, const Bytes& cases, const std::string& name = "src") {
    packFile(dir.file(name), patternBytes(static_cast<std::size_t>(P), 5), cases);
    return readAll(dir.file(name));
}

// The default append of the program: new payloads and table after the old
// table, then the heading.
void appendSafely(const std::string& path, std::int64_t P, std::int64_t end, const Bytes& more) {
    VELD_FileStream stream(path.c_str(), "rb");
    zcmpsFilestr z(stream);
    z.readFilePosInfo(P, false);
    z.Seek(end, VELD_StrBaseIO::FromStart);
    z.setFileToAppendSafely(end, false);
    z.Write(more.data(), more.size());
    z.Close();
}

// Writes the plan and reads the new file's case data back at settings 0 and
// 2 and with two workers.
Bytes written(const TempDir& dir, ByteSource& source, const RecoveryPlan& plan) {
    writeRecovered(plan, source, dir.file("out"));
    const Bytes data = readCases(dir.file("out"), plan.row0, 0);
    for (const int setting : {2, -2}) EXPECT_EQ(readCases(dir.file("out"), plan.row0, setting), data);
    FileSource check(dir.file("out"));
    EXPECT_TRUE(planRecovery(check, plan.row0, false).sound) << "the new file is sound";
    return data;
}

RecoveryPlan planFound(ByteSource& source, bool fill = false, Row0Clue* clue = nullptr) {
    const auto found = locateRow0(source, false, findTables(source, false));
    EXPECT_TRUE(found.has_value());
    if (!found) return {};
    if (clue) *clue = found->clue;
    return planRecovery(source, found->row0, false, fill);
}

}  // namespace

TEST(LocateRow0, FindsPInEveryDamagedStateAndNothingInNoise) {
    TempDir dir;
    const Bytes cases = textBytes(3 * kBlock + 5000, 41);
    // 500: the heading crosses a 512-byte sector boundary.
    for (const std::int64_t P : {std::int64_t{1000}, std::int64_t{500}}) {
        SCOPED_TRACE("P " + std::to_string(P));
        const Bytes good = packed(dir, P, cases);
        const RawLayout L = readLayout(good, P);
        auto expectFound = [&](const Bytes& file, Row0Clue clue, const char* what) {
            SCOPED_TRACE(what);
            MemorySource source(file.data(), file.size());
            const auto found = locateRow0(source, false, findTables(source, false));
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(found->row0, P);
            EXPECT_EQ(static_cast<int>(found->clue), static_cast<int>(clue));
        };
        expectFound(good, Row0Clue::Heading, "a sound file");
        const Bytes cut(good.begin(), good.begin() + L.blocks[1].translatePos + 100);
        expectFound(cut, Row0Clue::OwnPosition, "cut short: the table lies past the end");
        Bytes headingGone = good;
        std::fill_n(headingGone.begin() + P, 24, 0xEE);
        expectFound(headingGone, Row0Clue::Table, "a damaged heading");
        Bytes tableGone = good;
        std::fill(tableGone.begin() + L.infoPos, tableGone.end(), 0x5A);
        expectFound(tableGone, Row0Clue::OwnPosition, "an in-place append overwrote the table");
        Bytes unwritten = cut;
        std::fill_n(unwritten.begin() + P, 24, 0);
        expectFound(unwritten, Row0Clue::UnwrittenHeading, "a pack that never finished");
        Bytes nothingLeft = cut;
        std::fill_n(nothingLeft.begin() + P, 24, 0xEE);
        expectFound(nothingLeft, Row0Clue::FirstStream, "no heading and no table");
    }
    const Bytes noise = patternBytes(300000, 9);
    MemorySource source(noise.data(), noise.size());
    EXPECT_FALSE(locateRow0(source, false, findTables(source, false)).has_value());
}

TEST(Recovery, OneDamagedBlockOfTwelveKeepsTheRunOrEverySoundBlockFilled) {
    TempDir dir;
    constexpr std::int64_t P = 1000;
    const Bytes cases = textBytes(11 * kBlock + 7000, 42);
    Bytes file = packed(dir, P, cases);
    const RawLayout L = readLayout(file, P);
    ASSERT_EQ(L.blocks.size(), 12u);
    file[static_cast<std::size_t>(L.blocks[2].translatePos + L.blocks[2].translateSize / 2)] ^= 0x10;
    MemorySource source(file.data(), file.size());

    const RecoveryPlan run = planFound(source);
    EXPECT_FALSE(run.sound);
    EXPECT_EQ(run.blocks.size(), 2u);
    EXPECT_EQ(run.damageOffset, L.blocks[2].translatePos) << run.damage;
    EXPECT_EQ(run.lostBlocks, 10);
    EXPECT_EQ(run.lostCaseBytes, static_cast<std::int64_t>(cases.size() - 2 * kBlock));
    EXPECT_EQ(run.laterBlocks, 9);
    EXPECT_EQ(run.laterCaseBytes, cases.size() - 3 * kBlock);
    EXPECT_TRUE(run.filled.empty());
    EXPECT_EQ(written(dir, source, run), slice(cases, 0, 2 * kBlock));

    const RecoveryPlan fill = planFound(source, true);
    EXPECT_EQ(fill.blocks.size(), 11u);
    ASSERT_EQ(fill.filled.size(), 1u);
    EXPECT_EQ(fill.filled[0].from, P + 2 * kBlock);
    EXPECT_EQ(fill.filled[0].to, P + 3 * kBlock);
    EXPECT_EQ(fill.filled[0].block, 2);
    EXPECT_EQ(fill.filled[0].offset, L.blocks[2].translatePos);
    EXPECT_NE(fill.filled[0].why.find("block 2 at offset"), std::string::npos) << fill.filled[0].why;
    EXPECT_EQ(fill.lostBlocks, 1);
    EXPECT_EQ(fill.lostCaseBytes, kBlock);
    EXPECT_EQ(fill.laterBlocks, 0);
    EXPECT_EQ(fill.dataEnd, P + static_cast<std::int64_t>(cases.size()));
    Bytes expected = cases;
    std::fill_n(expected.begin() + 2 * kBlock, kBlock, 0);
    EXPECT_EQ(written(dir, source, fill), expected);

    EXPECT_TRUE(run.laterPlaced);

    // No table (a pack killed before it): the later blocks are counted, but
    // nothing tells where they belong, so even filling keeps only the run.
    Bytes untabled(file.begin(), file.begin() + L.infoPos);
    std::fill_n(untabled.begin() + P, 24, 0);
    MemorySource bare(untabled.data(), untabled.size());
    for (const bool fillDamaged : {false, true}) {
        const RecoveryPlan plan = planFound(bare, fillDamaged);
        EXPECT_EQ(plan.blocks.size(), 2u);
        EXPECT_TRUE(plan.filled.empty());
        EXPECT_FALSE(plan.laterPlaced);
        EXPECT_EQ(plan.laterBlocks, 9);
        EXPECT_EQ(plan.laterCaseBytes, cases.size() - 3 * kBlock);
    }

    // A record whose position is damaged: its range comes from its neighbours,
    // and is still put down to it.
    {
        Bytes badRecord = file;
        const std::int64_t record6 = L.infoPos + 24 * 7;
        put64(badRecord, record6, get64(badRecord, record6) + 12345);
        MemorySource source6(badRecord.data(), badRecord.size());
        const RecoveryPlan plan = planFound(source6, true);
        EXPECT_EQ(plan.blocks.size(), 10u);
        ASSERT_EQ(plan.filled.size(), 2u);
        EXPECT_EQ(plan.filled[1].block, 6);
        EXPECT_EQ(plan.filled[1].from, P + 6 * kBlock);
        EXPECT_EQ(plan.filled[1].to, P + 7 * kBlock);
        EXPECT_EQ(plan.filled[1].offset, L.blocks[6].translatePos);
    }

    // Two damaged neighbours and a damaged last block: each gets its own range.
    file[static_cast<std::size_t>(L.blocks[3].translatePos + 40)] ^= 0x10;
    file[static_cast<std::size_t>(L.blocks[11].translatePos + 10)] ^= 0x10;
    MemorySource more(file.data(), file.size());
    const RecoveryPlan three = planFound(more, true);
    EXPECT_EQ(three.blocks.size(), 9u);
    ASSERT_EQ(three.filled.size(), 3u);
    EXPECT_EQ(three.filled[1].block, 3);
    EXPECT_EQ(three.filled[1].from, P + 3 * kBlock);
    EXPECT_EQ(three.filled[2].block, 11);
    EXPECT_EQ(three.filled[2].to, P + static_cast<std::int64_t>(cases.size()));
    std::fill_n(expected.begin() + 3 * kBlock, kBlock, 0);
    std::fill(expected.begin() + 11 * kBlock, expected.end(), 0);
    EXPECT_EQ(written(dir, more, three), expected);
}

TEST(Recovery, TornOrStaleHeadingsAndLostTablesKeepWhatSafeAppendsAdded) {
    TempDir dir;
    // P 500: the heading crosses a sector boundary, where a torn write splits it.
    constexpr std::int64_t P = 500;
    const Bytes first = textBytes(2 * kBlock + 20000, 43);  // a short last block, copied by the append
    const Bytes second = textBytes(kBlock / 2, 44);
    const Bytes third = textBytes(kBlock, 45);
    const Bytes before = packed(dir, P, first);
    appendSafely(dir.file("src"), P, P + static_cast<std::int64_t>(first.size()), second);
    const Bytes middle = readAll(dir.file("src"));
    appendSafely(dir.file("src"), P, P + static_cast<std::int64_t>(first.size() + second.size()), third);
    const Bytes after = readAll(dir.file("src"));
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), third.begin(), third.end());

    MemorySource sound(after.data(), after.size());
    EXPECT_TRUE(planFound(sound).sound) << "stale tables behind a sound heading are no damage";

    const std::int64_t newOffset = get64(after, P + 8), newLength = get64(after, P + 16);
    const std::int64_t oldOffset = get64(middle, P + 8), oldLength = get64(middle, P + 16);
    ASSERT_NE(newLength, oldLength);
    struct Case {
        const char* what;
        std::int64_t offset, length;
    };
    for (const Case& c :
         {Case{"new offset, old length", newOffset, oldLength}, Case{"old offset, new length", oldOffset, newLength},
          Case{"the old heading: stopped before its rewrite", oldOffset, oldLength}}) {
        SCOPED_TRACE(c.what);
        Bytes file = after;
        put64(file, P + 8, c.offset);
        put64(file, P + 16, c.length);
        MemorySource source(file.data(), file.size());
        const RecoveryPlan plan = planFound(source);
        EXPECT_FALSE(plan.sound);
        EXPECT_TRUE(plan.fromTable);
        EXPECT_EQ(plan.tableOffset, newOffset);
        EXPECT_EQ(plan.damageOffset, P) << plan.damage;
        EXPECT_EQ(written(dir, source, plan), all);
    }
    {
        SCOPED_TRACE("heading and newest table gone: the walk steps over the stale tables");
        Bytes file = after;
        std::fill_n(file.begin() + P, 24, 0);
        std::fill(file.begin() + newOffset, file.end(), 0x33);
        MemorySource source(file.data(), file.size());
        const RecoveryPlan plan = planFound(source);
        EXPECT_FALSE(plan.fromTable);
        EXPECT_EQ(plan.damageOffset, newOffset) << plan.damage;
        EXPECT_EQ(written(dir, source, plan), all);
    }
    (void)before;
}

TEST(Recovery, EveryPayloadIsReadAndInflatedOnce) {
    TempDir dir;
    constexpr std::int64_t P = 1000;
    Bytes file = packed(dir, P, textBytes(5 * kBlock + 100, 46));
    const RawLayout L = readLayout(file, P);
    std::fill_n(file.begin() + P, 24, 0xEE);  // not sound: the whole plan is made
    writeAll(dir.file("damaged"), file);
    FileSource source(dir.file("damaged"));
    veld::crt::CrtSeam seam;
    const RecoveryPlan plan = planRecovery(source, P, false);
    EXPECT_EQ(plan.blocks.size(), L.blocks.size());
    std::map<std::int64_t, int> readsAt;
    for (const auto& r : seam.calls(Call::Read)) ++readsAt[r.position];
    for (const blockInfo& b : L.blocks) EXPECT_EQ(readsAt[b.translatePos], 1) << "block at " << b.translatePos;
}

TEST(Recovery, TheOutputIsSyncedBeforeItsRenameAndFailuresNameTheOutput) {
    TempDir dir;
    constexpr std::int64_t P = 1000;
    Bytes file = packed(dir, P, textBytes(kBlock + 100, 47));
    std::fill_n(file.begin() + P, 24, 0);
    MemorySource source(file.data(), file.size());
    const RecoveryPlan plan = planRecovery(source, P, false);
    const std::string out = dir.file("out");
    {
        veld::crt::CrtSeam seam;
        writeRecovered(plan, source, out);
        const auto calls = seam.calls();
        auto index = [&calls](Call kind) {
            return std::find_if(calls.begin(), calls.end(), [kind](const auto& r) { return r.kind == kind; }) -
                   calls.begin();
        };
        const auto commit = index(Call::Commit), rename = index(Call::Rename), syncDir = index(Call::SyncDir);
        ASSERT_LT(rename, static_cast<std::ptrdiff_t>(calls.size()));
        EXPECT_LT(commit, rename) << "the file is on the disk before it takes the output's name";
        EXPECT_EQ(calls[static_cast<std::size_t>(commit)].name, recoveryTempName(out));
        EXPECT_GT(syncDir, rename);
        EXPECT_LT(syncDir, static_cast<std::ptrdiff_t>(calls.size()));
    }
    std::filesystem::remove(out);
    for (const Call kind : {Call::Commit, Call::Rename}) {
        veld::crt::CrtSeam seam;
        seam.failNth(kind, 1, EIO);
        const auto e = raised<veld::DataSourceError>([&] { writeRecovered(plan, source, out); });
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->fileName(), out);
        EXPECT_EQ(e->sysErrno(), EIO);
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_FALSE(std::filesystem::exists(recoveryTempName(out)));
    }
    const std::string nowhere = dir.file("no/such/dir/out");
    const auto e = raised<veld::DataSourceError>([&] { writeRecovered(plan, source, nowhere); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->fileName(), nowhere) << "the output is named, not its temporary file";
}
