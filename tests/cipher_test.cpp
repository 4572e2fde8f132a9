#include "cipher.h"

#include <gtest/gtest.h>

#include <string>

#include "TestFiles.h"

using veldtest::Bytes;

namespace {

// Encrypt or Decrypt as a value; an empty result stands for a refusal.
Bytes run(int (*fn)(unsigned char**, int*, const unsigned char*, int), const Bytes& in) {
    unsigned char* out = nullptr;
    int outLength = -1;
    if (fn(&out, &outLength, in.data(), static_cast<int>(in.size())) != 1) return {};
    Bytes result(out, out + outLength);
    FreeOutData(out);
    return result;
}

Bytes hex(const char* text) {
    Bytes bytes;
    for (; text[0] && text[1]; text += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(std::string(text, 2), nullptr, 16)));
    return bytes;
}

// The key 00 01 .. 1f.
class Cipher : public ::testing::Test {
    veldtest::Enciphering on;
};

TEST_F(Cipher, KnownAnswerAndBlocksThatDecipherOnTheirOwn) {
    const Bytes plain = hex("00112233445566778899aabbccddeeff");
    EXPECT_EQ(run(Encrypt, plain), hex("8ea2b7ca516745bfeafc49904b496089"));
    EXPECT_EQ(run(Decrypt, hex("8ea2b7ca516745bfeafc49904b496089")), plain);

    const Bytes data = veldtest::patternBytes(64);
    const Bytes enciphered = run(Encrypt, data);
    ASSERT_EQ(enciphered.size(), 64u);
    for (int block : {3, 0, 2, 1})
        EXPECT_EQ(run(Decrypt, veldtest::slice(enciphered, 16 * block, 16)), veldtest::slice(data, 16 * block, 16));
}

TEST_F(Cipher, RefusalsAndTheEmptyClosingOutput) {
    EXPECT_TRUE(run(Encrypt, Bytes(15)).empty());
    EXPECT_TRUE(run(Decrypt, Bytes(17)).empty());

    unsigned char* out = nullptr;
    int outLength = -1;
    EXPECT_EQ(EndEncrypt(&out, &outLength), 1);
    EXPECT_EQ(outLength, 0);
    FreeOutData(out);

    veld::ClearCipherKey();
    unsigned char block[16] = {};
    EXPECT_EQ(Encrypt(&out, &outLength, block, 16), 0);
    EXPECT_EQ(Decrypt(&out, &outLength, block, 16), 0);
}

TEST_F(Cipher, PassphraseGivesTheSameKeyEveryTime) {
    const Bytes plain = veldtest::patternBytes(16);
    ASSERT_TRUE(veld::SetCipherPassphrase("correct horse"));
    const Bytes first = run(Encrypt, plain);
    ASSERT_TRUE(veld::SetCipherPassphrase("battery staple"));
    const Bytes other = run(Encrypt, plain);
    ASSERT_TRUE(veld::SetCipherPassphrase("correct horse"));
    EXPECT_EQ(run(Encrypt, plain), first);
    EXPECT_NE(other, first);
}

}  // namespace
