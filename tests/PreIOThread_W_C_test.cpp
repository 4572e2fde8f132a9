#include "PreIOThread_W_C.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>

#include "BlockFiles.h"
#include "ThrowError.h"
#include "check.h"
#include "crt_seam.h"

using veld::layout::kBlockSize;

namespace {

struct WriteTarget {
    veldtest::TempDir dir;
    std::string path = dir.file("case.dat");
    std::vector<unsigned char> dictionary = veldtest::patternBytes(1000, 5);
    VELD_File file;
    filePosInfo index{kBlockSize};

    WriteTarget() {
        veldtest::writeAll(path, dictionary);
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
    veldtest::Watchdog dog;
    WriteTarget t;
    const std::size_t tail = 12345;
    auto data = veldtest::textBytes(3 * kBlockSize + tail);
    // The second block does not shrink: it must be stored whole, not cut at the block size.
    const auto noise = veldtest::patternBytes(kBlockSize, 9);
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
    const auto bytes = veldtest::readAll(t.path);
    std::int64_t next = 1024;
    for (std::size_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(r[k].orginalPos, 1000 + static_cast<std::int64_t>(k) * kBlockSize);
        EXPECT_EQ(r[k].orginalSize, k < 3 ? kBlockSize : static_cast<std::int32_t>(tail));
        EXPECT_EQ(r[k].translatePos, next);
        next += r[k].translateSize;
        std::vector<unsigned char> back(kBlockSize);
        uLongf backLen = back.size();
        ASSERT_EQ(uncompress(back.data(), &backLen, bytes.data() + r[k].translatePos,
                             r[k].translateSize),
                  Z_OK);
        ASSERT_EQ(backLen, static_cast<uLongf>(r[k].orginalSize));
        EXPECT_TRUE(std::equal(back.begin(), back.begin() + backLen, data.begin() + k * kBlockSize));
    }
    EXPECT_GT(r[1].translateSize, kBlockSize);
    EXPECT_EQ(bytes.size(), static_cast<std::size_t>(next));
    EXPECT_TRUE(std::equal(t.dictionary.begin(), t.dictionary.end(), bytes.begin()));
    EXPECT_TRUE(std::all_of(bytes.begin() + 1000, bytes.begin() + 1024, [](auto b) { return b == 0; }));
    // The table goes where the raw file stands: right after the last payload.
    EXPECT_EQ(t.file.fCurPos, next);
}

TEST(PreIOThread_W_C, EndMarkAloneWritesNothing) {
    veldtest::Watchdog dog;
    WriteTarget t;
    veld::crt::CrtSeam seam;
    auto w = startWriter(t, kBlockSize);
    w->writeBlock(nullptr, 0, 0);
    w->stopThread();
    w->releaseThreads();
    EXPECT_TRUE(t.index.WrittenBlocks().empty());
    for (const auto& call : seam.calls(veld::crt::Call::Write)) EXPECT_EQ(call.count, 0u);
    EXPECT_EQ(veldtest::readAll(t.path), t.dictionary);
}

TEST(PreIOThread_W_C, WorkerWriteFailureSurfacesOnTheOwner) {
    veldtest::Watchdog dog;
    const std::uint64_t size = 64 * 1024;
    const auto block = veldtest::textBytes(size);
    auto expectDiskFull = [](const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << "no failure raised";
        } catch (const veld::DataSourceError& e) {
            EXPECT_EQ(e.code(), 1002);
            EXPECT_EQ(e.sysErrno(), ENOSPC);
        }
    };
    {  // the second payload fails while the owner hands over the third
        WriteTarget t;
        veld::crt::CrtSeam seam;
        seam.failNth(veld::crt::Call::Write, 2, ENOSPC);
        auto w = startWriter(t, size);
        w->writeBlock(block.data(), size, 0);
        w->writeBlock(block.data(), size, 0);
        expectDiskFull([&] { w->writeBlock(block.data(), size, 0); });
        expectDiskFull([&] { w->writeBlock(block.data(), 0, 0); });
        expectDiskFull([&] { w->stopThread(); });
        w->releaseThreads();
        EXPECT_EQ(t.index.WrittenBlocks().size(), 1u);
    }
    {  // the last payload fails: the end mark tells
        WriteTarget t;
        veld::crt::CrtSeam seam;
        seam.failNth(veld::crt::Call::Write, 1, ENOSPC);
        auto w = startWriter(t, size);
        w->writeBlock(block.data(), size, 0);
        expectDiskFull([&] { w->writeBlock(block.data(), 0, 0); });
        expectDiskFull([&] { w->stopThread(); });
        EXPECT_TRUE(t.index.WrittenBlocks().empty());
    }
    {  // an owner that stops without the end mark still learns of it
        WriteTarget t;
        veld::crt::CrtSeam seam;
        seam.failNth(veld::crt::Call::Write, 1, ENOSPC);
        auto w = startWriter(t, size);
        w->writeBlock(block.data(), size, 0);
        expectDiskFull([&] { w->stopThread(); });
    }
}

TEST(PreIOThread_W_C, StopWithoutEndMarkFinishesTheBlocks) {
    veldtest::Watchdog dog;
    WriteTarget t;
    const auto data = veldtest::textBytes(100000);
    auto w = startWriter(t, 60000);
    w->writeBlock(data.data(), 60000, 0);
    w->writeBlock(data.data() + 60000, 40000, 0);
    w->stopThread();
    w->releaseThreads();
    ASSERT_EQ(t.index.WrittenBlocks().size(), 2u);
    EXPECT_EQ(t.index.WrittenBlocks()[1].orginalPos, 61000);
    EXPECT_THROW(w->writeBlock(data.data(), 10, 0), veld::CheckFailure);  // after the end mark
}
