#include <gtest/gtest.h>

#include "TestFiles.h"
#include "ThrowError.h"
#include "VELD_File.h"
#include "VELD_FileStream.h"
#include "cipher.h"
#include "crt_seam.h"

using veld::crt::Call;
using veld::crt::CrtSeam;
using namespace veldtest;

namespace {

Bytes encipher(const Bytes& plain, std::size_t length) {
    unsigned char* out = nullptr;
    int outLength = 0;
    EXPECT_EQ(Encrypt(&out, &outLength, plain.data(), static_cast<int>(length)), 1);
    Bytes result(out, out + outLength);
    FreeOutData(out);
    return result;
}

class EncryptedFile : public ::testing::Test {
protected:
    void SetUp() override { name.SetGeneric(path); }
    Enciphering on;
    TempDir dir;
    std::string path = dir.file("data.enc");
    ExtNameStr name;
    Bytes plain = patternBytes(70000);
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
    EXPECT_EQ(readAll(path), encipher(plain, 32));
    EXPECT_NE(readAll(path), slice(plain, 0, 32));
}

TEST_F(EncryptedFile, PartialBlocksAreHeldBackAndFinishedWithFiller) {
    CrtSeam seam;
    VELD_File f(true);
    ASSERT_TRUE(f.Open(name, "w+b"));
    EXPECT_EQ(f.FinishEncryption(), 0);  // nothing to finish
    std::size_t at = 0;
    for (std::size_t piece : {40, 10, 1, 7, 15, 16, 17, 1000, 65537}) {
        SCOPED_TRACE(piece);
        ASSERT_EQ(f.Write(plain.data() + at, piece, f.fCurPos), piece);
        at += piece;
        // Whole blocks on disk are the data's blocks enciphered one for one; the rest waits.
        EXPECT_EQ(readAll(path), encipher(plain, at / 16 * 16));
        EXPECT_EQ(f.PendingSize(), static_cast<int>(at % 16));
        EXPECT_EQ(f.fCurPos, static_cast<std::int64_t>(at));
    }
    f.FinishEncryption();
    EXPECT_EQ(f.PadSize(), 13);
    EXPECT_EQ(f.PendingSize(), 0);
    const Bytes finished = readAll(path);
    ASSERT_EQ(finished.size(), at + 13);
    const auto writes = seam.calls(Call::Write).size();
    f.FinishEncryption();
    EXPECT_EQ(seam.calls(Call::Write).size(), writes);
    EXPECT_EQ(readAll(path), finished);
    EXPECT_TRUE(seam.calls(Call::Seek).empty());  // a sequential writer never seeks

    // The same object knows the filler and drops it at the end of the file.
    Bytes back;
    for (std::int64_t pos = 0; !f.IsEof(); pos += 4096) {
        const Bytes piece = readAt(f, pos, 4096);
        back.insert(back.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(back, slice(plain, 0, at));
    f.Close();

    // A new object does not: the filler (zeros) comes back as data.
    VELD_File other(true);
    ASSERT_TRUE(other.Open(name, "rb"));
    EXPECT_EQ(readAt(other, 0, at + 13), patched(Bytes(at + 13), 0, slice(plain, 0, at)));
}

TEST_F(EncryptedFile, PendingBytesNeitherReachTheDiskNorMoveTheNextBlock) {
    CrtSeam seam;
    VELD_File f(true);
    ASSERT_TRUE(f.Open(name, "w+b"));
    EXPECT_EQ(f.Write(plain.data(), 5, 0), 5u);
    EXPECT_EQ(f.Write(plain.data() + 5, 15, 5), 15u);
    EXPECT_EQ(f.Size(), 16);
    f.Write(plain.data() + 20, 20, 20);
    const auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].position, 16);
    EXPECT_EQ(seam.calls(Call::Seek).size(), 2u);  // Size's own, and no seek back for the write
    f.Close();  // without FinishEncryption: the 8 pending bytes are dropped
    EXPECT_EQ(readAll(path), encipher(plain, 32));
}

TEST_F(EncryptedFile, MisalignedReadAndMissingKeyAreRefused) {
    VELD_File f(true);
    ASSERT_TRUE(f.Open(name, "w+b"));
    unsigned char buf[32];
    for (auto [size, offset] : {std::pair{10, 0}, std::pair{16, 8}})
        EXPECT_EQ(failedCheck([&] { f.Read(buf, size, offset); }),
                  "byteOffset%CIPHER_BLOCK_SIZE == 0 && byteSize%CIPHER_BLOCK_SIZE == 0 && "
                  "\"byteOffset and byteSize shoule be multiple of 16.\"");
    veld::ClearCipherKey();
    EXPECT_EQ(raisedCode([&] { f.Write(plain.data(), 32, 0); }), 1002);
    EXPECT_FALSE(f.bGood);
}

TEST_F(EncryptedFile, WritesAwayFromTheHeldBackBytesLoseNothing) {
    VELD_File f(true);
    ASSERT_TRUE(f.Open(name, "w+b"));
    f.Write(plain.data(), 100, 0);                 // 4 bytes held back at 96
    ASSERT_EQ(f.Write(plain.data() + 200, 10, 200), 10u);  // after a gap: zeros fill it
    EXPECT_EQ(f.PendingSize(), 2);
    f.Write(plain.data() + 16, 16, 16);            // back: the held-back block goes out first
    EXPECT_EQ(f.PendingSize(), 0);
    EXPECT_EQ(f.PadSize(), 14);
    Bytes expected = patched(Bytes(210), 0, slice(plain, 0, 100));
    expected = patched(expected, 200, slice(plain, 200, 10));
    EXPECT_EQ(readAt(f, 0, 224), expected);  // the same object drops the filler at the end

    // Neither continuing the data nor whole blocks: refused, and the file keeps what it had.
    int err = 0;
    try {
        f.Write(plain.data(), 5, 3);
        ADD_FAILURE() << "a write at offset 3 was taken";
    } catch (const veld::DataSourceError& e) {
        EXPECT_EQ(e.code(), 1002);
        err = e.sysErrno();
        EXPECT_NE(e.detail().find("multiple of 16"), std::string::npos);
    }
    EXPECT_EQ(err, EINVAL);
    EXPECT_FALSE(f.bGood);
    EXPECT_EQ(readAt(f, 0, 224), expected);
}

TEST_F(EncryptedFile, AStreamThatSeeksPastItsDataReadsBackWhatItWrote) {
    {
        VELD_FileStream out(path.c_str(), "wb", true);
        ASSERT_EQ(out.Write(plain.data(), 100), 100u);
        ASSERT_EQ(out.Seek(200, VELD_StrBaseIO::FromStart), 0);
        ASSERT_EQ(out.Write(plain.data() + 200, 10), 10u);
        ASSERT_EQ(out.Close(), 1);
    }
    VELD_FileStream in(path.c_str(), "rb", true);
    Bytes back(300);
    const auto n = in.Read(back.data(), back.size());
    ASSERT_EQ(n, 224u);  // a new object knows no filler: the last block's 14 come as zeros
    back.resize(n);
    Bytes expected = patched(Bytes(224), 0, slice(plain, 0, 100));
    EXPECT_EQ(back, patched(expected, 200, slice(plain, 200, 10)));
}

}  // namespace
