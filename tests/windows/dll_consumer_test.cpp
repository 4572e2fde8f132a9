// An application's view of veld.dll: classes and functions reached through
// the import library, errors raised in the DLL and caught here by type.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>

#include "ThrowError.h"
#include "VELD_File.h"
#include "check.h"
#include "cipher.h"

namespace {

namespace fs = std::filesystem;

class DllConsumer : public ::testing::Test {
protected:
    void SetUp() override {
        fDir = fs::temp_directory_path() /
               ("veld-dll-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(fDir);
        fs::create_directories(fDir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(fDir, ec);
    }
    ExtNameStr name(const std::string& leaf) const {
        ExtNameStr n;
        n.SetGeneric((fDir / leaf).string());
        return n;
    }
    fs::path fDir;
};

TEST_F(DllConsumer, RawFileRoundTrip) {
    RefCountPtr<VELD_File> file(new VELD_File());
    ASSERT_TRUE(file->Open(name("plain.bin"), "w+b"));
    const char text[] = "through the import library";
    ASSERT_EQ(file->Write(text, sizeof text, 0), sizeof text);
    EXPECT_EQ(file->Size(), static_cast<std::int64_t>(sizeof text));
    char back[sizeof text] = {};
    ASSERT_EQ(file->Read(back, sizeof back, 0), sizeof text);
    EXPECT_EQ(std::memcmp(back, text, sizeof text), 0);
    EXPECT_EQ(file->Close(), 1);
    EXPECT_EQ(fs::file_size(fDir / "plain.bin"), sizeof text);
}

TEST_F(DllConsumer, DiskErrorsAreCaughtByType) {
    RefCountPtr<VELD_File> file(new VELD_File());
    {
        RefCountPtr<VELD_File> create(new VELD_File());
        ASSERT_TRUE(create->Open(name("ro.bin"), "wb"));
    }
    ASSERT_TRUE(file->Open(name("ro.bin"), "rb"));
    try {
        file->Write("x", 1, 0);
        FAIL() << "a write to a read-only descriptor succeeded";
    } catch (const veld::DataSourceError& e) {
        EXPECT_EQ(e.code(), veld::errcode::kCannotWrite);
        EXPECT_EQ(e.msgFile(), "datasrc.err");
        EXPECT_EQ(e.fileName(), (fDir / "ro.bin").string());
        EXPECT_NE(e.sysErrno(), 0);
    }
    EXPECT_FALSE(file->bGood);
}

TEST_F(DllConsumer, FailedChecksAreCaughtByType) {
    VELD_File original;
    try {
        VELD_File copy(original);
        FAIL() << "copying a raw file passed its check";
    } catch (const veld::CheckFailure& e) {
        EXPECT_EQ(e.expression(), "0 && \"can't copy an VELD_File\"");
    }
}

TEST_F(DllConsumer, EncipheredFileReadsBack) {
    SetKeepEncrypt(true);
    ASSERT_TRUE(veld::SetCipherPassphrase("across the boundary"));
    const std::string text(1000, 'k');
    RefCountPtr<VELD_File> file(new VELD_File(true));
    ASSERT_TRUE(file->Open(name("secret.bin"), "w+b"));
    ASSERT_TRUE(file->IsEncrypted());
    ASSERT_EQ(file->Write(text.data(), text.size(), 0), text.size());
    file->FinishEncryption();
    // Reopened on the same object, which remembers the filler of the last block.
    ASSERT_TRUE(file->Open(name("secret.bin"), "rb"));
    std::string back(1024, '\0');  // enciphered reads ask for whole cipher blocks
    back.resize(file->Read(back.data(), back.size(), 0));
    EXPECT_EQ(back, text);
    file->Close();
    EXPECT_EQ(fs::file_size(fDir / "secret.bin"), 1008u);
    SetKeepEncrypt(false);
    veld::ClearCipherKey();
}

}  // namespace
