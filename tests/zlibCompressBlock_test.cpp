#include "zlibCompressBlock.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BlockCodec.h"
#include "CompressedFiles.h"

using veld::layout::kBlockSize;
using veld::layout::kMaxPayloadSize;
using namespace veldtest;

namespace {

std::unique_ptr<veld::BlockCodec> zlibCodec() {
    return veld::makeBlockCodec(veld::BlockEngine::Zlib, veld::BlockEngine::Zlib);
}

Bytes strictPayload(const Bytes& in) {
    auto codec = zlibCodec();
    Bytes out(codec->compressBound(in.size()));
    out.resize(codec->compress(in.data(), in.size(), out.data(), out.size()));
    return out;
}

}  // namespace

TEST(zlibCompressBlock, RoundTripGivesAPlainLevelOneZlibStream) {
    const auto in = textBytes(1 << 20);
    zlibCompressBlock codec;
    Bytes payload(in.size());
    std::uint64_t count = payload.size();
    const int ret = codec.compressBlock(in.data(), in.size(), payload.data(), count);
    ASSERT_EQ(ret, static_cast<int>(count));
    payload.resize(count);
    EXPECT_LT(count, in.size() / 4);
    EXPECT_EQ(payload[0], 0x78);  // deflate, 32 KiB window
    EXPECT_EQ(payload[1], 0x01);  // fastest level
    EXPECT_EQ(strictPayload(in), payload);

    // zlib's own one-shot reader takes it as it is.
    Bytes back(in.size());
    uLongf backLen = back.size();
    ASSERT_EQ(uncompress(back.data(), &backLen, payload.data(), count), Z_OK);
    EXPECT_EQ(back, in);

    // One byte short: the loose call reports what fit; the strict one refuses.
    std::uint64_t outCount = in.size() - 1;
    EXPECT_EQ(codec.decompressBlock(payload.data(), count, back.data(), outCount), static_cast<int>(in.size() - 1));
    EXPECT_EQ(outCount, in.size() - 1);
    auto strict = zlibCodec();
    veld::InflateOutcome seen;
    EXPECT_FALSE(strict->decompressExact(payload.data(), count, back.data(), in.size() - 1, in.size(), &seen));
    EXPECT_FALSE(seen.streamEnded);
    // A complete stream of another length than expected is refused too; so are bytes after its end.
    EXPECT_FALSE(strict->decompressExact(payload.data(), count, back.data(), in.size(), in.size() - 1));
    payload.push_back(0);
    EXPECT_FALSE(strict->decompressExact(payload.data(), count + 1, back.data(), in.size(), in.size(), &seen));
    EXPECT_TRUE(seen.streamEnded);
    EXPECT_EQ(seen.consumed, count);
}

TEST(zlibCompressBlock, ZeroInputAndRefusedCalls) {
    zlibCompressBlock codec;
    const auto in = textBytes(1000);
    // No input still makes a stream (header, empty block, checksum).
    unsigned char out[64], back[1];
    std::uint64_t n = sizeof out;
    EXPECT_GT(codec.compressBlock(in.data(), 0, out, n), 0);
    EXPECT_GE(n, 8u);
    EXPECT_TRUE(zlibCodec()->decompressExact(out, n, back, 0, 0));

    // No destination: zlib refuses the call outright, and outCount stays.
    std::uint64_t outCount = 777;
    EXPECT_EQ(codec.compressBlock(in.data(), in.size(), nullptr, outCount), 0);
    EXPECT_EQ(codec.decompressBlock(in.data(), in.size(), nullptr, outCount), 0);
    EXPECT_EQ(outCount, 777u);
    std::uint64_t zero = 0;
    EXPECT_EQ(failedCheck([&] { codec.compressBlock(nullptr, 0, nullptr, zero); }), "souce||dest||outCount||inCount");
    EXPECT_EQ(failedCheck([&] { codec.decompressBlock(nullptr, 0, nullptr, zero); }), "souce||dest||outCount||inCount");
}

TEST(zlibCompressBlock, IncompressibleFullBlockIsStoredWholeNeverCut) {
    const auto in = patternBytes(kBlockSize);
    auto strict = zlibCodec();
    EXPECT_EQ(strict->compressBound(kBlockSize), static_cast<std::uint64_t>(kMaxPayloadSize));

    // Room of one block only: the loose call fills it with a cut stream,
    // the strict one refuses rather than hand that out as a payload.
    Bytes room(kMaxPayloadSize);
    zlibCompressBlock loose;
    std::uint64_t cut = kBlockSize;
    EXPECT_EQ(loose.compressBlock(in.data(), in.size(), room.data(), cut), kBlockSize);
    EXPECT_EQ(failedCheck([&] { strict->compress(in.data(), in.size(), room.data(), kBlockSize); }), "ret != 0");

    auto payload = strictPayload(in);
    EXPECT_GT(payload.size(), static_cast<std::size_t>(kBlockSize));
    Bytes back(kBlockSize);
    ASSERT_TRUE(strict->decompressExact(payload.data(), payload.size(), back.data(), back.size(), kBlockSize));
    EXPECT_EQ(back, in);

    // A flipped byte inside stored data keeps the count right; only the
    // checksum tells, and only the strict codec listens to it.
    payload[payload.size() / 2] ^= 0x20;
    std::uint64_t outCount = back.size();
    EXPECT_EQ(loose.decompressBlock(payload.data(), payload.size(), back.data(), outCount), kBlockSize);
    EXPECT_FALSE(strict->decompressExact(payload.data(), payload.size(), back.data(), back.size(), kBlockSize));
}

namespace {

std::vector<veld::BlockEngine> builtEngines() {
    std::vector<veld::BlockEngine> engines;
    for (auto e : {veld::BlockEngine::Zlib, veld::BlockEngine::Libdeflate, veld::BlockEngine::Isal})
        if (veld::blockEngineAvailable(e)) engines.push_back(e);
    return engines;
}

// Leaves free heap memory filled with the 16-bit value `fill`: chunks of many
// sizes, freed below a small fence that keeps them in the heap for the next
// allocations (free the fence afterwards).
void* leaveFreeHeapFilledWith(std::uint16_t fill) {
    std::vector<void*> chunks;
    for (std::size_t size = 16; size <= std::size_t{120} << 10; size += size < 4096 ? 16 : 4096) {
        void* chunk = std::malloc(size);
        for (std::size_t at = 0; at + 2 <= size; at += 2) std::memcpy(static_cast<char*>(chunk) + at, &fill, 2);
        chunks.push_back(chunk);
    }
    void* fence = std::malloc(16);
    for (void* chunk : chunks) std::free(chunk);
    return fence;
}

bool sameOutcome(const veld::InflateOutcome& a, const veld::InflateOutcome& b) {
    return a.streamEnded == b.streamEnded && a.consumed == b.consumed && a.produced == b.produced;
}

}  // namespace

// Every engine writes zlib streams that every engine inflates, and every
// engine refuses a damaged payload with the outcome zlib sees.
// A codec's payload is the same whatever its memory held before: files must
// come out the same at every worker count, where each worker has a codec.
TEST(BlockEngines, PayloadsDoNotDependOnWhatTheHeapHeldBefore) {
    const Bytes block = textBytes(kBlockSize, 5);
    for (auto e : builtEngines()) {
        Bytes first;
        // Small numbers, as a field left uninitialised might take.
        for (const std::uint16_t fill : {0, 8, 9, 12, 0xffff}) {
            SCOPED_TRACE(std::string(veld::blockEngineName(e)) + " fill " + std::to_string(fill));
            void* fence = leaveFreeHeapFilledWith(fill);
            auto codec = veld::makeBlockCodec(e, veld::BlockEngine::Zlib);
            std::free(fence);
            Bytes payload(codec->compressBound(block.size()));
            payload.resize(codec->compress(block.data(), block.size(), payload.data(), payload.size()));
            if (first.empty())
                first = payload;
            else
                EXPECT_TRUE(payload == first) << payload.size() << " bytes, not " << first.size();
        }
    }
}

TEST(BlockEngines, EachReadsTheOthersAndRefusesDamageAlike) {
    const auto engines = builtEngines();
    const Bytes inputs[] = {textBytes(1 << 20, 3), patternBytes(300000, 4), Bytes{}};
    for (auto ce : engines) {
        auto writer = veld::makeBlockCodec(ce, veld::BlockEngine::Zlib);
        for (const Bytes& in : inputs) {
            SCOPED_TRACE(std::string(veld::blockEngineName(ce)) + " " + std::to_string(in.size()));
            Bytes payload(writer->compressBound(in.size()));
            payload.resize(writer->compress(in.data(), in.size(), payload.data(), payload.size()));
            ASSERT_GE(payload.size(), 6u);
            EXPECT_EQ((payload[0] * 256 + payload[1]) % 31, 0) << "zlib header";
            EXPECT_EQ(payload[0] & 0x0f, 8) << "deflate";
            Bytes bad = payload, longer = payload;
            bad[bad.size() - 2] ^= 0x40;  // in the Adler-32 trailer
            longer.push_back(0);
            for (auto de : engines) {
                auto reader = veld::makeBlockCodec(veld::BlockEngine::Zlib, de);
                Bytes back(in.size() + 1);
                ASSERT_TRUE(reader->decompressExact(payload.data(), payload.size(), back.data(), back.size(), in.size()))
                    << veld::blockEngineName(de);
                EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin()));
                const struct {
                    const Bytes& p;
                    std::uint64_t room, expected;
                } refused[] = {{bad, back.size(), in.size()},
                               {longer, back.size(), in.size()},
                               {payload, back.size(), in.size() + 1},
                               {payload, in.size() ? in.size() - 1 : 0, in.size() ? in.size() : 1}};
                for (const auto& r : refused) {
                    veld::InflateOutcome fast, slow;
                    EXPECT_FALSE(reader->decompressExact(r.p.data(), r.p.size(), back.data(), r.room, r.expected, &fast));
                    EXPECT_FALSE(zlibCodec()->decompressExact(r.p.data(), r.p.size(), back.data(), r.room, r.expected, &slow));
                    EXPECT_TRUE(sameOutcome(fast, slow)) << veld::blockEngineName(de);
                }
            }
        }
    }
}

#ifndef _WIN32
// Python's zlib module, a reader that owes nothing to this library, takes
// every engine's payloads.
TEST(BlockEngines, PythonsZlibReadsEveryEnginesPayloads) {
    if (std::system("/usr/bin/python3 -c 'import zlib' 2>/dev/null") != 0) GTEST_SKIP() << "no python3";
    TempDir dir;
    const Bytes in = textBytes(kBlockSize, 12);
    writeAll(dir.file("plain"), in);
    for (auto ce : builtEngines()) {
        SCOPED_TRACE(veld::blockEngineName(ce));
        auto writer = veld::makeBlockCodec(ce, veld::BlockEngine::Zlib);
        Bytes payload(writer->compressBound(in.size()));
        payload.resize(writer->compress(in.data(), in.size(), payload.data(), payload.size()));
        writeAll(dir.file("payload"), payload);
        const std::string script = "import sys, zlib; p = open(sys.argv[1], 'rb').read(); "
                                   "sys.exit(0 if zlib.decompress(p) == open(sys.argv[2], 'rb').read() else 3)";
        EXPECT_EQ(std::system(("/usr/bin/python3 -c \"" + script + "\" '" + dir.file("payload") + "' '" +
                               dir.file("plain") + "'").c_str()),
                  0);
    }
}
#endif

TEST(BlockEngines, ChoosingByNameAndAvailability) {
    veld::BlockEngine e{};
    ASSERT_TRUE(veld::blockEngineFromName("zlib", e));
    EXPECT_EQ(e, veld::BlockEngine::Zlib);
    EXPECT_FALSE(veld::blockEngineFromName("gzip", e));
    EXPECT_TRUE(veld::setBlockEngine(veld::BlockEngine::Zlib));
    EXPECT_EQ(veld::compressEngine(), veld::BlockEngine::Zlib);
    EXPECT_EQ(veld::decompressEngine(), veld::BlockEngine::Zlib);
    EXPECT_TRUE(veld::setBlockEngine(veld::BlockEngine::Automatic));
    for (auto x : {veld::BlockEngine::Libdeflate, veld::BlockEngine::Isal}) {
        if (veld::blockEngineAvailable(x)) continue;
        EXPECT_FALSE(veld::setBlockEngine(x));
        EXPECT_EQ(veld::blockEngine(), veld::BlockEngine::Automatic) << "a missing engine changes nothing";
    }
}

namespace {

Bytes payloadOf(veld::BlockCodec& codec, const Bytes& in) {
    Bytes out(codec.compressBound(in.size()));
    out.resize(codec.compress(in.data(), in.size(), out.data(), out.size()));
    return out;
}

}  // namespace

// Levels: 1 stays the default of everything a caller makes without asking;
// every level of every engine is a zlib stream that zlib itself inflates.
TEST(BlockEngines, LevelOneIsTheDefaultAndEveryLevelIsAPlainZlibStream) {
    const Bytes in = textBytes(256 << 10, 7);
    ASSERT_EQ(veld::blockLevel(), 1);
    auto automatic = veld::makeBlockCodec();
    const Bytes byDefault = payloadOf(*automatic, in);
    auto levelOne = veld::makeBlockCodec(veld::BlockEngine::Automatic, veld::BlockEngine::Automatic, 1);
    EXPECT_EQ(payloadOf(*levelOne, in), byDefault);

    for (int refused : {0, -1, veld::maxBlockLevel() + 1}) {
        EXPECT_FALSE(veld::setBlockLevel(refused)) << refused;
        EXPECT_EQ(veld::blockLevel(), 1);
    }
    for (auto e : builtEngines()) {
        std::size_t levelOneSize = 0, last = 0;
        for (int level = 1; level <= veld::maxBlockLevel(e); ++level) {
            SCOPED_TRACE(std::string(veld::blockEngineName(e)) + " level " + std::to_string(level));
            auto codec = veld::makeBlockCodec(e, veld::BlockEngine::Zlib, level);
            const Bytes payload = payloadOf(*codec, in);
            Bytes back(in.size());
            uLongf n = back.size();
            ASSERT_EQ(uncompress(back.data(), &n, payload.data(), payload.size()), Z_OK);
            EXPECT_EQ(back, in);
            if (level == 1) levelOneSize = payload.size();
            last = payload.size();
        }
        if (veld::maxBlockLevel(e) > 1) {
            EXPECT_LT(last, levelOneSize) << "the highest level is denser than the first";
        }
        // Above its highest, an engine compresses at its highest.
        auto highest = veld::makeBlockCodec(e, veld::BlockEngine::Zlib, veld::maxBlockLevel(e));
        auto beyond = veld::makeBlockCodec(e, veld::BlockEngine::Zlib, veld::maxBlockLevel(e) + 3);
        EXPECT_EQ(payloadOf(*beyond, in), payloadOf(*highest, in));
    }

    // The level set reaches the codecs made afterwards, and the exported
    // codec class keeps the format's own level whatever is set.
    ASSERT_TRUE(veld::setBlockLevel(std::min(9, veld::maxBlockLevel())));
    auto dense = veld::makeBlockCodec();
    EXPECT_LT(payloadOf(*dense, in).size(), byDefault.size());
    zlibCompressBlock exported;
    Bytes plain(in.size());
    std::uint64_t count = plain.size();
    ASSERT_GT(exported.compressBlock(in.data(), in.size(), plain.data(), count), 0);
    plain.resize(count);
    EXPECT_EQ(plain, strictPayload(in));
    EXPECT_EQ(plain[1], 0x01) << "level 1";
    ASSERT_TRUE(veld::setBlockLevel(1));
    if (veld::blockEngineAvailable(veld::BlockEngine::Libdeflate)) {
        ASSERT_TRUE(veld::setBlockLevel(6));
        EXPECT_EQ(veld::compressEngine(), veld::BlockEngine::Libdeflate) << "beyond ISA-L's levels";
        ASSERT_TRUE(veld::setBlockLevel(1));
    }
}
