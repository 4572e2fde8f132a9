#include <gtest/gtest.h>

#include "TestFiles.h"
#include "ThrowError.h"
#include "VELD_File.h"
#include "cipher.h"
#include "crt_seam.h"

using veld::crt::Call;
using veld::crt::CrtSeam;
using veldtest::Bytes;
using veldtest::patternBytes;
using veldtest::readAll;

namespace {

Bytes encipher(const unsigned char* plain, int length) {
    unsigned char* out = nullptr;
    int outLength = 0;
    EXPECT_EQ(Encrypt(&out, &outLength, plain, length), 1);
    Bytes result(out, out + outLength);
    FreeOutData(out);
    return result;
}

class EncryptedFile : public ::testing::Test {
protected:
    void SetUp() override { name.SetGeneric(path); }

    veldtest::Enciphering on;
    Bytes disk() { return readAll(path); }
    Bytes plainPrefix(std::size_t n) { return veldtest::slice(plain, 0, n); }

    veldtest::TempDir dir;
    std::string path = dir.file("data.enc");
    ExtNameStr name;
    Bytes plain = patternBytes(200);
};

TEST_F(EncryptedFile, TheSwitchDecidesAtConstruction) {
    SetKeepEncrypt(false);
    EXPECT_FALSE(VELD_File(true).IsEncrypted());
    SetKeepEncrypt(true);
    EXPECT_FALSE(VELD_File().IsEncrypted());
    VELD_File f(true);
    SetKeepEncrypt(false);
    ASSERT_TRUE(f.Open(name, "w+b"));
    f.Write(plain.data(), 32, 0);
    EXPECT_EQ(disk(), encipher(plain.data(), 32));
    EXPECT_NE(disk(), plainPrefix(32));
}

TEST_F(EncryptedFile, PartialBlocksAreHeldBackAndFinishedWithFiller) {
    CrtSeam seam;
    VELD_File f(true);
    ASSERT_TRUE(f.Open(name, "w+b"));
    EXPECT_EQ(f.Write(plain.data(), 40, 0), 40u);
    EXPECT_EQ(disk(), encipher(plain.data(), 32));
    EXPECT_EQ(f.PendingSize(), 8);
    EXPECT_EQ(f.fCurPos, 40);

    EXPECT_EQ(f.Write(plain.data() + 40, 10, 40), 10u);
    EXPECT_EQ(disk(), encipher(plain.data(), 48));
    EXPECT_EQ(f.PendingSize(), 2);
    EXPECT_EQ(f.fCurPos, 50);

    f.FinishEncryption();
    EXPECT_EQ(f.PadSize(), 14);
    EXPECT_EQ(f.PendingSize(), 0);
    const Bytes finished = disk();
    ASSERT_EQ(finished.size(), 64u);
    EXPECT_EQ(veldtest::slice(finished, 0, 48), encipher(plain.data(), 48));
    const auto writes = seam.calls(Call::Write).size();
    f.FinishEncryption();
    EXPECT_EQ(seam.calls(Call::Write).size(), writes);
    EXPECT_EQ(disk(), finished);
    EXPECT_TRUE(seam.calls(Call::Seek).empty());  // a sequential writer never seeks

    // The same object knows the filler and drops it at the end of the file.
    Bytes back(64);
    EXPECT_EQ(f.Read(back.data(), 48, 0), 48u);
    EXPECT_EQ(f.Read(back.data() + 48, 16, 48), 2u);
    back.resize(50);
    EXPECT_EQ(back, plainPrefix(50));
    EXPECT_EQ(f.Read(back.data(), 16, 64), 0u);
    EXPECT_TRUE(f.IsEof());
    f.Close();

    // A new object does not: the filler (zeros) comes back as data.
    VELD_File other(true);
    ASSERT_TRUE(other.Open(name, "rb"));
    Bytes all(64);
    EXPECT_EQ(other.Read(all.data(), 64, 0), 64u);
    Bytes expected = plainPrefix(50);
    expected.resize(64, 0);
    EXPECT_EQ(all, expected);
}

TEST_F(EncryptedFile, PendingBytesNeitherReachTheDiskNorMoveTheNextBlock) {
    CrtSeam seam;
    VELD_File f(true);
    ASSERT_TRUE(f.Open(name, "w+b"));
    EXPECT_EQ(f.FinishEncryption(), 0);  // nothing to finish
    EXPECT_EQ(f.Write(plain.data(), 5, 0), 5u);
    EXPECT_EQ(f.Write(plain.data() + 5, 5, 5), 5u);
    EXPECT_EQ(f.PendingSize(), 10);
    EXPECT_TRUE(seam.calls(Call::Write).empty());
    EXPECT_EQ(f.Write(plain.data() + 10, 10, 10), 10u);
    EXPECT_EQ(f.Size(), 16);
    f.Write(plain.data() + 20, 20, 20);
    const auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].position, 16);
    EXPECT_EQ(seam.calls(Call::Seek).size(), 2u);  // Size's own, and no seek back for the write
    f.Close();  // without FinishEncryption: the 8 pending bytes are dropped
    EXPECT_EQ(disk(), encipher(plain.data(), 32));
}

TEST_F(EncryptedFile, MisalignedReadAndMissingKeyAreRefused) {
    VELD_File f(true);
    ASSERT_TRUE(f.Open(name, "w+b"));
    unsigned char buf[32];
    for (auto [size, offset] : {std::pair{10, 0}, std::pair{16, 8}})
        EXPECT_EQ(veldtest::failedCheck([&] { f.Read(buf, size, offset); }),
                  "byteOffset%CIPHER_BLOCK_SIZE == 0 && byteSize%CIPHER_BLOCK_SIZE == 0 && "
                  "\"byteOffset and byteSize shoule be multiple of 16.\"");
    veld::ClearCipherKey();
    EXPECT_EQ(veldtest::raisedCode([&] { f.Write(plain.data(), 32, 0); }), 1002);
    EXPECT_FALSE(f.bGood);
}

TEST_F(EncryptedFile, OddSizedSequentialWritesReadBackExactly) {
    Bytes data = patternBytes(1 + 7 + 15 + 16 + 17 + 1000 + 65537, 3);
    CrtSeam seam;
    VELD_File f(true);
    ASSERT_TRUE(f.Open(name, "w+b"));
    std::size_t at = 0;
    for (std::size_t piece : {1, 7, 15, 16, 17, 1000, 65537}) {
        ASSERT_EQ(f.Write(data.data() + at, piece, f.fCurPos), piece);
        at += piece;
    }
    f.FinishEncryption();
    EXPECT_TRUE(seam.calls(Call::Seek).empty());
    EXPECT_EQ(f.PadSize(), 15);

    // Whole blocks on disk are the data's blocks enciphered one for one.
    const Bytes onDisk = disk();
    ASSERT_EQ(onDisk.size(), data.size() + 15);
    const int whole = static_cast<int>(data.size() / 16 * 16);
    EXPECT_EQ(veldtest::slice(onDisk, 0, whole), encipher(data.data(), whole));

    Bytes back;
    unsigned char chunk[4096];
    for (std::int64_t pos = 0; const auto n = f.Read(chunk, sizeof chunk, pos); pos += sizeof chunk)
        back.insert(back.end(), chunk, chunk + n);
    EXPECT_EQ(back, data);
}

}  // namespace
