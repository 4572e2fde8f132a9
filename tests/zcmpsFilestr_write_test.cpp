// Writing compressed data files: layout on disk, settings 0 and 1, protocol checks.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "crt_seam.h"
#include "blockEngine.h"
#include "zcmpsFilestr.h"

using namespace veldtest;
using veld::crt::Call;
using veld::crt::CrtSeam;

namespace {

// The invariants every finished file keeps, checked with memcpy and zlib alone.
void expectWellFormed(const Bytes& file, std::int64_t P, const RawLayout& layout) {
    EXPECT_EQ(layout.caseStartPos, P);
    EXPECT_EQ(layout.first.orginalPos, -100);
    EXPECT_EQ(layout.first.translatePos, 0);
    EXPECT_EQ(layout.first.orginalSize, kBlock);
    EXPECT_EQ(layout.size, 24 * static_cast<std::int64_t>(layout.blocks.size() + 1));
    std::int64_t orginal = P, translate = P + 24;
    for (const blockInfo& r : layout.blocks) {
        EXPECT_EQ(r.orginalPos, orginal);
        EXPECT_EQ(r.translatePos, translate);
        orginal += r.orginalSize;
        translate += r.translateSize;
    }
    EXPECT_EQ(layout.infoPos, translate) << "the table follows the last payload";
    EXPECT_EQ(static_cast<std::int64_t>(file.size()), layout.infoPos + layout.size);
}

class CompressedWrite : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(CompressedWrite, LayoutOfTypicalSizes) {
    const struct {
        std::size_t caseBytes;
        bool incompressible;  // pseudo-random: deflate cannot shrink it, the block is halved
        std::vector<std::uint64_t> flushAfter;
        std::vector<std::int32_t> sizes;
    } cases[] = {
        {0, false, {}, {}},
        {kBlock, false, {}, {kBlock}},
        {kBlock + 1, false, {}, {kBlock, 1}},
        {3 * kBlock + 777, false, {}, {kBlock, kBlock, kBlock, 777}},
        {20, false, {10}, {10, 10}},  // a flush ends a block early
        {kBlock + 5000, true, {}, {kBlock / 2, kBlock / 2, 5000}},
        // A short block from a flush is halved too; an odd count leaves the larger half second.
        {kBlock + 5000, true, {kBlock - 1}, {kBlock / 2 - 1, kBlock / 2, 5001}},
    };
    TempDir dir;
    const auto dict = patternBytes(1000, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caseBytes);
        const auto data = c.incompressible ? patternBytes(c.caseBytes, 7) : textBytes(c.caseBytes);
        PackOptions options{GetParam(), 65536 + 3, c.flushAfter};
        packFile(dir.file("f"), dict, data, options);
        const auto file = readAll(dir.file("f"));
        ASSERT_GE(file.size(), dict.size());
        EXPECT_EQ(slice(file, 0, dict.size()), dict) << "dictionary part untouched";
        const RawLayout layout = readLayout(file, 1000);
        expectWellFormed(file, 1000, layout);
        ASSERT_EQ(layout.blocks.size(), c.sizes.size());
        for (std::size_t i = 0; i < c.sizes.size(); ++i) EXPECT_EQ(layout.blocks[i].orginalSize, c.sizes[i]);
        for (const blockInfo& r : layout.blocks) EXPECT_LE(r.translateSize, kBlock) << "payload limit";
        EXPECT_EQ(inflateAll(file, layout), data);
        if (c.incompressible) {
            for (int setting : {0, 2, -3}) EXPECT_EQ(readCases(dir.file("f"), 1000, setting), data) << setting;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, CompressedWrite, ::testing::Values(0, 1, -3));

// Block boundaries depend only on the data and the flush points, never on the
// setting or on how the caller cuts its writes, also where blocks are halved.
TEST(CompressedWriteSettings, SettingsAndWriteSizesGiveTheSameBytes) {
    TempDir dir;
    const auto dict = patternBytes(4096, 8);
    Bytes data = textBytes(2 * kBlock + 123457, 9);
    const Bytes noise = patternBytes(kBlock + 999, 10);
    data.insert(data.begin() + 2 * kBlock + 3, noise.begin(), noise.end());  // a full block of noise
    const std::vector<std::uint64_t> flushes{1000, 1000000, kBlock + 17, 2 * kBlock + 3};
    packFile(dir.file("reference"), dict, data, PackOptions{0, 333333, flushes});
    const Bytes reference = readAll(dir.file("reference"));
    for (int setting : {0, 1, -1, -2, -4})
        for (std::size_t piece : {std::size_t{4096}, std::size_t(kBlock), std::size_t(3 * kBlock)}) {
            SCOPED_TRACE(std::to_string(setting) + " " + std::to_string(piece));
            packFile(dir.file("f"), dict, data, PackOptions{setting, piece, flushes});
            EXPECT_TRUE(readAll(dir.file("f")) == reference);
        }
    const RawLayout layout = readLayout(reference, 4096);
    EXPECT_GT(layout.blocks.size(), 6u) << "some blocks were halved";
    for (const blockInfo& r : layout.blocks) EXPECT_LE(r.translateSize, kBlock);
}

TEST(CompressedWriteSettings, FullBlockIsWrittenInsideTheWrite) {
    TempDir dir;
    const auto data = textBytes(kBlock);
    CompressedWriter w(dir.file("f"), patternBytes(10));
    CrtSeam seam;
    w.z->Write(data.data(), data.size());
    const auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].position, 10 + 24);
    seam.clear();
    w.z->Close();
    // Close adds only the table (48 bytes) and the heading.
    const auto closing = seam.calls(Call::Write);
    ASSERT_EQ(closing.size(), 2u);
    EXPECT_EQ(closing[0].count, 48u);
    EXPECT_EQ(closing[1].position, 10);
    EXPECT_EQ(closing[1].count, 24u);
    // Destroying a closed stream writes nothing more.
    seam.clear();
    w.z.reset();
    EXPECT_TRUE(seam.calls(Call::Write).empty());
}

TEST(CompressedWriteProtocol, RefusedCallsNameTheirChecks) {
    TempDir dir;
    CompressedWriter w(dir.file("f"), patternBytes(10), 1);
    w.z->Write("abc", 3);
    w.z->Seek(100, VELD_StrBaseIO::FromStart);
    EXPECT_EQ(failedCheck([&] { w.z->Write("x", 1); }),
              "(req._pos == fpos + sizeof(fBuffer) - availBuffSize) && \"Jumped write in zcmpsFilestr::Data::Write\"");
    w.z->Seek(13, VELD_StrBaseIO::FromStart);
    EXPECT_EQ(failedCheck([&] { w.z->Seek(0, VELD_StrBaseIO::FromEnd); }),
              "0 && \"seek from end with zcmpsFilestr::Seek\"");
    EXPECT_EQ(w.z->Tell(), 13);
    EXPECT_EQ(failedCheck([&] { w.z->setMultiThread(0); }), "fData->fpIOThread == 0");
    EXPECT_EQ(failedCheck([&] { char c; w.z->Read(&c, 1); }), "bIsWriting == false");
    w.z->Write("def", 3);
    w.z->Close();
    EXPECT_EQ(failedCheck([&] { w.z->Write("x", 1); }), "bIsWriting == true");
    const auto file = readAll(dir.file("f"));
    EXPECT_EQ(inflateAll(file, readLayout(file, 10)), Bytes({'a', 'b', 'c', 'd', 'e', 'f'}));
}

// Starting to write while a thread object works for the stream would reopen
// the file under it (reader) or leave it without its end mark (writer).
TEST(CompressedWriteProtocol, SetRow0PosWithAThreadAttachedIsRefused) {
    TempDir dir;
    const auto data = textBytes(2 * kBlock + 77, 24);
    packFile(dir.file("f"), patternBytes(10), data);
    {
        VELD_FileStream stream(dir.file("f").c_str(), "rb");
        zcmpsFilestr z(stream);
        z.setMultiThread(2);
        z.readFilePosInfo(10, false);
        EXPECT_EQ(readN(z, 100), slice(data, 0, 100));
        EXPECT_EQ(failedCheck([&] { z.setRow0Pos(10); }), "fData->fpIOThread == 0");
        EXPECT_EQ(readToEnd(z), slice(data, 100, data.size() - 100)) << "reading goes on undisturbed";
    }
    {
        CompressedWriter w(dir.file("g"), patternBytes(10), 1);
        w.z->Write(data.data(), kBlock + 5);
        EXPECT_EQ(failedCheck([&] { w.z->setRow0Pos(10); }), "fData->fpIOThread == 0");
        w.z->Write(data.data() + kBlock + 5, data.size() - kBlock - 5);
        w.z->Close();
    }
    EXPECT_EQ(readCases(dir.file("g"), 10, 0), data);
}

TEST(CompressedWriteProtocol, ReopenFailuresThrowSystemFileException) {
    TempDir dir;
    VELD_FileStream stream(dir.file("f").c_str(), "wb");
    stream.Write("dict", 4);
    CrtSeam seam;
    seam.failNth(Call::Open, 1, EACCES);
    const auto atStart = raised<SystemFileException>([&] { zcmpsFilestr(stream).setRow0Pos(4); });
    ASSERT_TRUE(atStart);
    EXPECT_EQ(atStart->fErrorNumber, 1201);
    EXPECT_EQ(atStart->fLine, 468);
    EXPECT_EQ(atStart->fExpression, "fData->pRealFile.Open(GetNameStr(), \"r+b\")");
    EXPECT_EQ(atStart->fSourceFile, "Datasource\\src\\zcmpsFilestr");
    EXPECT_TRUE(atStart->fFlag);

    zcmpsFilestr z(stream);
    z.setRow0Pos(4);
    z.Seek(4, VELD_StrBaseIO::FromStart);
    z.Write("cases", 5);
    seam.failNth(Call::Open, 1, EACCES);
    const auto atClose = raised<SystemFileException>([&] { z.Close(); });
    ASSERT_TRUE(atClose);
    EXPECT_EQ(atClose->fLine, 401);
    EXPECT_EQ(atClose->fExpression, "VELD_FileStream::Open(GetNameStr(), password, \"rb\")");
    // The stream has left the writing state although its reopen failed: the
    // file is finished, so a second Close (the destructor's) has nothing left
    // to refuse.
    EXPECT_EQ(z.Close(), 1);
    // The file on disk is finished all the same.
    const auto file = readAll(dir.file("f"));
    EXPECT_EQ(inflateAll(file, readLayout(file, 4)), Bytes({'c', 'a', 's', 'e', 's'}));
}

TEST(CompressedWriteProtocol, RowZeroPositionMustFollowADictionaryPart) {
    TempDir dir;
    VELD_FileStream stream(dir.file("f").c_str(), "wb");
    stream.Write("dict", 4);
    zcmpsFilestr z(stream);
    for (std::int64_t P : {0, -24})
        EXPECT_EQ(failedCheck([&] { z.setRow0Pos(P); }),
                  "P > 0 && \"the row-0 position follows a dictionary part\"");
    EXPECT_EQ(failedCheck([&] { z.Write("x", 1); }), "bIsWriting == true") << "nothing started";
    z.setRow0Pos(4);
    z.Seek(4, VELD_StrBaseIO::FromStart);
    z.Write("cases", 5);
    z.Close();
    EXPECT_EQ(readCases(dir.file("f"), 4, 0), Bytes({'c', 'a', 's', 'e', 's'}));
}

// Index among the writes of one Close of the write of `count` bytes.
static std::size_t writeOfCount(const std::vector<veld::crt::CallRecord>& writes, std::uint64_t count) {
    for (std::size_t i = 0; i < writes.size(); ++i)
        if (writes[i].count == count) return i;
    return writes.size();
}

TEST_P(CompressedWrite, FailedTableOrHeadingWriteIsRetriedByTheNextClose) {
    const auto data = textBytes(2 * kBlock + 4321, 31);
    for (const std::uint64_t failing : {std::uint64_t{96}, std::uint64_t{24}}) {  // table, heading
        SCOPED_TRACE(failing);
        TempDir dir;
        std::size_t nth;
        {
            // Counted from the first block on: a worker may still be writing when Write returns.
            CompressedWriter w(dir.file("probe"), patternBytes(100), GetParam());
            CrtSeam seam;
            w.z->Write(data.data(), data.size());
            w.z->Close();
            nth = writeOfCount(seam.calls(Call::Write), failing);
        }
        CompressedWriter w(dir.file("f"), patternBytes(100), GetParam());
        CrtSeam seam;
        seam.failNth(Call::Write, static_cast<int>(nth) + 1, ENOSPC);
        w.z->Write(data.data(), data.size());
        int err = 0;
        EXPECT_EQ(raisedCode([&] { w.z->Close(); }, &err), 1002);
        EXPECT_EQ(err, ENOSPC);
        EXPECT_EQ(slice(readAll(dir.file("f")), 100, 8), Bytes(8, 0)) << "no heading yet";
        w.z->Close();  // the disk has room again
        const auto file = readAll(dir.file("f"));
        expectWellFormed(file, 100, readLayout(file, 100));
        EXPECT_EQ(readCases(dir.file("f"), 100, 0), data);
        seam.clear();
        w.z->Close();
        EXPECT_TRUE(seam.calls(Call::Write).empty()) << "finished once";
    }
}

// A block whose store fails stays held: nothing is committed while it is,
// and the call that comes next (Write, Flush or Close) stores it again, so the
// file comes out byte for byte as without the failure, at every setting.
TEST_P(CompressedWrite, FailedStoreIsHeldAndStoredAgain) {
    const auto dict = patternBytes(10);
    Bytes data = textBytes(3 * kBlock + 10);
    const Bytes noise = patternBytes(kBlock, 3);  // a block halved for the payload limit
    data.insert(data.begin() + kBlock, noise.begin(), noise.end());
    TempDir dir;
    packFile(dir.file("reference"), dict, data, PackOptions{0, 1000000, {data.size()}});
    const Bytes reference = readAll(dir.file("reference"));
    const std::size_t payloads = readLayout(reference, 10).blocks.size();
    ASSERT_EQ(payloads, 6u);
    // Payload writes of the four full blocks (the second one's two halves in one
    // write), then the last block's, stored by the Flush.
    for (int failing = 1; failing <= 5; ++failing) {
        SCOPED_TRACE(failing);
        CompressedWriter w(dir.file("f"), dict, GetParam());
        CrtSeam seam;
        seam.failNth(Call::Write, failing, ENOSPC);
        std::vector<std::string> failed;
        auto attempt = [&](const char* what, const std::function<void()>& call) {
            int err = 0;
            const int code = raisedCode(call, &err);
            if (code == 0) return true;
            failed.push_back(std::string(what) + " " + std::to_string(code) + " " + std::to_string(err));
            const Bytes now = readAll(dir.file("f"));
            EXPECT_TRUE(now.size() < 34 || slice(now, 10, 24) == Bytes(24, 0))
                << "nothing committed while a block is held";
            return false;
        };
        std::size_t at = 0;
        for (int calls = 0; at < data.size() && calls < 100; ++calls) {
            const std::size_t n = std::min<std::size_t>(1000000, data.size() - at);
            attempt("Write", [&] { w.z->Write(data.data() + at, n); });
            // A failed Write has taken the bytes its held block holds: Tell says how far.
            at = static_cast<std::size_t>(w.z->Tell() - 10);
        }
        ASSERT_EQ(at, data.size()) << "the writes went on after the failure";
        if (!attempt("Flush", [&] { w.z->Flush(); })) attempt("Flush", [&] { w.z->Flush(); });
        if (!attempt("Close", [&] { w.z->Close(); })) ASSERT_TRUE(attempt("Close", [&] { w.z->Close(); }));
        ASSERT_EQ(failed.size(), 1u) << "the one failure is raised once";
        EXPECT_NE(failed[0].find(" 1002 " + std::to_string(ENOSPC)), std::string::npos) << failed[0];
        if (GetParam() == 0) {
            // Without a worker the failure meets the call that stores the block.
            EXPECT_EQ(failed[0].substr(0, 5), failing == 5 ? "Flush" : "Write");
        }
        EXPECT_TRUE(readAll(dir.file("f")) == reference);
    }
}

// Abandoned after a failed store, the stream commits nothing and writes no more.
TEST_P(CompressedWrite, AbandonAfterAFailedStoreGivesItAllUp) {
    const auto data = textBytes(2 * kBlock + 99, 5);
    TempDir dir;
    CompressedWriter w(dir.file("f"), patternBytes(10), GetParam());
    CrtSeam seam;
    seam.failNth(Call::Write, 2, EIO);
    int err = 0;
    EXPECT_EQ(raisedCode([&] {
                  w.z->Write(data.data(), data.size());
                  w.z->Close();
              }, &err),
              1002);
    EXPECT_EQ(err, EIO);
    w.z->Abandon();
    seam.clear();
    w.z->Close();
    w.z.reset();
    EXPECT_TRUE(seam.calls(Call::Write).empty());
    EXPECT_EQ(slice(readAll(dir.file("f")), 10, 24), Bytes(24, 0));
}

// The disk refuses for good: every call raises, nothing is committed, and a
// stream destroyed while the failure unwinds drops its own instead of ending the program.
TEST_P(CompressedWrite, DiskThatKeepsRefusingCommitsNothing) {
    const auto data = textBytes(3 * kBlock + 10);
    {
        TempDir dir;
        CompressedWriter w(dir.file("f"), patternBytes(10), GetParam());
        CrtSeam seam;
        seam.failFrom(Call::Write, 2, ENOSPC);
        int err = 0;
        EXPECT_EQ(raisedCode([&] {
                      w.z->Write(data.data(), data.size());
                      w.z->Close();
                  }, &err),
                  1002);
        for (int i = 0; i < 2; ++i) EXPECT_EQ(raisedCode([&] { w.z->Close(); }, &err), 1002);
        EXPECT_EQ(raisedCode([&] { w.z->Flush(); }), 1002);
        zcmpsFilestr* stream = w.z.release();
        EXPECT_EQ(raisedCode([&] { delete stream; }), 1002);
        const auto file = readAll(dir.file("f"));
        EXPECT_TRUE(file.size() < 34 || slice(file, 10, 24) == Bytes(24, 0)) << "no heading";
    }
    TempDir dir;
    CrtSeam seam;
    int err = 0;
    EXPECT_EQ(raisedCode([&] {
                  VELD_FileStream stream(dir.file("f").c_str(), "wb");
                  stream.Write("dict", 4);
                  zcmpsFilestr z(stream);
                  applySetting(z, GetParam());
                  z.setRow0Pos(4);
                  z.Seek(4, VELD_StrBaseIO::FromStart);
                  seam.failFrom(Call::Write, 1, EIO);
                  for (int i = 0; i < 4; ++i) z.Write(data.data(), kBlock);
              }, &err),
              1002);
    EXPECT_EQ(err, EIO);
}

TEST_P(CompressedWrite, AbandonCommitsNothingAndLaterClosesDoNothing) {
    TempDir dir;
    const auto data = textBytes(2 * kBlock + 99, 5);
    CompressedWriter w(dir.file("f"), patternBytes(10), GetParam());
    w.z->Write(data.data(), data.size());
    CrtSeam seam;
    w.z->Abandon();
    for (const auto& c : seam.calls(Call::Write)) EXPECT_NE(c.position, 10) << "no heading";
    const auto calls = seam.calls().size();
    w.z->Close();
    w.z.reset();
    EXPECT_EQ(seam.calls().size(), calls);
    EXPECT_EQ(slice(readAll(dir.file("f")), 10, 24), Bytes(24, 0));
}

// A file written with any block engine reads back with any other, noise and all.
TEST(CompressedWriteSettings, FilesOfEveryEngineReadWithEveryEngine) {
    TempDir dir;
    const auto dict = patternBytes(100, 2);
    Bytes data = textBytes(kBlock + 5000, 3);
    const Bytes noise = patternBytes(kBlock, 4);
    data.insert(data.end(), noise.begin(), noise.end());
    std::vector<veld::BlockEngine> engines;
    for (auto e : {veld::BlockEngine::Zlib, veld::BlockEngine::Libdeflate, veld::BlockEngine::Isal})
        if (veld::blockEngineAvailable(e)) engines.push_back(e);
    for (auto writer : engines) {
        ASSERT_TRUE(veld::setBlockEngine(writer));
        packFile(dir.file("f"), dict, data, PackOptions{1, 1 << 20, {}});
        const auto file = readAll(dir.file("f"));
        const RawLayout layout = readLayout(file, 100);
        for (const blockInfo& r : layout.blocks) EXPECT_LE(r.translateSize, kBlock);
        EXPECT_TRUE(inflateAll(file, layout) == data) << "zlib's own uncompress reads it";
        for (auto reader : engines) {
            veld::setBlockEngine(reader);
            EXPECT_TRUE(readCases(dir.file("f"), 100, 0) == data)
                << veld::blockEngineName(writer) << " read by " << veld::blockEngineName(reader);
        }
    }
    veld::setBlockEngine(veld::BlockEngine::Automatic);
}
