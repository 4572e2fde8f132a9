// Inflating a block only as far as asked, with every engine that can stop early.
#include <gtest/gtest.h>

#include <zlib.h>

#include <random>

#include "TestFiles.h"
#include "blockEngine.h"
#include "prefixInflater.h"

using namespace veldtest;

namespace {

constexpr std::uint64_t kRoom = 4190208;

Bytes deflated(const Bytes& data, int level = 1) {
    uLongf n = compressBound(static_cast<uLong>(data.size()));
    Bytes out(n);
    EXPECT_EQ(compress2(out.data(), &n, data.data(), static_cast<uLong>(data.size()), level), Z_OK);
    out.resize(n);
    return out;
}

// Text-like bytes that deflate shrinks, with long matches and short literals.
Bytes shrinkable(std::size_t n, std::uint32_t seed) {
    static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "case ", "record;", "0042 ", "x"};
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < n) {
        const char* w = words[random() % 8];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    }
    out.resize(n);
    return out;
}

class PrefixInflate : public ::testing::TestWithParam<veld::BlockEngine> {
protected:
    void SetUp() override {
        if (!veld::blockEngineAvailable(GetParam())) GTEST_SKIP() << "engine not in this build";
        inflater = veld::makePrefixInflater(GetParam());
        out.assign(kRoom, 0xEE);
    }
    std::unique_ptr<veld::PrefixInflater> inflater;
    Bytes out;
};

}  // namespace

// Steps of every size, down to one byte, give the bytes of a whole inflate,
// and nothing is written past the step's end before the next step.
TEST_P(PrefixInflate, StepsStopExactlyAndGoOnWhereTheyStopped) {
    for (const Bytes& data : {shrinkable(kRoom, 1), patternBytes(300000, 2), shrinkable(70000, 3)}) {
        const Bytes payload = deflated(data);
        out.assign(kRoom, 0xEE);
        inflater->begin(payload.data(), payload.size(), out.data(), kRoom);
        std::mt19937 random(9);
        std::uint64_t at = 0;
        while (at + 1 < data.size()) {
            const std::uint64_t step = std::min<std::uint64_t>(data.size() - 1 - at, 1 + random() % 90000);
            const std::uint64_t target = at + (random() % 5 == 0 ? 1 : step);
            ASSERT_TRUE(inflater->advance(target)) << target;
            ASSERT_EQ(inflater->produced(), target);
            ASSERT_EQ(out[target], 0xEE) << "wrote past " << target;
            at = target;
        }
        ASSERT_TRUE(inflater->finish(data.size()));
        EXPECT_EQ(inflater->produced(), data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
        // Asking again for what is out changes nothing.
        EXPECT_TRUE(inflater->advance(10));
        EXPECT_TRUE(inflater->finish(data.size()));
    }
}

// The start of a damaged stream comes out; the end is what tells.
TEST_P(PrefixInflate, OnlyTheWholeStreamIsAcceptedAtItsEnd) {
    const Bytes data = shrinkable(500000, 4);
    const Bytes good = deflated(data);
    struct Case {
        const char* name;
        Bytes payload;
        std::uint64_t expected;
    };
    Bytes badSum = good, cut = good, longer = good;
    badSum[badSum.size() - 2] ^= 1;
    cut.resize(cut.size() - 9);
    longer.push_back(0);
    const std::vector<Case> cases = {{"checksum", badSum, data.size()},
                                     {"cut", cut, data.size()},
                                     {"byte after the stream", longer, data.size()},
                                     {"fewer bytes than the stream holds", good, data.size() - 1},
                                     {"more bytes than the stream holds", good, data.size() + 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        out.assign(kRoom, 0xEE);
        inflater->begin(c.payload.data(), c.payload.size(), out.data(), kRoom);
        ASSERT_TRUE(inflater->advance(400000));
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + 400000, out.begin()));
        EXPECT_FALSE(inflater->finish(c.expected));
    }
    // A stream cut before the bytes asked for cannot give them.
    Bytes early = good;
    early.resize(good.size() / 3);
    inflater->begin(early.data(), early.size(), out.data(), kRoom);
    EXPECT_FALSE(inflater->advance(data.size() - 10));
    EXPECT_FALSE(inflater->finish(data.size()));
    // Garbage is refused as soon as it is met; begin starts afresh afterwards.
    Bytes garbage = patternBytes(5000, 5);
    inflater->begin(garbage.data(), garbage.size(), out.data(), kRoom);
    EXPECT_FALSE(inflater->advance(1000));
    inflater->begin(good.data(), good.size(), out.data(), kRoom);
    EXPECT_TRUE(inflater->finish(data.size()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
}

INSTANTIATE_TEST_SUITE_P(Engines, PrefixInflate, ::testing::Values(veld::BlockEngine::Zlib, veld::BlockEngine::Isal),
                         [](const auto& info) { return std::string(veld::blockEngineName(info.param)); });

// libdeflate cannot stop early: streams that inflate with it stop early with
// ISA-L where the build has it; zlib chosen stays zlib.
TEST(PrefixEngine, FollowsTheChosenInflateEngine) {
    const veld::BlockEngine before = veld::blockEngine();
    ASSERT_TRUE(veld::setBlockEngine(veld::BlockEngine::Zlib));
    EXPECT_EQ(veld::prefixEngine(), veld::BlockEngine::Zlib);
    ASSERT_TRUE(veld::setBlockEngine(veld::BlockEngine::Automatic));
    EXPECT_EQ(veld::prefixEngine(), veld::blockEngineAvailable(veld::BlockEngine::Isal) ? veld::BlockEngine::Isal
                                                                                         : veld::BlockEngine::Zlib);
    veld::setBlockEngine(before);
}
