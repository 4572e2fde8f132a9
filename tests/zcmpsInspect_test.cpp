// Inspection and recovery: files cut by a killed pack or a killed in-place
// append give back every complete block, and nothing that was not written.
#include "zcmpsInspect.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "crt_seam.h"

using namespace veldtest;
using namespace veld::inspect;

namespace {

constexpr std::int64_t P = 1000;

// Four short blocks, a full one and a short last one.
const Bytes& caseData() {
    static const Bytes data = textBytes(kBlock + 4 * 30000 + 7777, 31);
    return data;
}
const PackOptions kFlushes{0, 100000, {30000, 60000, 90000, 120000}};

Bytes packed(const TempDir& dir, const Bytes& data = caseData()) {
    packFile(dir.file("src"), patternBytes(P, 5), data, kFlushes);
    return readAll(dir.file("src"));
}

// Recovers `file` into a new file and reads that back at settings 0 and 2.
Bytes recovered(const TempDir& dir, const Bytes& file, RecoveryPlan* planOut = nullptr) {
    MemorySource source(file.data(), file.size());
    const RecoveryPlan plan = planRecovery(source, P, false);
    if (planOut) *planOut = plan;
    writeRecovered(plan, source, dir.file("out"));
    const Bytes out = readAll(dir.file("out"));
    EXPECT_EQ(slice(out, 0, P), slice(file, 0, P)) << "the dictionary part is kept";
    MemorySource check(out.data(), out.size());
    EXPECT_TRUE(planRecovery(check, P, false).sound) << "the new file is sound";
    const Bytes data = readCases(dir.file("out"), P, 0);
    EXPECT_EQ(readCases(dir.file("out"), P, 2), data);
    EXPECT_EQ(data.size(), plan.caseBytes);
    return data;
}

// Case bytes of the blocks whose payloads lie wholly below `cut`.
std::size_t completeBelow(const RawLayout& layout, std::int64_t cut, std::size_t fromBlock = 0) {
    std::size_t bytes = 0;
    for (std::size_t k = fromBlock; k < layout.blocks.size(); ++k) {
        const blockInfo& b = layout.blocks[k];
        if (b.translatePos + b.translateSize > cut) break;
        bytes += static_cast<std::size_t>(b.orginalSize);
    }
    return bytes;
}

}  // namespace

TEST(Recovery, KilledPackGivesBackEveryCompleteBlockAtEveryCut) {
    TempDir dir;
    const Bytes good = packed(dir);
    const RawLayout layout = readLayout(good, P);
    ASSERT_EQ(layout.blocks.size(), 6u);
    // A pack killed at `cut`: payloads up to there, heading never written, no table.
    std::vector<std::int64_t> cuts = {P + 24, layout.infoPos};
    for (const blockInfo& b : layout.blocks)
        for (std::int64_t at : {b.translatePos, b.translatePos + 1, b.translatePos + b.translateSize / 2,
                                b.translatePos + b.translateSize - 1})
            cuts.push_back(at);
    for (const std::int64_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        Bytes file(good.begin(), good.begin() + cut);
        std::fill(file.begin() + P, file.begin() + P + 24, 0);
        MemorySource source(file.data(), file.size());
        if (cut > layout.blocks[0].translatePos + 1) {
            EXPECT_EQ(findUnfinishedRow0(source), std::optional<std::int64_t>(P));
        }
        RecoveryPlan plan;
        const Bytes back = recovered(dir, file, &plan);
        std::size_t complete = 0;
        std::int64_t walkedTo = P + 24;
        for (const blockInfo& b : layout.blocks)
            if (b.translatePos + b.translateSize <= cut) {
                complete += static_cast<std::size_t>(b.orginalSize);
                walkedTo += b.translateSize;
            }
        EXPECT_EQ(back, slice(caseData(), 0, complete));
        EXPECT_EQ(plan.lostBlocks, -1) << "no table counts what was lost";
        // Damage starts where the walk stopped; cut between payloads, at the unwritten heading.
        EXPECT_EQ(plan.damageOffset, walkedTo < cut ? walkedTo : P) << plan.damage;
    }
}

TEST(Recovery, KilledInPlaceAppendGivesBackEveryCompleteBlockAtEveryCut) {
    TempDir dir;
    const Bytes before = packed(dir);
    const RawLayout old = readLayout(before, P);
    const Bytes extra = textBytes(kBlock + 5000, 32);
    {
        VELD_FileStream stream(dir.file("src").c_str(), "rb");
        zcmpsFilestr z(stream);
        z.readFilePosInfo(P, false);
        z.Seek(P + static_cast<std::int64_t>(caseData().size()), VELD_StrBaseIO::FromStart);
        z.setFileToAppend(z.Tell(), false);
        z.Write(extra.data(), extra.size());
        z.Close();
    }
    const Bytes after = readAll(dir.file("src"));
    const RawLayout now = readLayout(after, P);
    Bytes all = caseData();
    all.insert(all.end(), extra.begin(), extra.end());
    ASSERT_EQ(inflateAll(after, now), all);
    // The short last block is rewritten in place, then new blocks follow it.
    const std::size_t rewritten = old.blocks.size() - 1;
    const std::int64_t from = old.blocks[rewritten].translatePos;
    ASSERT_EQ(now.blocks[rewritten].translatePos, from);
    const std::int64_t newEnd = now.infoPos;
    const std::size_t keptBefore = completeBelow(old, from);
    for (std::int64_t cut = from; cut <= newEnd; cut += (newEnd - from) / 13 + 1) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        // Killed at `cut`: the new payloads up to there over the old file; its heading stays.
        Bytes file = before;
        if (file.size() < static_cast<std::size_t>(cut)) file.resize(static_cast<std::size_t>(cut));
        std::copy(after.begin() + from, after.begin() + cut, file.begin() + from);
        const Bytes back = recovered(dir, file);
        EXPECT_EQ(back, slice(all, 0, back.size())) << "only what was written";
        // Until the first new byte lands, the file is the old one.
        EXPECT_GE(back.size(), cut == from ? caseData().size() : keptBefore + completeBelow(now, cut, rewritten));
    }
}

TEST(Recovery, DamagedTableIsRebuiltFromThePayloadsAndASoundFileNeedsNothing) {
    TempDir dir;
    Bytes file = packed(dir);
    const RawLayout layout = readLayout(file, P);
    MemorySource sound(file.data(), file.size());
    const RecoveryPlan nothing = planRecovery(sound, P, false);
    EXPECT_TRUE(nothing.sound);
    EXPECT_EQ(nothing.blocks.size(), layout.blocks.size());
    // A record of the table says nothing true any more.
    std::memset(&file[static_cast<std::size_t>(layout.infoPos + 24 * 3)], 0x77, 24);
    RecoveryPlan plan;
    EXPECT_EQ(recovered(dir, file, &plan), caseData());
    EXPECT_FALSE(plan.fromTable);
    EXPECT_EQ(plan.lostBlocks, 0);
    EXPECT_EQ(plan.damageOffset, layout.infoPos + 24 * 3) << plan.damage;
    // A damaged payload: the blocks before it are kept, the table counts the rest.
    file = readAll(dir.file("src"));
    file[static_cast<std::size_t>(layout.blocks[4].translatePos + 50)] ^= 0x40;
    EXPECT_EQ(recovered(dir, file, &plan), slice(caseData(), 0, 4 * 30000));
    EXPECT_EQ(plan.lostBlocks, 2);
    EXPECT_EQ(plan.lostCaseBytes, static_cast<std::int64_t>(caseData().size() - 4 * 30000));
    EXPECT_EQ(plan.damageOffset, layout.blocks[4].translatePos) << plan.damage;
}

TEST(Inspection, StaleBytesAreCountedAndAreNotDamage) {
    TempDir dir;
    const Bytes good = packed(dir);
    const RawLayout layout = readLayout(good, P);
    // 500 bytes between two payloads and 100 after the table, as appends leave them.
    const std::int64_t gapAt = layout.blocks[3].translatePos;
    Bytes file(good.begin(), good.begin() + gapAt);
    file.insert(file.end(), 500, 0xEE);
    file.insert(file.end(), good.begin() + gapAt, good.end());
    file.insert(file.end(), 100, 0xEE);
    auto put64 = [&file](std::int64_t at, std::int64_t v) { std::memcpy(&file[static_cast<std::size_t>(at)], &v, 8); };
    put64(P + 8, layout.infoPos + 500);
    for (std::size_t k = 3; k < layout.blocks.size(); ++k)
        put64(layout.infoPos + 500 + 24 * static_cast<std::int64_t>(k + 1) + 8, layout.blocks[k].translatePos + 500);
    MemorySource source(file.data(), file.size());
    Layout L = inspectLayout(source, P, false);
    checkPayloads(L, source, 2);
    EXPECT_TRUE(L.sound()) << (L.problems.empty() ? "" : L.problems.front().text);
    EXPECT_EQ(L.staleBytes, 600);
    writeAll(dir.file("stale"), file);
    EXPECT_EQ(readCases(dir.file("stale"), P, 2), caseData());

    // A payload reaching into the one before it is damage.
    put64(layout.infoPos + 500 + 24 * 5 + 8, layout.blocks[3].translatePos + 10);
    MemorySource overlapping(file.data(), file.size());
    L = inspectLayout(overlapping, P, false);
    ASSERT_FALSE(L.problems.empty());
    EXPECT_EQ(L.problems.front().block, 4);
}

TEST(Recovery, GarbageEndsTheWalkAndFindsNothing) {
    std::mt19937 random(3);
    for (std::size_t size : {0, 10, 1023, 1024, 5000, 300000}) {
        Bytes noise(size);
        for (auto& b : noise) b = static_cast<unsigned char>(random());
        MemorySource source(noise.data(), noise.size());
        const RecoveryPlan plan = planRecovery(source, P, false);
        EXPECT_FALSE(plan.sound);
        EXPECT_TRUE(plan.blocks.empty()) << size;
        EXPECT_FALSE(findRow0(source, false).has_value());
    }
}

TEST(Recovery, AFailedWriteLeavesNoOutputAndNoTemporaryFile) {
    TempDir dir;
    Bytes file = packed(dir);
    std::fill(file.begin() + P, file.begin() + P + 24, 0);
    MemorySource source(file.data(), file.size());
    const RecoveryPlan plan = planRecovery(source, P, false);
    for (int nth : {1, 3, 8}) {
        SCOPED_TRACE(nth);
        veld::crt::CrtSeam seam;
        seam.failNth(veld::crt::Call::Write, nth, ENOSPC);
        int err = 0;
        EXPECT_EQ(raisedCode([&] { writeRecovered(plan, source, dir.file("out")); }, &err), 1002);
        EXPECT_EQ(err, ENOSPC);
        EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
        EXPECT_FALSE(std::filesystem::exists(recoveryTempName(dir.file("out"))));
    }
    EXPECT_EQ(raisedCode([&] { writeRecovered(plan, source, dir.file("no/such/dir/out")); }), 1002);
    EXPECT_EQ(raisedCode([&] { FileSource missing(dir.file("missing")); }), 1003);
}

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

// A real pack, killed after two and a half blocks: both whole blocks come back.
TEST(Recovery, PackKilledHalfWayGivesBackItsWrittenBlocks) {
    TempDir dir;
    const Bytes data = textBytes(3 * kBlock, 33);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CompressedWriter w(dir.file("killed"), patternBytes(P, 5));
        for (std::size_t at = 0; at < data.size(); at += 100000) {
            if (at >= 2 * kBlock + kBlock / 2) raise(SIGKILL);
            w.z->Write(data.data() + at, std::min<std::size_t>(100000, data.size() - at));
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    FileSource source(dir.file("killed"));
    ASSERT_EQ(findUnfinishedRow0(source), std::optional<std::int64_t>(P));
    const RecoveryPlan plan = planRecovery(source, P, false);
    writeRecovered(plan, source, dir.file("out"));
    EXPECT_EQ(readCases(dir.file("out"), P, 2), slice(data, 0, 2 * kBlock));
}
#endif
