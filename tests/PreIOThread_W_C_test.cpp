#include "PreIOThread_W_C.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>

#include "CompressedFiles.h"
#include "ThrowError.h"
#include "check.h"
#include "crt_seam.h"

using veld::layout::kBlockSize;
using namespace veldtest;
using veld::crt::CrtSeam;

namespace {

struct WriteTarget {
    TempDir dir;
    std::string path = dir.file("case.dat");
    Bytes dictionary = patternBytes(1000, 5);
    VELD_File file;
    filePosInfo index{kBlockSize};

    WriteTarget() {
        writeAll(path, dictionary);
        ExtNameStr name;
        name.SetGeneric(path);
        if (!file.Open(name, "r+b")) throw std::runtime_error("cannot open " + path);
    }
};

std::unique_ptr<PreIOThread_W_C> startWriter(WriteTarget& t, std::uint64_t bufSize) {
    auto w = std::make_unique<PreIOThread_W_C>(&t.file, &t.index, bufSize, 1000, 1024);
    w->initThread(false);
    w->startThread();
    return w;
}

}  // namespace

TEST(PreIOThread_W_C, BlocksLandBackToBackWithTheirRecords) {
    WriteTarget t;
    const std::size_t tail = 12345;
    auto data = textBytes(3 * kBlockSize + tail);
    // The second block does not shrink: it must be stored whole, not cut at the block size.
    const auto noise = patternBytes(kBlockSize, 9);
    std::copy(noise.begin(), noise.end(), data.begin() + kBlockSize);

    auto w = startWriter(t, kBlockSize);
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t size = k < 3 ? kBlockSize : tail;
        // The position argument has no effect: blocks follow one another.
        EXPECT_EQ(w->writeBlock(data.data() + k * kBlockSize, size, 777), size);
    }
    w->writeBlock(data.data(), 0, 0);
    w->stopThread();
    w->releaseThreads();

    const auto& r = t.index.WrittenBlocks();
    ASSERT_EQ(r.size(), 4u);
    const auto bytes = readAll(t.path);
    std::int64_t next = 1024;
    for (std::size_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(r[k].orginalPos, 1000 + static_cast<std::int64_t>(k) * kBlockSize);
        EXPECT_EQ(r[k].orginalSize, k < 3 ? kBlockSize : static_cast<std::int32_t>(tail));
        EXPECT_EQ(r[k].translatePos, next);
        next += r[k].translateSize;
    }
    RawLayout layout{1000, next, 0, {}, r};
    EXPECT_EQ(inflateAll(bytes, layout), data);
    EXPECT_GT(r[1].translateSize, kBlockSize);
    EXPECT_EQ(bytes.size(), static_cast<std::size_t>(next));
    EXPECT_EQ(slice(bytes, 0, 1000), t.dictionary);
    EXPECT_EQ(slice(bytes, 1000, 24), Bytes(24, 0));
    // The table goes where the raw file stands: right after the last payload.
    EXPECT_EQ(t.file.fCurPos, next);
}

TEST(PreIOThread_W_C, StopWithOrWithoutEndMarkFinishesTheBlocks) {
    {
        WriteTarget t;
        CrtSeam seam;
        auto w = startWriter(t, kBlockSize);
        w->writeBlock(nullptr, 0, 0);  // the end mark alone writes nothing
        w->stopThread();
        w->releaseThreads();
        EXPECT_TRUE(t.index.WrittenBlocks().empty());
        for (const auto& call : seam.calls(veld::crt::Call::Write)) EXPECT_EQ(call.count, 0u);
        EXPECT_EQ(readAll(t.path), t.dictionary);
        EXPECT_EQ(failedCheck([&] { w->writeBlock(t.dictionary.data(), 10, 0); }), "bEndMarkSent == false");
    }
    WriteTarget t;
    const auto data = textBytes(100000);
    auto w = startWriter(t, 60000);
    w->writeBlock(data.data(), 60000, 0);
    w->writeBlock(data.data() + 60000, 40000, 0);
    w->stopThread();
    w->releaseThreads();
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
    {  // the second payload fails while the owner hands over the third
        WriteTarget t;
        CrtSeam seam;
        seam.failNth(veld::crt::Call::Write, 2, ENOSPC);
        auto w = startWriter(t, size);
        w->writeBlock(block.data(), size, 0);
        w->writeBlock(block.data(), size, 0);
        EXPECT_TRUE(diskFull([&] { w->writeBlock(block.data(), size, 0); }));
        EXPECT_TRUE(diskFull([&] { w->writeBlock(block.data(), 0, 0); }));
        EXPECT_TRUE(diskFull([&] { w->stopThread(); }));
        w->releaseThreads();
        EXPECT_EQ(t.index.WrittenBlocks().size(), 1u);
    }
    {  // the last payload fails: the end mark tells
        WriteTarget t;
        CrtSeam seam;
        seam.failNth(veld::crt::Call::Write, 1, ENOSPC);
        auto w = startWriter(t, size);
        w->writeBlock(block.data(), size, 0);
        EXPECT_TRUE(diskFull([&] { w->writeBlock(block.data(), 0, 0); }));
        EXPECT_TRUE(diskFull([&] { w->stopThread(); }));
        EXPECT_TRUE(t.index.WrittenBlocks().empty());
    }
    {  // an owner that stops without the end mark still learns of it
        WriteTarget t;
        CrtSeam seam;
        seam.failNth(veld::crt::Call::Write, 1, ENOSPC);
        auto w = startWriter(t, size);
        w->writeBlock(block.data(), size, 0);
        EXPECT_TRUE(diskFull([&] { w->stopThread(); }));
    }
}
