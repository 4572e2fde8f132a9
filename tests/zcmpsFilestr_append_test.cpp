// Appending safely (shadow paging), and what an append leaves behind when a
// system call fails part-way, in place and safely.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "crt_seam.h"
#include "zcmpsFilestr.h"

using namespace veldtest;
using veld::crt::Call;
using veld::crt::CrtSeam;

namespace {

constexpr std::int64_t P = 300;

Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::int64_t dataEnd(const RawLayout& layout) {
    return layout.blocks.empty() ? P : layout.blocks.back().orginalPos + layout.blocks.back().orginalSize;
}

// Appends extra at the end of the data as an application does, abandoning the
// append when anything fails. The seam, if given, is installed once the file
// is read; workers, if any, compress the appended blocks.
void appendBytes(const std::string& path, const Bytes& extra, bool safely,
                 const std::function<void()>& beforeAppend = {}, int workers = 0) {
    const std::int64_t end = dataEnd(readLayout(readAll(path), P));
    VELD_FileStream stream(path.c_str(), "rb");
    zcmpsFilestr z(stream);
    z.readFilePosInfo(P, false);
    z.setWorkers(workers);
    z.Seek(end, VELD_StrBaseIO::FromStart);
    if (beforeAppend) beforeAppend();
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

}  // namespace

TEST(CompressedSafeAppend, NewBytesGoAfterTheTableAndTheOldFileStaysWhole) {
    const struct {
        Bytes old;
        std::size_t blocksAdded;  // beside those the old file had, besides the two full new ones
    } cases[] = {
        {Bytes(), 1},
        {textBytes(7, 1), 0},                  // a small short block is rewritten after the table
        {textBytes(kBlock, 2), 1},             // a full one stays
        {textBytes(kBlock + 7, 3), 0},
        {patternBytes(600000, 4), 1},          // a short block with a large payload stays as it is
    };
    const auto extra = textBytes(2 * kBlock + 123457, 9);
    for (const auto& c : cases) {
      Bytes withoutWorkers;
      for (const int workers : {0, 2}) {
        SCOPED_TRACE(testing::Message() << c.old.size() << " bytes, workers " << workers);
        TempDir dir;
        const std::string f = dir.file("f");
        packFile(f, patternBytes(P, 5), c.old);
        const auto before = readAll(f);
        const RawLayout old = readLayout(before, P);
        const std::int64_t oldEnd = old.infoPos + old.size;

        CrtSeam seam;
        appendBytes(f, extra, true, {}, workers);
        // Payloads and table reach the disk before the heading, the heading before Close returns.
        std::vector<veld::crt::CallRecord> calls;
        for (const auto& c : seam.calls())
            if (c.kind == Call::Write || c.kind == Call::Commit) calls.push_back(c);
        // The heading's changed bytes: one write, each followed by a sync.
        std::size_t heading = calls.size();
        for (std::size_t i = 0; i < calls.size(); ++i)
            if (calls[i].kind == Call::Write && calls[i].position >= P && calls[i].position < P + 24) {
                heading = i;
                break;
            }
        ASSERT_LT(heading, calls.size());
        ASSERT_GE(heading, 2u);
        EXPECT_EQ(calls[heading - 1].kind, Call::Commit);
        EXPECT_EQ(calls[heading - 2].kind, Call::Write) << "the table";
        EXPECT_EQ(calls.size(), heading + 2) << "P = 300 keeps the heading in one sector";
        EXPECT_EQ(calls.back().kind, Call::Commit);
        EXPECT_GE(calls[heading].position, P + 8) << "the row-0 field stays as it was";

        const auto file = readAll(f);
        const RawLayout now = readLayout(file, P);
        EXPECT_EQ(slice(file, 0, P), slice(before, 0, P));
        EXPECT_EQ(slice(file, P + 24, oldEnd - P - 24), slice(before, P + 24, oldEnd - P - 24))
            << "nothing the old heading reaches was written";
        EXPECT_GE(now.infoPos, oldEnd);
        ASSERT_EQ(now.blocks.size(), old.blocks.size() + 2 + c.blocksAdded);
        for (std::size_t k = 0; k < now.blocks.size(); ++k) {
            const bool kept = k < old.blocks.size() && std::memcmp(&now.blocks[k], &old.blocks[k], 24) == 0;
            EXPECT_TRUE(kept || now.blocks[k].translatePos >= oldEnd) << k;
        }
        for (int setting : {0, 2}) EXPECT_EQ(readCases(f, P, setting), joined(c.old, extra)) << setting;
        // Workers change nothing in the file.
        if (workers == 0) withoutWorkers = file;
        else EXPECT_TRUE(file == withoutWorkers);
      }
    }
}

// Each append leaves at most a small rewritten block and the old table behind.
TEST(CompressedSafeAppend, RepeatedSmallAppendsCopyLittle) {
    TempDir dir;
    const std::string f = dir.file("f");
    Bytes all = patternBytes(600000, 6);
    packFile(f, patternBytes(P), all);
    for (int i = 0; i < 10; ++i) {
        const auto extra = textBytes(1000, 10 + i);
        const auto size = readAll(f).size();
        appendBytes(f, extra, true);
        all = joined(all, extra);
        EXPECT_LT(readAll(f).size() - size, 4096u) << i;
    }
    const auto file = readAll(f);
    const RawLayout layout = readLayout(file, P);
    ASSERT_EQ(layout.blocks.size(), 2u) << "the small appends gathered in one block";
    EXPECT_EQ(layout.blocks[1].orginalSize, 10000);
    EXPECT_EQ(readCases(f, P, 0), all);
}

// Every system call of the append fails in turn, with each errno: the error
// names the data file, and a safe append leaves the file as before, byte for
// byte once abandoning has cut it back (or, for a failure after the heading
// is written, reading as after). An append in
// place may leave the file damaged, but never its dictionary part.
class CompressedAppendFaults : public ::testing::TestWithParam<int> {};

TEST_P(CompressedAppendFaults, EverySystemCallFailingInTurn) {
    const int workers = GetParam();
    TempDir dir;
    const std::string f = dir.file("f");
    const auto old = textBytes(kBlock + 5000, 11);
    const auto extra = textBytes(kBlock / 2, 12);
    packFile(f, patternBytes(P, 13), old);
    const auto original = readAll(f);
    for (const bool safely : {false, true}) {
        for (const Call kind : {Call::Open, Call::Read, Call::Write, Call::Seek, Call::Commit, Call::Close}) {
            for (const int err : {EIO, ENOSPC}) {
                int failures = 0, asBefore = 0;
                for (int n = 1;; ++n) {
                    SCOPED_TRACE(testing::Message() << "safely " << safely << " kind " << int(kind) << " n " << n
                                                    << " errno " << err);
                    writeAll(f, original);
                    std::string failure;
                    {
                        CrtSeam seam;
                        try {
                            appendBytes(f, extra, safely, [&] { seam.failNth(kind, n, err); }, workers);
                        } catch (const veld::DataSourceError& e) {
                            failure = e.what();
                            EXPECT_EQ(e.fileName(), f);
                            EXPECT_EQ(e.sysErrno(), err);
                        } catch (const SystemFileException& e) {
                            failure = e.fExpression;
                            EXPECT_EQ(kind, Call::Open);
                        } catch (const veld::CheckFailure& e) {
                            ADD_FAILURE() << "a check instead of the system's error: " << e.what();
                            failure = "check";
                        }
                    }
                    const auto file = readAll(f);
                    EXPECT_EQ(slice(file, 0, P), slice(original, 0, P));
                    if (failure.empty()) {
                        EXPECT_EQ(readCases(f, P, 0), joined(old, extra));
                        break;
                    }
                    ++failures;
                    if (!safely) continue;
                    const Bytes now = readCases(f, P, 0);
                    EXPECT_TRUE(now == old || now == joined(old, extra)) << failure;
                    asBefore += now == old;
                    // Abandoning cut the file back to its old length.
                    if (now == old) EXPECT_TRUE(file == original) << failure;
                }
                // Every kind of call happens in every append, but a sync only in a safe one.
                if (kind != Call::Commit || safely) EXPECT_GT(failures, 0);
                if (safely && kind == Call::Write) EXPECT_EQ(asBefore, failures) << "a failed write commits nothing";
            }
        }
    }
}

// A safe append abandoned at any moment, the heading half rewritten
// included, puts the file back byte for byte; when the disk refuses the cut,
// the file still reads as before, with the new bytes left after its table.
TEST_P(CompressedAppendFaults, AbandonedSafeAppendIsCutBack) {
    const int workers = GetParam();
    constexpr std::int64_t kCut = 500;  // the heading's offset field straddles a sector boundary
    TempDir dir;
    const std::string f = dir.file("f");
    const auto old = textBytes(5000, 17), extra = textBytes(kBlock + 10, 18);
    const Bytes dict = patternBytes(kCut, 19);
    packFile(f, dict, old);
    const auto original = readAll(f);
    auto appendFailing = [&](Call kind, int n, bool cutFails) {
        writeAll(f, original);
        const std::int64_t end = kCut + static_cast<std::int64_t>(old.size());
        VELD_FileStream stream(f.c_str(), "rb");
        zcmpsFilestr z(stream);
        z.readFilePosInfo(kCut, false);
        z.setWorkers(workers);
        z.Seek(end, VELD_StrBaseIO::FromStart);
        CrtSeam seam;
        seam.failNth(kind, n, ENOSPC);
        bool failed = false;
        try {
            z.setFileToAppendSafely(end, false);
            z.Write(extra.data(), extra.size());
            z.Close();
        } catch (const veld::DataSourceError&) {
            failed = true;
            if (cutFails) seam.failNth(Call::Truncate, 1, EIO);
            z.Abandon();
        }
        return failed;
    };
    // Each sync of the append in turn: the last ones come after the heading's first step.
    int failures = 0;
    for (int n = 1; appendFailing(Call::Commit, n, false); ++n) {
        SCOPED_TRACE(n);
        ++failures;
        EXPECT_TRUE(readAll(f) == original);
    }
    EXPECT_GE(failures, 3) << "the table's sync and one after each of the heading's two steps";
    for (int n = 1; appendFailing(Call::Write, n, false); ++n) EXPECT_TRUE(readAll(f) == original) << n;

    ASSERT_TRUE(appendFailing(Call::Commit, 2, true));
    const auto file = readAll(f);
    EXPECT_GT(file.size(), original.size());
    EXPECT_TRUE(slice(file, 0, original.size()) == original);
    EXPECT_EQ(readCases(f, kCut, 0), old);
}

// A write cut short is carried on by the runtime layer: every append completes.
TEST_P(CompressedAppendFaults, ShortWritesAreCarriedOn) {
    const int workers = GetParam();
    TempDir dir;
    const std::string f = dir.file("f");
    const auto old = textBytes(5000, 14), extra = textBytes(kBlock + 10, 15);
    packFile(f, patternBytes(P, 16), old);
    const auto original = readAll(f);
    for (const bool safely : {false, true}) {
        std::size_t writes = 0;
        for (std::size_t n = 1; n == 1 || n <= writes; ++n) {
            SCOPED_TRACE(testing::Message() << "safely " << safely << " n " << n);
            writeAll(f, original);
            CrtSeam seam;
            appendBytes(f, extra, safely, [&] { seam.shortNth(Call::Write, static_cast<int>(n), 100); }, workers);
            if (n == 1) writes = seam.calls(Call::Write).size() - 1;  // the cut one is carried on by one more
            EXPECT_EQ(readCases(f, P, 0), joined(old, extra));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, CompressedAppendFaults, ::testing::Values(0, 2));
