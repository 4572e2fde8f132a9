#include "zlibCompressBlock.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "BlockCodec.h"
#include "CompressedFiles.h"

using veld::layout::kBlockSize;
using veld::layout::kMaxPayloadSize;
using namespace veldtest;

namespace {

Bytes strictPayload(const Bytes& in) {
    auto codec = veld::makeBlockCodec();
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
    auto strict = veld::makeBlockCodec();
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
    EXPECT_TRUE(veld::makeBlockCodec()->decompressExact(out, n, back, 0, 0));

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
    auto strict = veld::makeBlockCodec();
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
