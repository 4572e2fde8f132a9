#include "zlibCompressBlock.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "BlockCodec.h"
#include "CompressedFiles.h"

using veld::layout::kBlockSize;
using veld::layout::kMaxPayloadSize;
using veldtest::Bytes;
using veldtest::failedCheck;

namespace {

Bytes strictPayload(const Bytes& in) {
    auto codec = veld::makeBlockCodec();
    Bytes out(codec->compressBound(in.size()));
    out.resize(codec->compress(in.data(), in.size(), out.data(), out.size()));
    return out;
}

}  // namespace

TEST(zlibCompressBlock, RoundTripGivesAPlainLevelOneZlibStream) {
    const auto in = veldtest::textBytes(1 << 20);
    zlibCompressBlock codec;
    Bytes payload(in.size());
    std::uint64_t count = payload.size();
    const int ret = codec.compressBlock(in.data(), in.size(), payload.data(), count);
    ASSERT_GT(ret, 0);
    EXPECT_EQ(static_cast<std::uint64_t>(ret), count);
    EXPECT_LT(count, in.size() / 2);
    EXPECT_EQ(payload[0], 0x78);  // deflate, 32 KiB window
    EXPECT_EQ(payload[1], 0x01);  // fastest level
    // The strict codec writes the same stream.
    EXPECT_EQ(strictPayload(in), veldtest::slice(payload, 0, count));

    // zlib's own one-shot reader takes it as it is.
    Bytes back(in.size());
    uLongf backLen = back.size();
    ASSERT_EQ(uncompress(back.data(), &backLen, payload.data(), count), Z_OK);
    EXPECT_EQ(back, in);

    std::fill(back.begin(), back.end(), 0);
    std::uint64_t outCount = back.size();
    EXPECT_EQ(codec.decompressBlock(payload.data(), count, back.data(), outCount), static_cast<int>(in.size()));
    EXPECT_EQ(outCount, in.size());
    EXPECT_EQ(back, in);
}

TEST(zlibCompressBlock, ShortDestinationZeroInputAndRefusedCalls) {
    const auto in = veldtest::textBytes(100000);
    const auto payload = strictPayload(in);
    Bytes back(in.size());

    // One byte short: the loose call reports what fit; the strict one refuses.
    zlibCompressBlock codec;
    std::uint64_t outCount = in.size() - 1;
    EXPECT_EQ(codec.decompressBlock(payload.data(), payload.size(), back.data(), outCount),
              static_cast<int>(in.size() - 1));
    EXPECT_EQ(outCount, in.size() - 1);
    auto strict = veld::makeBlockCodec();
    veld::InflateOutcome seen;
    EXPECT_FALSE(strict->decompressExact(payload.data(), payload.size(), back.data(), in.size() - 1, in.size(), &seen));
    EXPECT_FALSE(seen.streamEnded);
    // A complete stream of another length than expected is refused too.
    EXPECT_FALSE(strict->decompressExact(payload.data(), payload.size(), back.data(), in.size(), in.size() - 1));
    // So are bytes after the stream's end.
    auto padded = payload;
    padded.push_back(0);
    EXPECT_FALSE(strict->decompressExact(padded.data(), padded.size(), back.data(), in.size(), in.size(), &seen));
    EXPECT_TRUE(seen.streamEnded);
    EXPECT_EQ(seen.consumed, payload.size());

    // No input still makes a stream (header, empty block, checksum).
    unsigned char out[64];
    std::uint64_t n = sizeof out;
    EXPECT_GT(codec.compressBlock(in.data(), 0, out, n), 0);
    EXPECT_GE(n, 8u);
    EXPECT_TRUE(strict->decompressExact(out, n, back.data(), back.size(), 0));

    // No destination: zlib refuses the call outright, and outCount stays.
    outCount = 777;
    EXPECT_EQ(codec.compressBlock(in.data(), 1000, nullptr, outCount), 0);
    EXPECT_EQ(codec.decompressBlock(in.data(), 1000, nullptr, outCount), 0);
    EXPECT_EQ(outCount, 777u);
    std::uint64_t zero = 0;
    EXPECT_EQ(failedCheck([&] { codec.compressBlock(nullptr, 0, nullptr, zero); }), "souce||dest||outCount||inCount");
    EXPECT_EQ(failedCheck([&] { codec.decompressBlock(nullptr, 0, nullptr, zero); }), "souce||dest||outCount||inCount");
}

TEST(zlibCompressBlock, IncompressibleFullBlockIsStoredWholeNeverCut) {
    const auto in = veldtest::patternBytes(kBlockSize);
    auto strict = veld::makeBlockCodec();
    EXPECT_EQ(strict->compressBound(kBlockSize), static_cast<std::uint64_t>(kMaxPayloadSize));

    // Room of one block only: the loose call fills it with a cut stream,
    // the strict one refuses rather than hand that out as a payload.
    Bytes room(kMaxPayloadSize);
    zlibCompressBlock loose;
    std::uint64_t cut = kBlockSize;
    EXPECT_EQ(loose.compressBlock(in.data(), in.size(), room.data(), cut), kBlockSize);
    EXPECT_EQ(failedCheck([&] { strict->compress(in.data(), in.size(), room.data(), kBlockSize); }), "ret != 0");

    const auto payload = strictPayload(in);
    EXPECT_GT(payload.size(), static_cast<std::size_t>(kBlockSize));
    Bytes back(kBlockSize);
    ASSERT_TRUE(strict->decompressExact(payload.data(), payload.size(), back.data(), back.size(), kBlockSize));
    EXPECT_EQ(back, in);

    // A flipped byte inside stored data keeps the count right; only the
    // checksum tells, and only the strict codec listens to it.
    auto damaged = payload;
    damaged[damaged.size() / 2] ^= 0x20;
    std::uint64_t outCount = back.size();
    EXPECT_EQ(loose.decompressBlock(damaged.data(), damaged.size(), back.data(), outCount), kBlockSize);
    EXPECT_FALSE(strict->decompressExact(damaged.data(), damaged.size(), back.data(), back.size(), kBlockSize));
}
