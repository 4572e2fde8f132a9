#include "PreIOThread_W_C.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "check.h"
#include "crt_seam.h"

using veld::layout::kBlockSize;
using namespace veldtest;
using veld::crt::CrtSeam;

namespace {

// A file holding a 1,000-byte dictionary part, and a writer started on it
// whose blocks go from 1,024 on.
struct WriteTarget {
    explicit WriteTarget(std::uint64_t bufSize) {
        writeAll(path, dictionary);
        ExtNameStr name;
        name.SetGeneric(path);
        if (!file.Open(name, "r+b")) throw std::runtime_error("cannot open " + path);
        writer = std::make_unique<PreIOThread_W_C>(&file, &index, bufSize, 1000, 1024);
        writer->initThread(false);
        writer->startThread();
    }
    TempDir dir;
    std::string path = dir.file("case.dat");
    Bytes dictionary = patternBytes(1000, 5);
    VELD_File file;
    filePosInfo index{kBlockSize};
    std::unique_ptr<PreIOThread_W_C> writer;
};

}  // namespace

TEST(PreIOThread_W_C, BlocksLandBackToBackWithTheirRecords) {
    WriteTarget t(kBlockSize);
    const std::size_t sizes[] = {kBlockSize, kBlockSize, kBlockSize, 12345};
    // The second block does not shrink: it is stored as two halves, never cut.
    const Bytes data = patched(textBytes(3 * kBlockSize + 12345), kBlockSize, patternBytes(kBlockSize, 9));
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        // The position argument has no effect: blocks follow one another.
        EXPECT_EQ(t.writer->writeBlock(data.data() + at, size, 777), size);
        at += size;
    }
    t.writer->writeBlock(data.data(), 0, 0);
    t.writer->stopThread();
    t.writer->releaseThreads();

    const auto& r = t.index.WrittenBlocks();
    const std::int32_t stored[] = {kBlockSize, kBlockSize / 2, kBlockSize / 2, kBlockSize, 12345};
    ASSERT_EQ(r.size(), 5u);
    std::int64_t orginal = 1000, next = 1024;
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(r[k].orginalPos, orginal) << k;
        EXPECT_EQ(r[k].orginalSize, stored[k]) << k;
        EXPECT_LE(r[k].translateSize, kBlockSize) << k;
        EXPECT_EQ(r[k].translatePos, next) << k;
        orginal += r[k].orginalSize;
        next += r[k].translateSize;
    }
    const auto bytes = readAll(t.path);
    EXPECT_EQ(inflateAll(bytes, RawLayout{1000, next, 0, {}, r}), data);
    EXPECT_EQ(bytes.size(), static_cast<std::size_t>(next));
    EXPECT_EQ(slice(bytes, 0, 1024), patched(t.dictionary, 1000, Bytes(24)));
    // The table goes where the raw file stands: right after the last payload.
    EXPECT_EQ(t.file.fCurPos, next);
}

TEST(PreIOThread_W_C, StopWithOrWithoutEndMarkFinishesTheBlocks) {
    {
        CrtSeam seam;
        WriteTarget t(kBlockSize);
        t.writer->writeBlock(nullptr, 0, 0);  // the end mark alone writes nothing
        t.writer->stopThread();
        EXPECT_TRUE(t.index.WrittenBlocks().empty());
        for (const auto& call : seam.calls(veld::crt::Call::Write)) EXPECT_EQ(call.count, 0u);
        EXPECT_EQ(readAll(t.path), t.dictionary);
        EXPECT_EQ(failedCheck([&] { t.writer->writeBlock(t.dictionary.data(), 10, 0); }), "bEndMarkSent == false");
    }
    WriteTarget t(60000);
    const auto data = textBytes(100000);
    t.writer->writeBlock(data.data(), 60000, 0);
    t.writer->writeBlock(data.data() + 60000, 40000, 0);
    t.writer->stopThread();
    ASSERT_EQ(t.index.WrittenBlocks().size(), 2u);
    EXPECT_EQ(t.index.WrittenBlocks()[1].orginalPos, 61000);
    EXPECT_EQ(inflateAll(readAll(t.path), RawLayout{1000, 0, 0, {}, t.index.WrittenBlocks()}), data);
}

TEST(PreIOThread_W_C, WorkerWriteFailureSurfacesOnTheOwner) {
    const std::uint64_t size = 64 * 1024;
    const auto block = textBytes(size);
    auto diskFull = [](const std::function<void()>& call) {
        int err = 0;
        return raisedCode(call, &err) == 1002 && err == ENOSPC;
    };
    const struct {
        const char* what;
        int failingWrite, quiet;            // blocks handed over before the failure can show
        std::vector<std::uint64_t> raising;  // later hand-overs (0: the end mark)
        std::size_t written;
    } cases[] = {
        {"the second payload fails while the owner hands over the third", 2, 2, {size, 0}, 1},
        {"the last payload fails: the end mark tells", 1, 1, {0}, 0},
        {"an owner that stops without the end mark still learns of it", 1, 1, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CrtSeam seam;
        seam.failNth(veld::crt::Call::Write, c.failingWrite, ENOSPC);
        WriteTarget t(size);
        for (int k = 0; k < c.quiet; ++k) t.writer->writeBlock(block.data(), size, 0);
        for (std::uint64_t n : c.raising) EXPECT_TRUE(diskFull([&] { t.writer->writeBlock(block.data(), n, 0); })) << n;
        EXPECT_TRUE(diskFull([&] { t.writer->stopThread(); }));
        EXPECT_EQ(t.index.WrittenBlocks().size(), c.written);
    }
}
