#include "VELD_File.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "TestFiles.h"
#include "ThrowError.h"
#include "crt_seam.h"

using veld::crt::Call;
using veld::crt::CrtSeam;
using namespace veldtest;

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override { name.SetGeneric(path); }
    // A 100-byte file of known bytes.
    void existing() { writeAll(path, bytes); }
    TempDir dir;
    std::string path = dir.file("data.bin");
    ExtNameStr name;
    Bytes bytes = patternBytes(100);
};

TEST_F(FileTest, ModeTextsGiveTheRuntimeFlags) {
    const struct { const char* mode; int flags; } cases[] = {{"rb", 0x8010},  {"r+b", 0x8012}, {"wb", 0x8311},   {"ab", 0x8119},
                 {"w+b", 0x8312}, {"a+b", 0x811A}, {"rt", 0x4010},   {"rbT", 0x9010},
                 {"rbD", 0x8050}, {"rwb", 0x8010}, {"", 0x8010}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        existing();
        CrtSeam seam;
        VELD_File f;
        ASSERT_TRUE(f.Open(name, c.mode));
        const auto opens = seam.calls(Call::Open);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].whence, c.flags);
        EXPECT_EQ(opens[0].share, 0x20);
        EXPECT_EQ(opens[0].permission, 0x180);
        f.Close();
        EXPECT_EQ(std::filesystem::exists(path), !std::strchr(c.mode, 'D')) << "a temporary file goes at its close";
    }
}

TEST_F(FileTest, OpeningClosingAndReopening) {
    CrtSeam seam;
    VELD_File f;
    unsigned char buf[4];
    EXPECT_EQ(f.Read(buf, 4, 0), 0u);  // never opened: inert, no calls
    EXPECT_EQ(f.Write(buf, 4, 0), 0u);
    EXPECT_EQ(f.Size(), 0);
    EXPECT_EQ(f.Close(), 0);
    EXPECT_TRUE(seam.calls().empty());
    EXPECT_FALSE(f.Open(name, "r+b"));  // a missing file fails quietly
    EXPECT_FALSE(f.bGood);
    EXPECT_EQ(f.Handle(), -1);
    existing();
    seam.clear();
    ASSERT_TRUE(f.Open(name, "ab"));
    EXPECT_TRUE(f.bGood);
    EXPECT_EQ(f.fCurPos, 100);
    const int first = f.Handle();
    ASSERT_TRUE(f.Open(name, "rw"));  // closes the first file; no '+': read-only
    EXPECT_EQ(f.fCurPos, 0);
    const auto calls = seam.calls();
    ASSERT_EQ(calls.size(), 4u);  // open, seek to the end, close, open
    EXPECT_EQ(calls[2].kind, Call::Close);
    EXPECT_EQ(calls[2].fd, first);
    EXPECT_EQ(calls[3].kind, Call::Open);
    EXPECT_THROW(f.Write("x", 1, 0), veld::DataSourceError);
    EXPECT_EQ(f.Close(), 1);
    EXPECT_EQ(f.Close(), 0);
    EXPECT_EQ(readAll(path), bytes);
    EXPECT_EQ(failedCheck([&] { VELD_File copy(f); }), "0 && \"can't copy an VELD_File\"");
}

TEST_F(FileTest, SequentialTransfersMakeNoSeekAndSizeMovesNothing) {
    CrtSeam seam;
    VELD_File f;
    ASSERT_TRUE(f.Open(name, "w+b"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(f.Write(bytes.data() + 10 * i, 10, 10 * i), 10u);
    EXPECT_EQ(f.Write(bytes.data() + 30, 70, 30), 70u);
    EXPECT_TRUE(seam.calls(Call::Seek).empty());

    EXPECT_EQ(readAt(f, 0, 10), slice(bytes, 0, 10));   // earlier offset: one seek
    EXPECT_EQ(readAt(f, 10, 10), slice(bytes, 10, 10));  // sequential: none
    EXPECT_EQ(readAt(f, 5, 10), slice(bytes, 5, 10));    // back again: one more
    // Size seeks to the end and back, so the next sequential read needs no seek.
    EXPECT_EQ(f.Size(), 100);
    EXPECT_EQ(readAt(f, 15, 10), slice(bytes, 15, 10));
    const auto seeks = seam.calls(Call::Seek);
    ASSERT_EQ(seeks.size(), 4u);
    EXPECT_EQ(seeks[1].position, 5);
    EXPECT_EQ(f.fCurPos, 25);

    // A short read at the end, then an empty one that sets end of file.
    EXPECT_EQ(readAt(f, 95, 10), slice(bytes, 95, 5));
    EXPECT_EQ(f.fCurPos, 100);
    EXPECT_FALSE(f.IsEof());
    EXPECT_EQ(readAt(f, 100, 10), Bytes());
    EXPECT_TRUE(f.IsEof());
}

// A failed transfer after its seek leaves the descriptor's pointer away from
// fCurPos, so the next request seeks even when it starts at fCurPos: without
// that seek it would read from where the failed one had gone.
TEST_F(FileTest, AfterAFailedTransferTheNextOneSeeksFirst) {
    existing();
    VELD_File f;
    ASSERT_TRUE(f.Open(name, "r+b"));
    EXPECT_EQ(readAt(f, 0, 10), slice(bytes, 0, 10));
    CrtSeam seam;
    seam.failNth(Call::Read, 1, EIO);
    EXPECT_THROW(readAt(f, 50, 20), veld::DataSourceError);
    ASSERT_EQ(f.fCurPos, 10);
    seam.clear();
    EXPECT_EQ(readAt(f, 10, 20), slice(bytes, 10, 20));
    const auto seeks = seam.calls(Call::Seek);
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_EQ(seeks[0].position, 10);
}

TEST_F(FileTest, EveryRefusedCallRaisesWithTheFileName) {
    unsigned char buf[10] = {};
    const struct {
        const char* what;
        std::function<void(CrtSeam&)> plan;
        int err;
        int code;
        std::function<void(VELD_File&)> op;
    } cases[] = {
        {"seek before read", [](CrtSeam& s) { s.failNth(Call::Seek, 1, EIO); }, EIO, 1003,
         [&](VELD_File& f) { f.Read(buf, 10, 50); }},
        {"read", [](CrtSeam& s) { s.failNth(Call::Read, 1, EIO); }, EIO, 1003,
         [&](VELD_File& f) { f.Read(buf, 10, 0); }},
        {"seek before write", [](CrtSeam& s) { s.failNth(Call::Seek, 1, ENOSPC); }, ENOSPC, 1002,
         [&](VELD_File& f) { f.Write(buf, 10, 50); }},
        {"write after its seek", [](CrtSeam& s) { s.failNth(Call::Write, 1, ENOSPC); }, ENOSPC, 1002,
         [&](VELD_File& f) { f.Write(buf, 10, 50); }},
        // The disk fills in the middle of a write: part of it is on disk, the
        // pointer has moved, and the call still fails as a whole.
        {"write cut short, then the disk is full",
         [](CrtSeam& s) {
             s.shortNth(Call::Write, 1, 4);
             s.failNth(Call::Write, 2, ENOSPC);
         },
         ENOSPC, 1002, [&](VELD_File& f) { f.Write(buf, 10, 50); }},
        {"close", [](CrtSeam& s) { s.failNth(Call::Close, 1, EIO); }, EIO, 1002,
         [&](VELD_File& f) { f.Close(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        existing();
        VELD_File f;
        ASSERT_TRUE(f.Open(name, "r+b"));
        CrtSeam seam;
        c.plan(seam);
        const auto e = raised<veld::DataSourceError>([&] { c.op(f); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code(), c.code);
        EXPECT_EQ(e->msgFile(), "datasrc.err");
        EXPECT_EQ(e->fileName(), path);
        EXPECT_EQ(e->sysErrno(), c.err);
        EXPECT_FALSE(f.bGood);
        if (std::string(c.what) == "close") {
            // Still open, so a later read raises instead of reporting an end of
            // file; the released descriptor is not touched again.
            EXPECT_TRUE(f.IsOpen());
            int err = 0;
            EXPECT_EQ(raisedCode([&] { readAt(f, 0, 10); }, &err), 1003);
            EXPECT_EQ(err, EBADF);
            EXPECT_EQ(f.Close(), 1);
            EXPECT_FALSE(f.IsOpen());
            EXPECT_EQ(seam.calls(Call::Close).size(), 1u);
            continue;
        }
        // The next request lands where it asks, whatever the failed one left behind.
        EXPECT_EQ(readAt(f, 0, 10), slice(bytes, 0, 10));
        ASSERT_EQ(f.Write("abcd", 4, 50), 4u);
        EXPECT_EQ(readAt(f, 48, 6), patched(slice(bytes, 48, 6), 2, Bytes{'a', 'b', 'c', 'd'}));
    }
}

TEST_F(FileTest, WritesAreWholeAndAnEmptyWriteIsNoError) {
    existing();
    VELD_File f;
    ASSERT_TRUE(f.Open(name, "r+b"));
    {
        // Short counts and interruptions are continued until every byte is on disk.
        CrtSeam seam;
        seam.shortNth(Call::Write, 1, 3);
        seam.failNth(Call::Write, 2, EINTR);
        const Bytes fresh = patternBytes(40, 9);
        ASSERT_EQ(f.Write(fresh.data(), fresh.size(), 20), 40u);
        EXPECT_EQ(f.fCurPos, 60);
        const auto writes = seam.calls(Call::Write);
        ASSERT_EQ(writes.size(), 3u);
        EXPECT_EQ(writes[0].result, 3);
        EXPECT_EQ(writes[2].position, 23);
        EXPECT_EQ(writes[2].count, 37u);
        EXPECT_EQ(readAll(path), patched(bytes, 20, fresh));
    }
    // Nothing to write is no error, even where writing is not allowed.
    ASSERT_TRUE(f.Open(name, "rb"));
    EXPECT_EQ(f.Write("x", 0, 0), 0u);
    EXPECT_EQ(f.Write("x", 0, 10), 0u);
    EXPECT_TRUE(f.bGood);
    EXPECT_EQ(raisedCode([&] { f.Write("x", 1, 0); }), 1002);
}

// Every open denies writers to others: a file has many readers or one writer.
TEST_F(FileTest, AnOpenFileAdmitsReadersAndRefusesWriters) {
    existing();
    {
        VELD_File reader, second;
        ASSERT_TRUE(reader.Open(name, "rb"));
        EXPECT_TRUE(second.Open(name, "rb"));
        EXPECT_EQ(readAt(second, 0, 100), bytes);
        second.Close();
        for (const char* mode : {"r+b", "ab", "wb", "w+b"}) {
            VELD_File writer;
            errno = 0;
            EXPECT_FALSE(writer.Open(name, mode)) << mode;
            EXPECT_EQ(errno, EACCES) << mode;
            EXPECT_FALSE(writer.bGood) << mode;
        }
        // The refused "wb" must not have truncated it.
        EXPECT_EQ(readAt(reader, 0, 200), bytes);
    }
    VELD_File writer;
    ASSERT_TRUE(writer.Open(name, "w+b"));
    ASSERT_EQ(writer.Write("fresh", 5, 0), 5u);
    for (const char* mode : {"rb", "r+b", "wb"}) {
        VELD_File second;
        EXPECT_FALSE(second.Open(name, mode)) << mode;
    }
    EXPECT_EQ(writer.Size(), 5);
    // Closing gives the file back.
    writer.Close();
    VELD_File after;
    EXPECT_TRUE(after.Open(name, "r+b"));
    EXPECT_EQ(readAt(after, 0, 10), (Bytes{'f', 'r', 'e', 's', 'h'}));
}

TEST_F(FileTest, ThreadsSharingOneFileKeepTheirTransfersApart) {
    constexpr int kBlock = 256, kBlocks = 32, kRounds = 1500;
    VELD_File file;
    ASSERT_TRUE(file.Open(name, "w+b"));
    std::atomic<int> mismatches{0};
    auto worker = [&](int t) {
        for (int r = 0; r < kRounds; ++r) {
            const auto data = patternBytes(kBlock, t * 100000 + r);
            const std::int64_t at = (std::int64_t{t} * kBlocks + (r * 7 + t) % kBlocks) * kBlock;
            if (file.Write(data.data(), kBlock, at) != kBlock || readAt(file, at, kBlock) != data) ++mismatches;
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(file.Size(), 2 * kBlock * kBlocks);
}

}  // namespace
