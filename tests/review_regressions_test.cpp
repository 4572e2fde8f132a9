// Faults found by reading the code against its contracts: hostile tables,
// retried appends, thread objects replaced under a running worker, and
// exception safety of shared ownership.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "BlockFiles.h"
#include "CompressedFiles.h"
#include "TestFiles.h"
#include "VELD_FileStream.h"
#include "VELD_RefCntObject.h"
#include "check.h"
#include "zcmpsFilestr.h"

using namespace veldtest;

namespace {

constexpr std::int64_t kBlock = 4190208;
constexpr std::int64_t P = 1000;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

void putI64(std::vector<unsigned char>& f, std::int64_t at, std::int64_t v) { std::memcpy(&f[at], &v, 8); }

std::string checkText(const std::function<void()>& call) {
    try {
        call();
    } catch (const veld::CheckFailure& e) {
        return e.expression();
    }
    return "";
}

}  // namespace

// Values no writer produces must be refused before any position is computed
// from them, for reading and for appending alike.
TEST(HostileTable, RefusedWhenLoadedForReadingAndForAppending) {
    struct Hostile {
        const char* name;
        std::function<void(std::vector<unsigned char>&, const RawLayout&)> apply;
        const char* readText;  // nullptr: any check
    };
    const std::vector<Hostile> cases = {
        {"last payload offset at the end of the range",
         [](auto& f, auto& l) { putI64(f, l.infoPos + 24 * 2 + 8, kMax - 10); }, nullptr},
        {"last block position at the end of the range",
         [](auto& f, auto& l) { putI64(f, l.infoPos + 24 * 2, kMax - 10); }, nullptr},
        {"table of no bytes", [](auto& f, auto&) { putI64(f, P + 16, 0); }, "tableBytes >= kRecordSize"},
    };
    TempDir dir;
    const auto data = textBytes(2 * kBlock, 21);  // two full blocks
    packFile(dir.file("good"), patternBytes(P), data);
    const auto good = readAll(dir.file("good"));
    const RawLayout layout = readLayout(good, P);
    ASSERT_EQ(layout.blocks.size(), 2u);
    for (const Hostile& h : cases) {
        SCOPED_TRACE(h.name);
        auto file = good;
        h.apply(file, layout);
        writeAll(dir.file("bad"), file);
        VELD_FileStream stream(dir.file("bad").c_str(), "rb");
        zcmpsFilestr z(stream);
        const std::string read = checkText([&] { z.readFilePosInfo(P, false); });
        if (h.readText)
            EXPECT_EQ(read, h.readText);
        else
            EXPECT_FALSE(read.empty()) << "table accepted for reading";
        EXPECT_FALSE(checkText([&] { z.setFileToAppend(P + 2 * kBlock, false); }).empty())
            << "table accepted for appending";
    }
}

// A refused end position may be corrected and tried again; the blocks taken
// over the first time must not be taken over twice.
TEST(AppendRetry, OneRecordPerBlockAfterARefusedEnd) {
    for (const std::int64_t old : {2 * kBlock, kBlock + 100}) {
        SCOPED_TRACE(old);
        TempDir dir;
        const auto data = textBytes(static_cast<std::size_t>(old), 22);
        packFile(dir.file("f"), patternBytes(P), data);
        const std::size_t oldBlocks = readLayout(readAll(dir.file("f")), P).blocks.size();
        const auto extra = textBytes(10, 23);
        {
            VELD_FileStream stream(dir.file("f").c_str(), "rb");
            zcmpsFilestr z(stream);
            z.readFilePosInfo(P, false);
            z.Seek(P + old, VELD_StrBaseIO::FromStart);
            EXPECT_FALSE(checkText([&] { z.setFileToAppend(P + old + 1, false); }).empty());
            z.setFileToAppend(P + old, false);
            z.Write(extra.data(), extra.size());
            z.Close();
        }
        const auto file = readAll(dir.file("f"));
        const RawLayout layout = readLayout(file, P);
        EXPECT_EQ(layout.blocks.size(), old % kBlock == 0 ? oldBlocks + 1 : oldBlocks);
        auto expected = data;
        expected.insert(expected.end(), extra.begin(), extra.end());
        EXPECT_EQ(inflateAll(file, layout), expected);
    }
}

// Starting to write while a thread object works for the stream would reopen
// the file under it (reader) or leave it without its end mark (writer).
TEST(ThreadProtocol, SetRow0PosWithAThreadAttachedIsRefused) {
    TempDir dir;
    const auto data = textBytes(2 * kBlock + 77, 24);
    packFile(dir.file("f"), patternBytes(P), data);
    {
        Watchdog watchdog;
        VELD_FileStream stream(dir.file("f").c_str(), "rb");
        zcmpsFilestr z(stream);
        z.setMultiThread(2);
        z.readFilePosInfo(P, false);
        std::vector<unsigned char> got(100);
        ASSERT_EQ(z.Read(got.data(), got.size()), got.size());
        EXPECT_EQ(checkText([&] { z.setRow0Pos(P); }), "fData->fpIOThread == 0");
        got.resize(data.size());
        ASSERT_EQ(z.Read(got.data() + 100, data.size() - 100), data.size() - 100);
        EXPECT_EQ(got, data) << "reading goes on undisturbed";
    }
    {
        Watchdog watchdog;
        VELD_FileStream stream(dir.file("g").c_str(), "wb");
        stream.Write(patternBytes(P).data(), P);
        zcmpsFilestr z(stream);
        z.setMultiThread(1);
        z.setRow0Pos(P);
        z.Seek(P, VELD_StrBaseIO::FromStart);
        z.Write(data.data(), kBlock + 5);
        EXPECT_EQ(checkText([&] { z.setRow0Pos(P); }), "fData->fpIOThread == 0");
        z.Write(data.data() + kBlock + 5, data.size() - kBlock - 5);
        z.Close();
    }
    EXPECT_EQ(readCases(dir.file("g"), P, 0), data);
}

namespace {
struct Fragile : VELD_RefCntObject {
    static inline int alive = 0;
    Fragile() { ++alive; }
    Fragile(const Fragile&) : VELD_RefCntObject() { throw std::runtime_error("no copy"); }
    ~Fragile() override { --alive; }
};
}  // namespace

// A copy-on-write that throws must leave the pointer and every count as they were.
TEST(RefCountPtrCopyOnWrite, ThrowingCopyChangesNothing) {
    {
        RefCountPtr<Fragile> a(new Fragile);
        RefCountPtr<Fragile> b(new Fragile);
        Fragile* const oldB = b.get();
        a->MarkUnshareable();
        EXPECT_THROW(b = a, std::runtime_error);
        EXPECT_EQ(b.get(), oldB);
        EXPECT_FALSE(a->IsShared());
        EXPECT_FALSE(b->IsShared());
        EXPECT_EQ(Fragile::alive, 2);

        RefCountPtr<Fragile> c(b);
        EXPECT_THROW(c.Unshared(), std::runtime_error);
        EXPECT_EQ(c.get(), oldB);
        EXPECT_TRUE(b->IsShared()) << "both owners still count";
    }
    EXPECT_EQ(Fragile::alive, 0);
}
