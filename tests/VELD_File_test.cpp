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
using veldtest::Bytes;
using veldtest::patternBytes;
using veldtest::readAll;
using veldtest::slice;

namespace {

ExtNameStr nameOf(const std::string& path) {
    ExtNameStr name;
    name.SetGeneric(path);
    return name;
}

class FileTest : public ::testing::Test {
protected:
    // A 100-byte file of known bytes.
    void existing() { veldtest::writeAll(path, bytes); }
    veldtest::TempDir dir;
    std::string path = dir.file("data.bin");
    Bytes bytes = patternBytes(100);
};

TEST_F(FileTest, ModeTextsGiveTheRuntimeFlags) {
    const struct {
        const char* mode;
        int flags;
    } cases[] = {{"rb", 0x8010},  {"r+b", 0x8012}, {"wb", 0x8311},   {"ab", 0x8119},
                 {"w+b", 0x8312}, {"a+b", 0x811A}, {"rt", 0x4010},   {"rbT", 0x9010},
                 {"rbD", 0x8050}, {"rwb", 0x8010}, {"", 0x8010}};
    for (const auto& c : cases) {
        existing();
        CrtSeam seam;
        VELD_File f;
        ASSERT_TRUE(f.Open(nameOf(path), c.mode)) << c.mode;
        const auto opens = seam.calls(Call::Open);
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_EQ(opens[0].whence, c.flags) << c.mode;
        EXPECT_EQ(opens[0].share, 0x20);
        EXPECT_EQ(opens[0].permission, 0x180);
        f.Close();
        EXPECT_EQ(std::filesystem::exists(path), !std::strchr(c.mode, 'D')) << "a temporary file goes at its close";
    }
}

TEST_F(FileTest, OpeningClosingAndReopening) {
    for (const char* mode : {"rb", "r+b"}) {  // a missing file fails quietly
        VELD_File f;
        bool opened = true;
        EXPECT_NO_THROW(opened = f.Open(nameOf(dir.file("missing")), mode));
        EXPECT_FALSE(opened);
        EXPECT_FALSE(f.bGood);
        EXPECT_EQ(f.Handle(), -1);
        EXPECT_EQ(f.fName.GetGeneric(), dir.file("missing"));
    }
    existing();
    CrtSeam seam;
    VELD_File f;
    unsigned char buf[4];
    EXPECT_EQ(f.Read(buf, 4, 0), 0u);  // never opened: inert, no calls
    EXPECT_EQ(f.Write(buf, 4, 0), 0u);
    EXPECT_EQ(f.Size(), 0);
    EXPECT_EQ(f.Close(), 0);
    EXPECT_TRUE(seam.calls().empty());

    ASSERT_TRUE(f.Open(nameOf(path), "ab"));
    EXPECT_EQ(f.fCurPos, 100);
    const int first = f.Handle();
    ASSERT_TRUE(f.Open(nameOf(path), "rw"));  // closes the first file; no '+': read-only
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
    EXPECT_EQ(veldtest::failedCheck([&] { VELD_File copy(f); }), "0 && \"can't copy an VELD_File\"");
}

TEST_F(FileTest, SequentialTransfersMakeNoSeekAndSizeMovesNothing) {
    CrtSeam seam;
    VELD_File f;
    ASSERT_TRUE(f.Open(nameOf(path), "w+b"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(f.Write(bytes.data() + 10 * i, 10, 10 * i), 10u);
    EXPECT_EQ(f.Write(bytes.data() + 30, 70, 30), 70u);
    EXPECT_TRUE(seam.calls(Call::Seek).empty());

    unsigned char buf[10];
    EXPECT_EQ(f.Read(buf, 10, 0), 10u);   // earlier offset: one seek
    EXPECT_EQ(f.Read(buf, 10, 10), 10u);  // sequential: none
    EXPECT_EQ(f.Read(buf, 10, 5), 10u);   // back again: one more
    EXPECT_EQ(Bytes(buf, buf + 10), slice(bytes, 5, 10));
    // Size seeks to the end and back, so the next sequential read needs no seek.
    EXPECT_EQ(f.Size(), 100);
    EXPECT_EQ(f.Read(buf, 10, 15), 10u);
    EXPECT_EQ(Bytes(buf, buf + 10), slice(bytes, 15, 10));
    const auto seeks = seam.calls(Call::Seek);
    ASSERT_EQ(seeks.size(), 4u);
    EXPECT_EQ(seeks[1].position, 5);
    EXPECT_EQ(f.fCurPos, 25);

    // A short read at the end, then an empty one that sets end of file.
    EXPECT_EQ(f.Read(buf, 10, 95), 5u);
    EXPECT_EQ(f.fCurPos, 100);
    EXPECT_FALSE(f.IsEof());
    EXPECT_EQ(f.Read(buf, 10, 100), 0u);
    EXPECT_TRUE(f.IsEof());
}

TEST_F(FileTest, EveryRefusedCallRaisesWithTheFileName) {
    unsigned char buf[10] = {};
    const struct {
        const char* what;
        Call kind;
        int err;
        int code;
        std::function<void(VELD_File&)> op;
    } cases[] = {
        {"seek before read", Call::Seek, EIO, 1003, [&](VELD_File& f) { f.Read(buf, 10, 50); }},
        {"read", Call::Read, EIO, 1003, [&](VELD_File& f) { f.Read(buf, 10, 0); }},
        {"seek before write", Call::Seek, ENOSPC, 1002, [&](VELD_File& f) { f.Write(buf, 10, 50); }},
        {"write", Call::Write, ENOSPC, 1002, [&](VELD_File& f) { f.Write(buf, 10, 0); }},
        {"close", Call::Close, EBADF, 1002, [&](VELD_File& f) { f.Close(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        existing();
        VELD_File f;
        ASSERT_TRUE(f.Open(nameOf(path), "r+b"));
        CrtSeam seam;
        seam.failNth(c.kind, 1, c.err);
        const auto e = veldtest::raised<veld::DataSourceError>([&] { c.op(f); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code(), c.code);
        EXPECT_EQ(e->msgFile(), "datasrc.err");
        EXPECT_EQ(e->fileName(), path);
        EXPECT_EQ(e->sysErrno(), c.err);
        EXPECT_FALSE(f.bGood);
        ASSERT_TRUE(f.Open(nameOf(path), "rb"));
        EXPECT_TRUE(f.bGood);
    }
}

TEST_F(FileTest, AFailedWriteDoesNotMisplaceTheNextRequest) {
    existing();
    VELD_File f;
    ASSERT_TRUE(f.Open(nameOf(path), "r+b"));
    {
        CrtSeam seam;
        seam.failNth(Call::Write, 1, ENOSPC);
        EXPECT_THROW(f.Write("abc", 3, 50), veld::DataSourceError);  // the seek went through
    }
    f.bGood = true;
    unsigned char buf[10];
    ASSERT_EQ(f.Read(buf, 10, f.fCurPos), 10u);
    EXPECT_EQ(Bytes(buf, buf + 10), slice(bytes, 0, 10));
}

TEST_F(FileTest, ThreadsSharingOneFileKeepTheirTransfersApart) {
    constexpr int kBlock = 256, kBlocks = 32, kRounds = 1500;
    RefCountPtr<VELD_File> file(new VELD_File);
    ASSERT_TRUE(file->Open(nameOf(path), "w+b"));
    VELD_File* raw = file.get();
    std::atomic<int> mismatches{0};
    auto worker = [&](int t) {
        const std::int64_t base = std::int64_t{t} * kBlock * kBlocks;
        Bytes back(kBlock);
        for (int r = 0; r < kRounds; ++r) {
            const auto data = patternBytes(kBlock, t * 100000 + r);
            const std::int64_t at = base + std::int64_t{(r * 7 + t) % kBlocks} * kBlock;
            if (raw->Write(data.data(), kBlock, at) != kBlock) ++mismatches;
            if (raw->Read(back.data(), kBlock, at) != kBlock || back != data) ++mismatches;
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(raw->Size(), 2 * kBlock * kBlocks);
}

}  // namespace
