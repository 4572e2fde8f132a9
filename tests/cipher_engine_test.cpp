// The cipher engines (OpenSSL on Linux, CNG on Windows) must derive the same
// key from a passphrase, or files would not move between platforms; the
// expected keys are PBKDF2-HMAC-SHA256 as computed by Python's hashlib.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.h"
#include "cipher.h"
#include "cipher_engine.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes transform(bool encrypt, const Bytes& key, const Bytes& in) {
    Bytes out(in.size(), 0xEE);
    EXPECT_TRUE(veld::cipher::ecbTransform(encrypt, key.data(), in.data(), out.data(),
                                           static_cast<int>(in.size())));
    return out;
}

TEST(CipherEngine, PassphraseKeyMatchesPbkdf2HmacSha256) {
    const std::vector<std::pair<std::string, std::string>> known = {
        {"veld demo", "a6e63a37c263d1fe5a2992b03979a99a665ba0cd95338bbb7d005ae5e4f3f2fc"},
        {"", "f6ea5e87de5552f932ea0439f3ee601a70831579b7e1934607931b861ff040d1"},
        {"p\xC3\xA4ssw\xC3\xB6rd", "5fa262f06c5f06083e366d51eae93c81f5ab0773e0d6f223bdf733048f0e54d5"},
    };
    for (const auto& [passphrase, hex] : known) {
        Bytes key(veld::kCipherKeyBytes, 0);
        ASSERT_TRUE(veld::cipher::deriveKey(passphrase, key.data())) << passphrase;
        EXPECT_EQ(key, fromHex(hex)) << passphrase;
    }
}

// The engine is used by many files at once; no call may disturb another.
TEST(CipherEngine, ConcurrentCallsGiveTheSameBytes) {
    constexpr int kThreads = 4;
    std::vector<Bytes> keys, plains, expected;
    for (int t = 0; t < kThreads; ++t) {
        keys.push_back(veldtest::patternBytes(veld::kCipherKeyBytes, 100 + t));
        plains.push_back(veldtest::patternBytes(4096, 200 + t));
        expected.push_back(transform(true, keys.back(), plains.back()));
        ASSERT_NE(expected.back(), plains.back());
    }
    std::array<int, kThreads> mismatches{};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes out(plains[t].size());
            for (int round = 0; round < 200; ++round) {
                const bool encrypt = round % 2 == 0;
                const Bytes& in = encrypt ? plains[t] : expected[t];
                const Bytes& want = encrypt ? expected[t] : plains[t];
                if (!veld::cipher::ecbTransform(encrypt, keys[t].data(), in.data(), out.data(),
                                                static_cast<int>(in.size())) ||
                    out != want)
                    ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
