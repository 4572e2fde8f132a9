// The raw file on the real Windows C runtime: what the POSIX layer cannot
// show (share modes, delete-on-close, UTF-16 names, 64-bit offsets).
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "VELD_File.h"

namespace {

namespace fs = std::filesystem;
using veldtest::TempDir;

ExtNameStr nameOf(const std::string& utf8) {
    ExtNameStr name;
    name.SetGeneric(utf8);
    return name;
}

std::string utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::vector<unsigned char> readBack(VELD_File& file, std::size_t size, std::int64_t offset) {
    std::vector<unsigned char> bytes(size);
    bytes.resize(file.Read(bytes.data(), bytes.size(), offset));
    return bytes;
}

std::string contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Our opens deny writers: on Windows that binds every other program too
// (VELD_File_test covers our own opens on every platform).
TEST(WindowsShareMode, ForeignWritersAreRefusedAndReadersAdmitted) {
    TempDir dir;
    const std::string path = dir.file("shared.bin");
    RefCountPtr<VELD_File> writer(new VELD_File());
    ASSERT_TRUE(writer->Open(nameOf(path), "w+b"));
    ASSERT_EQ(writer->Write("fresh", 5, 0), 5u);
    // A reader that shares writing (as fopen's do) gets in and sees the bytes
    // at once: the raw file keeps no buffer of its own.
    EXPECT_EQ(contentsOf(path), "fresh");
    std::ofstream other(path, std::ios::binary | std::ios::app);
    EXPECT_FALSE(other.is_open());
}

TEST(WindowsTemporaryFile, DeletedWhenClosed) {
    TempDir dir;
    const std::string path = dir.file("scratch.tmp");
    RefCountPtr<VELD_File> file(new VELD_File());
    ASSERT_TRUE(file->Open(nameOf(path), "w+bD"));
    const auto bytes = veldtest::patternBytes(5000, 7);
    ASSERT_EQ(file->Write(bytes.data(), bytes.size(), 0), bytes.size());
    EXPECT_EQ(readBack(*file, bytes.size(), 0), bytes);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(file->Close(), 1);
    EXPECT_FALSE(fs::exists(path));

    // Without 'D' the file stays.
    ASSERT_TRUE(file->Open(nameOf(path), "w+b"));
    file->Close();
    EXPECT_TRUE(fs::exists(path));
}

// Names outside the ANSI code page (and outside the Basic Multilingual Plane)
// reach the disk as the same characters.
TEST(WindowsFileNames, NonAsciiNamesRoundTrip) {
    TempDir dir;
    const std::vector<std::u8string> names = {u8"données-Ω.bin", u8"数据-\U0001D11E.bin"};
    int seed = 11;
    for (const auto& leaf : names) {
        const fs::path onDisk = dir.path() / fs::path(leaf);
        const std::string generic = utf8Of(onDisk);
        const auto bytes = veldtest::patternBytes(4096 + seed, seed);
        ++seed;
        {
            RefCountPtr<VELD_File> file(new VELD_File());
            ASSERT_TRUE(file->Open(nameOf(generic), "wb")) << generic;
            ASSERT_EQ(file->Write(bytes.data(), bytes.size(), 0), bytes.size());
            EXPECT_EQ(file->fName.GetGeneric(), generic);
        }
        ASSERT_TRUE(fs::exists(onDisk)) << generic;
        EXPECT_EQ(fs::file_size(onDisk), bytes.size());

        RefCountPtr<VELD_File> file(new VELD_File());
        ASSERT_TRUE(file->Open(nameOf(generic), "rb"));
        EXPECT_EQ(readBack(*file, bytes.size() + 10, 0), bytes);
    }

    std::vector<std::u8string> listed;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        listed.push_back(entry.path().filename().u8string());
    std::sort(listed.begin(), listed.end());
    std::vector<std::u8string> expected = names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

TEST(WindowsFileNames, InvalidUtf8IsRefusedNotMangled) {
    TempDir dir;
    const std::string bad = dir.file("bad-") + "\xC3\x28" + ".bin";
    RefCountPtr<VELD_File> file(new VELD_File());
    EXPECT_FALSE(file->Open(nameOf(bad), "wb"));
    EXPECT_FALSE(file->bGood);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(WindowsLargeFile, OffsetsBeyondFourGiB) {
    constexpr std::int64_t kFar = 5LL << 30;
    TempDir dir;
    const std::string path = dir.file("sparse.bin");
    RefCountPtr<VELD_File> file(new VELD_File());
    ASSERT_TRUE(file->Open(nameOf(path), "w+b"));
    // Sparse, so NTFS does not write 5 GiB of zeros; Wine's files are sparse anyway.
    DWORD unused = 0;
    DeviceIoControl(reinterpret_cast<HANDLE>(_get_osfhandle(file->Handle())), FSCTL_SET_SPARSE,
                    nullptr, 0, nullptr, 0, &unused, nullptr);

    ASSERT_EQ(file->Write("head", 4, 0), 4u);
    ASSERT_EQ(file->Write("far away", 8, kFar), 8u);
    EXPECT_EQ(file->fCurPos, kFar + 8);
    EXPECT_EQ(file->Size(), kFar + 8);

    const auto farBytes = readBack(*file, 8, kFar);
    EXPECT_EQ(std::string(farBytes.begin(), farBytes.end()), "far away");
    // A 32-bit truncation of the offset would have put the bytes at 1 GiB.
    const auto hole = readBack(*file, 8, kFar - (4LL << 30));
    EXPECT_EQ(hole, std::vector<unsigned char>(8, 0));
    const auto head = readBack(*file, 4, 0);
    EXPECT_EQ(std::string(head.begin(), head.end()), "head");
    EXPECT_EQ(readBack(*file, 8, kFar + 8).size(), 0u);
    EXPECT_TRUE(file->IsEof());

    file->Close();
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(path)), kFar + 8);
    EXPECT_TRUE(fs::remove(path));
}

}  // namespace
