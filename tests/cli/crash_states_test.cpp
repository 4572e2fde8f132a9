// Every state a disk may hold after a power cut during pack, a safe append
// and an in-place append, rebuilt from the calls the run made and read back
// through the library (CrashStates.h has the disk model).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "CrashStates.h"
#include "cli_support.h"
#include "commands.h"
#include "zcmpsInspect.h"

namespace {

using namespace veldtest;
using namespace veldtest::crash;
namespace fs = std::filesystem;

Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// "before" or "after" when the file's dictionary part is intact and its case
// data, read through the library, is one of the two; else what is wrong.
std::string verdictOf(const std::string& path, std::int64_t P, const Bytes& dict, const Bytes& before,
                      const Bytes& after) {
    if (!fs::exists(path)) return "missing";
    const Bytes file = readAll(path);
    if (file.size() < dict.size() || !std::equal(dict.begin(), dict.end(), file.begin()))
        return "dictionary part changed";
    Bytes cases;
    try {
        cases = readCases(path, P, 0);
    } catch (const std::exception& e) {
        return std::string("unreadable: ") + e.what();
    }
    if (cases == before) return "before";
    if (cases == after) return "after";
    return "reads " + std::to_string(cases.size()) + " other bytes";
}

std::int64_t dataEnd(const std::string& path, std::int64_t P) {
    const RawLayout layout = readLayout(readAll(path), P);
    return layout.blocks.empty() ? P : layout.blocks.back().orginalPos + layout.blocks.back().orginalSize;
}

void append(const std::string& path, std::int64_t P, const Bytes& extra, bool safely, int workers) {
    const std::int64_t end = dataEnd(path, P);
    VELD_FileStream stream(path.c_str(), "rb");
    zcmpsFilestr z(stream);
    z.readFilePosInfo(P, false);
    z.setWorkers(workers);
    z.Seek(end, VELD_StrBaseIO::FromStart);
    try {
        if (safely)
            z.setFileToAppendSafely(end, false);
        else
            z.setFileToAppend(end, false);
        for (std::size_t at = 0; at < extra.size(); at += 1 << 20)
            z.Write(extra.data() + at, std::min<std::size_t>(1 << 20, extra.size() - at));
        z.Close();
    } catch (...) {
        z.Abandon();
        throw;
    }
}

struct AppendCase {
    std::int64_t P;
    Bytes old, extra;
    int workers = 0;
    bool safely = true;
};

// The file as packed, the log of the append, and how its states read.
struct AppendRun {
    Log log;
    RawLayout oldLayout, newLayout;
    Judge judge;
    TempDir dir{memoryFileSystem()};
};

std::unique_ptr<AppendRun> runAppend(const AppendCase& c) {
    auto run = std::make_unique<AppendRun>();
    const std::string f = run->dir.file("data.zdat");
    const Bytes dict = patternBytes(static_cast<std::size_t>(c.P), 3);
    packFile(f, dict, c.old);
    run->oldLayout = readLayout(readAll(f), c.P);
    {
        Recorder recorder(run->dir.path());
        append(f, c.P, c.extra, c.safely, c.workers);
        run->log = recorder.finish();
    }
    run->newLayout = readLayout(readAll(f), c.P);
    const Bytes after = joined(c.old, c.extra);
    run->judge = [P = c.P, dict, old = c.old, after](const fs::path& dir) {
        return verdictOf((dir / "data.zdat").string(), P, dict, old, after);
    };
    return run;
}

std::string describe(const AppendCase& c) {
    return "P " + std::to_string(c.P) + " (mod 512: " + std::to_string(c.P % 512) + "), " +
           std::to_string(c.old.size()) + " + " + std::to_string(c.extra.size()) + " bytes, workers " +
           std::to_string(c.workers);
}

Report exploreAppend(const AppendCase& c) {
    auto run = runAppend(c);
    return explore(run->log, run->judge);
}

}  // namespace

// The safe append at every thread setting, with a short last block that is
// copied after the table and one that stays, and headings on both sides of a
// sector boundary and across one.
TEST(CrashStates, SafeAppendReadsAsBeforeOrAfterInEveryState) {
    const struct {
        const char* what;
        Bytes old;
    } olds[] = {
        {"no block", {}},
        {"short last block, copied", textBytes(5000, 1)},
        {"short last block with a large payload, kept", patternBytes(100000, 2)},
        {"a full block and a short one", textBytes(kBlock + 3000, 4)},
    };
    for (const std::int64_t P : {300, 490, 500, 503, 1030}) {
        for (const auto& o : olds) {
            for (const int workers : {0, 2}) {
                // A full new block and a short one at P = 500, where the workers have two to share; a few
                // kilobytes elsewhere keep the run short.
                const Bytes extra = P == 500 ? joined(textBytes(kBlock, 5), patternBytes(3000, 6))
                                             : joined(textBytes(20000, 5), patternBytes(3000, 6));
                const AppendCase c{P, o.old, extra, workers};
                const Report r = exploreAppend(c);
                std::printf("safe append, %s, %s: %s\n", o.what, describe(c).c_str(), r.summary().c_str());
                EXPECT_TRUE(r.damage.empty()) << o.what << ", " << describe(c) << ": " << r.summary() << "\n"
                                              << r.damage.front();
                EXPECT_GT(r.count("before"), 0u);
                EXPECT_GT(r.count("after"), 0u);
            }
        }
    }
}

// A safe append whose Close fails after the heading's first step is
// abandoned: the old heading goes back and the file is cut to its old length.
// Every state of that way back reads as before or after too.
TEST(CrashStates, AbandonedSafeAppendReadsAsBeforeOrAfterInEveryState) {
    for (const int workers : {0, 2}) {
        constexpr std::int64_t P = 500;
        const Bytes dict = patternBytes(P, 3), old = textBytes(5000, 1);
        const Bytes extra = joined(textBytes(kBlock, 5), patternBytes(3000, 6));
        TempDir dir(memoryFileSystem());
        const std::string f = dir.file("data.zdat");
        packFile(f, dict, old);
        const Bytes original = readAll(f);
        Log log;
        {
            Recorder recorder(dir.path());
            // The syncs: table, first heading step, second heading step. The third fails.
            recorder.seam().failNth(veld::crt::Call::Commit, 3, EIO);
            EXPECT_THROW(append(f, P, extra, true, workers), veld::DataSourceError);
            log = recorder.finish();
        }
        EXPECT_TRUE(readAll(f) == original);
        const auto truncations = std::count_if(log.ops.begin(), log.ops.end(), [](const Op& o) {
            return o.kind == Op::Truncate;
        });
        EXPECT_EQ(truncations, 1);
        const Report r = explore(log, [&](const fs::path& d) {
            return verdictOf((d / "data.zdat").string(), P, dict, old, joined(old, extra));
        });
        std::printf("safe append abandoned in its heading, workers %d: %s\n", workers, r.summary().c_str());
        EXPECT_TRUE(r.damage.empty()) << r.summary() << "\n" << r.damage.front();
        EXPECT_GT(r.count("after"), 0u) << "the heading's second step made it the new file for a moment";
    }
}

// The control: without its syncs the same append can be caught half-way, so
// the explorer does see what a missing sync costs.
TEST(CrashStates, WithoutSyncsTheExplorerFindsDamage) {
    for (const std::int64_t P : {300, 500}) {
        for (const int workers : {0, 2}) {
            const AppendCase c{P, textBytes(5000, 1), joined(textBytes(kBlock, 5), patternBytes(3000, 6)), workers};
            auto run = runAppend(c);
            const Report r = explore(withoutSyncs(run->log), run->judge);
            std::printf("safe append without syncs, %s: %s\n", describe(c).c_str(), r.summary().c_str());
            EXPECT_FALSE(r.damage.empty()) << describe(c) << ": " << r.summary();
        }
    }
}

// The heading rewrite at every position of the heading against a sector
// boundary. Small data keeps each run quick; the table's offset field is cut
// by a boundary for P mod 512 in 497..503, where the new table must go where
// only one side of the field changes.
TEST(CrashStates, HeadingRewriteNeverTearsForAnyRowZeroModulo512) {
    std::size_t states = 0, distinct = 0;
    for (std::int64_t r = 0; r < 512; ++r) {
        const std::int64_t P = 512 + r;
        for (const int workers : {0, 2}) {
            // Workers change nothing in the heading's steps: every 16th class is enough for them.
            if (workers && r % 16 != 0 && (r < 488 || r > 503)) continue;
            const AppendCase c{P, textBytes(700, 7), patternBytes(900, 8), workers};
            const Report rep = exploreAppend(c);
            states += rep.states;
            distinct += rep.distinct;
            EXPECT_TRUE(rep.damage.empty()) << describe(c) << ": " << rep.summary() << "\n" << rep.damage.front();
            EXPECT_GT(rep.count("before"), 0u) << describe(c);
            EXPECT_GT(rep.count("after"), 0u) << describe(c);
        }
    }
    std::printf("heading rewrite, all 512 classes: %zu states, %zu distinct\n", states, distinct);
}

// Where the offset field is cut after its first or second byte, a table
// offset that leaves its 256- or 65,536-byte range is the hard case. The new
// table then goes at the start of the new bytes (payloads there move behind),
// or, when even that is past the range, beyond the end at an offset with the
// old low bytes. Both happen here, and every state reads as before or after.
TEST(CrashStates, TableOffsetLeavingItsRangeAcrossTheBoundary) {
    std::size_t moved = 0, padded = 0;
    auto run = [&](std::int64_t P, const Bytes& old, const Bytes& extra, int workers) {
        const AppendCase c{P, old, extra, workers};
        auto a = runAppend(c);
        const int low = P % 512 == 503 ? 1 : 2;
        const std::int64_t window = std::int64_t{1} << (8 * low);
        const std::int64_t O1 = a->oldLayout.infoPos, O2 = a->newLayout.infoPos;
        const bool crossed = O1 / window != O2 / window;
        if (!crossed && O2 == O1 + a->oldLayout.size) ++moved;
        if (crossed) {
            EXPECT_EQ(O2 % window, O1 % window) << describe(c);
            ++padded;
        }
        const Report r = explore(a->log, a->judge);
        EXPECT_TRUE(r.damage.empty()) << describe(c) << ": " << r.summary() << "\n" << r.damage.front();
        EXPECT_GT(r.count("after"), 0u);
    };
    for (const int workers : {0, 2}) {
        for (std::size_t n = 150; n <= 260; n += 10)
            run(512 * 3 + 503, patternBytes(n, 9), patternBytes(700, 10), workers);
        // 65,536 - 1,024 + 502: the old table lies just below a 64 KiB line, the new bytes cross it.
        run(65014, textBytes(300, 11), patternBytes(1500, 12), workers);
    }
    std::printf("offset leaving its range: %zu with payloads moved, %zu placed past the end\n", moved, padded);
    EXPECT_GT(moved, 0u);
    EXPECT_GT(padded, 0u);
}

// The in-place append writes over the old table: a power cut can leave a
// file that reads as neither. After a full last block every such state must
// be one that recovery brings back to at least the data before. A short last
// block is rewritten where it lies, so its old bytes can be lost for good:
// there recovery must still keep every full block before it.
TEST(CrashStates, InPlaceAppendStatesAreRecoverable) {
    for (const bool shortLast : {false, true}) {
        for (const int workers : {0, 2}) {
            const Bytes old = shortLast ? textBytes(kBlock + 5000, 13) : textBytes(kBlock, 13);
            const AppendCase c{500, old, joined(textBytes(30000, 14), patternBytes(3000, 15)), workers, false};
            auto a = runAppend(c);
            const Bytes after = joined(c.old, c.extra);
            TempDir out(memoryFileSystem());
            const Judge judge = [&](const fs::path& dir) {
                const std::string f = (dir / "data.zdat").string();
                const std::string v = a->judge(dir);
                if (v == "before" || v == "after" || v == "missing") return v;
                try {
                    veld::inspect::FileSource source(f);
                    const veld::inspect::RecoveryPlan plan = veld::inspect::planRecovery(source, c.P, false);
                    const std::string recovered = out.file("recovered.zdat");
                    veld::inspect::writeRecovered(plan, source, recovered);
                    const Bytes cases = readCases(recovered, c.P, 0);
                    if (!std::equal(cases.begin(), cases.end(), after.begin())) return std::string("recovers other bytes");
                    if (cases.size() >= c.old.size()) return std::string("recoverable");
                    if (cases.size() >= static_cast<std::size_t>(kBlock)) return std::string("keeps the full block");
                    return "recovery keeps " + std::to_string(cases.size()) + " bytes";
                } catch (const std::exception& e) {
                    return std::string("not recoverable: ") + e.what();
                }
            };
            std::vector<std::string> allowed{"before", "after", "recoverable"};
            if (shortLast) allowed.push_back("keeps the full block");
            const Report r = explore(a->log, judge, allowed);
            std::printf("in-place append, %s last block, %s: %s\n", shortLast ? "short" : "full", describe(c).c_str(),
                        r.summary().c_str());
            EXPECT_GT(r.count("recoverable") + r.count("keeps the full block"), 0u)
                << "states that read as neither exist";
            EXPECT_TRUE(r.damage.empty()) << describe(c) << ": " << r.summary() << "\n" << r.damage.front();
        }
    }
}

// pack writes beside the output, syncs, renames over it and syncs the
// directory: the output's name holds the old file or the new one.
TEST(CrashStates, PackReplacesTheOutputWhole) {
    constexpr std::int64_t P = 500;
    for (const int threads : {0, 1}) {
        TempDir dir(memoryFileSystem()), inputDir;  // the input apart: only the output's directory is watched
        const std::string input = inputDir.file("survey.dat");
        const std::string output = dir.file("survey.zdat");
        const Bytes dict = patternBytes(P, 21);
        const Bytes oldCases = textBytes(20000, 22);
        // Two blocks at setting 1, where the worker takes them; one elsewhere.
        const Bytes newCases = threads ? joined(textBytes(kBlock, 23), patternBytes(5000, 24))
                                       : joined(textBytes(50000, 23), patternBytes(5000, 24));
        packFile(output, dict, oldCases);
        writeAll(input, joined(dict, newCases));
        Log log;
        {
            Recorder recorder(dir.path());
            veldcli::PackOptions o;
            o.input = input;
            o.output = output;
            o.row0 = P;
            o.threads = threads;
            o.quiet = true;
            o.force = true;  // the old output is replaced
            ASSERT_EQ(veldcli::runPack(o), 0);
            log = recorder.finish();
        }
        const Judge judge = [&](const fs::path& d) {
            return verdictOf((d / "survey.zdat").string(), P, dict, oldCases, newCases);
        };
        const Report r = explore(log, judge);
        std::printf("pack, threads %d: %s\n", threads, r.summary().c_str());
        EXPECT_TRUE(r.damage.empty()) << r.summary() << "\n" << r.damage.front();
        EXPECT_GT(r.count("before"), 0u);
        EXPECT_GT(r.count("after"), 0u);
        // The control: without syncs the rename can outrun the data.
        const Report control = explore(withoutSyncs(log), judge);
        std::printf("pack without syncs, threads %d: %s\n", threads, control.summary().c_str());
        EXPECT_FALSE(control.damage.empty()) << control.summary();
    }
}

// recover --in-place: the recovered file is written beside the damaged one,
// synced and renamed over it; the name holds the damaged file or the
// recovered one in every state.
TEST(CrashStates, RecoverInPlaceReplacesTheFileWhole) {
    constexpr std::int64_t P = 500;
    TempDir dir(memoryFileSystem());
    const std::string f = dir.file("data.zdat");
    const Bytes dict = patternBytes(P, 31);
    const Bytes cases = joined(textBytes(2 * kBlock, 32), patternBytes(4000, 33));
    packFile(f, dict, cases);
    // A flipped byte in the last payload: recovery keeps the two blocks before it.
    Bytes damaged = readAll(f);
    const RawLayout layout = readLayout(damaged, P);
    damaged[static_cast<std::size_t>(layout.blocks.back().translatePos + 10)] ^= 0x55;
    writeAll(f, damaged);
    Log log;
    {
        Recorder recorder(dir.path());
        veld::inspect::FileSource source(f);
        const veld::inspect::RecoveryPlan plan = veld::inspect::planRecovery(source, P, false);
        veld::inspect::writeRecovered(plan, source, f);
        log = recorder.finish();
    }
    const Bytes kept = slice(cases, 0, 2 * kBlock);
    ASSERT_EQ(readCases(f, P, 0), kept);
    const Report r = explore(log, [&](const fs::path& d) {
        const std::string path = (d / "data.zdat").string();
        if (fs::exists(path) && readAll(path) == damaged) return std::string("before");
        return verdictOf(path, P, dict, cases, kept);
    });
    std::printf("recover in place: %s\n", r.summary().c_str());
    EXPECT_TRUE(r.damage.empty()) << r.summary() << "\n" << r.damage.front();
    EXPECT_GT(r.count("before"), 0u);
    EXPECT_GT(r.count("after"), 0u);
    // The control: without the sync before the rename, both versions can be lost.
    const Report control = explore(withoutSyncs(log), [&](const fs::path& d) {
        const std::string path = (d / "data.zdat").string();
        if (fs::exists(path) && readAll(path) == damaged) return std::string("before");
        return verdictOf(path, P, dict, cases, kept);
    });
    std::printf("recover in place without syncs: %s\n", control.summary().c_str());
    EXPECT_GT(control.damaged, 0u);
}

// compact: the file without its stale bytes is written beside it, synced and
// renamed over it; every state reads the same data.
TEST(CrashStates, CompactReplacesTheFileWhole) {
    constexpr std::int64_t P = 500;
    TempDir dir(memoryFileSystem());
    const std::string f = dir.file("data.zdat");
    const Bytes dict = patternBytes(P, 41);
    Bytes cases = textBytes(5000, 42);
    packFile(f, dict, cases);
    for (std::uint32_t k = 0; k < 3; ++k) {
        const Bytes more = textBytes(3000, 43 + k);
        append(f, P, more, true, 0);
        cases = joined(cases, more);
    }
    const Bytes stale = readAll(f);
    Log log;
    {
        Recorder recorder(dir.path());
        veld::inspect::compactFile(f, P, false);
        log = recorder.finish();
    }
    const Bytes compacted = readAll(f);
    ASSERT_LT(compacted.size(), stale.size());
    const Judge judge = [&](const fs::path& d) {
        const std::string path = (d / "data.zdat").string();
        const std::string v = verdictOf(path, P, dict, cases, cases);
        if (v != "before") return v;
        const Bytes now = readAll(path);
        return now == stale ? std::string("before") : now == compacted ? std::string("after") : std::string("other bytes");
    };
    const Report r = explore(log, judge);
    std::printf("compact: %s\n", r.summary().c_str());
    EXPECT_TRUE(r.damage.empty()) << r.summary() << "\n" << r.damage.front();
    EXPECT_GT(r.count("before"), 0u);
    EXPECT_GT(r.count("after"), 0u);
    const Report control = explore(withoutSyncs(log), judge);
    std::printf("compact without syncs: %s\n", control.summary().c_str());
    EXPECT_GT(control.damaged, 0u);
}
