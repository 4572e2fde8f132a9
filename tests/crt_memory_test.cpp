// Files held in memory: opened by name through the raw file like any other,
// read, written, sought and closed without the kernel, with a bad region that
// fails reads; names it does not hold open on disk as always.
#include "crt_memory.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "ExtNameStr.h"
#include "TestFiles.h"
#include "VELD_File.h"
#include "crt_seam.h"

using namespace veldtest;

namespace {
ExtNameStr nameOf(const std::string& text) {
    ExtNameStr name;
    name.SetGeneric(text);
    return name;
}
}  // namespace

TEST(MemoryFiles, ServedToTheirNamesWithoutTheSystem) {
    const Bytes bytes = patternBytes(100000, 4);
    veld::crt::MemoryFiles files;
    files.set("held.dat", bytes.data(), bytes.size());
    veld::crt::CrtSeam seam;
    {
        VELD_File f;
        ASSERT_TRUE(f.Open(nameOf("held.dat"), "rb"));
        EXPECT_EQ(f.Size(), 100000);
        Bytes got(300);
        EXPECT_EQ(f.Read(got.data(), 300, 99900), 100u) << "short at the end";
        EXPECT_EQ(slice(got, 0, 100), slice(bytes, 99900, 100));
        EXPECT_EQ(f.Read(got.data(), 300, 5000), 300u);
        EXPECT_EQ(got, slice(bytes, 5000, 300));
        EXPECT_EQ(f.Read(got.data(), 300, 200000), 0u);
        EXPECT_TRUE(f.IsEof());
        f.Close();
    }
    {
        VELD_File f;
        ASSERT_TRUE(f.Open(nameOf("held.dat"), "r+b"));
        f.Write("abc", 3, 99999);
        f.Commit();
        f.Close();
    }
    Bytes expected = bytes;
    expected.resize(100002);
    expected[99999] = 'a';
    expected[100000] = 'b';
    expected[100001] = 'c';
    EXPECT_EQ(files.bytes("held.dat"), expected);
    EXPECT_TRUE(seam.calls().empty()) << "nothing reached the system";

    // "wb" empties the file; a name it does not hold opens on disk.
    TempDir dir;
    {
        VELD_File f;
        ASSERT_TRUE(f.Open(nameOf("held.dat"), "wb"));
        f.Close();
        EXPECT_TRUE(files.bytes("held.dat").empty());
        ASSERT_TRUE(f.Open(nameOf(dir.file("disk")), "wb"));
        f.Write("xyz", 3, 0);
        f.Close();
    }
    EXPECT_EQ(readAll(dir.file("disk")), Bytes({'x', 'y', 'z'}));
    EXPECT_FALSE(seam.calls().empty());
}

TEST(MemoryFiles, ReadsTouchingABadRegionFail) {
    const Bytes bytes = patternBytes(10000, 5);
    veld::crt::MemoryFiles files;
    files.set("held.dat", bytes.data(), bytes.size());
    files.failReads(4096, 4097, EIO);
    VELD_File f;
    ASSERT_TRUE(f.Open(nameOf("held.dat"), "rb"));
    Bytes got(4096);
    EXPECT_EQ(f.Read(got.data(), 4096, 0), 4096u) << "ends just before the region";
    EXPECT_EQ(f.Read(got.data(), 100, 4097), 100u) << "starts just after it";
    int err = 0;
    EXPECT_EQ(raisedCode([&] { f.Read(got.data(), 2, 4095); }, &err), 1003);
    EXPECT_EQ(err, EIO);
    EXPECT_FALSE(f.bGood);
    files.failReads(0, 0, 0);
    f.bGood = true;
    EXPECT_EQ(f.Read(got.data(), 2, 4095), 2u);
    EXPECT_EQ(slice(got, 0, 2), slice(bytes, 4095, 2));
}

TEST(MemoryFiles, GoneWithTheObject) {
    {
        veld::crt::MemoryFiles files;
        files.set("held.dat", "x", 1);
    }
    VELD_File f;
    EXPECT_FALSE(f.Open(nameOf("held.dat"), "rb")) << "no such file on disk";
}
