// A disk that fills up while Close stores the last block, then gets room
// again (a filler file removed): the next Close finishes the file, byte for
// byte as a run that never met the full disk. A real tmpfs, mounted here.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "CompressedFiles.h"
#include "TestFiles.h"
#include "zcmpsFilestr.h"

using namespace veldtest;

namespace {

constexpr std::int64_t P = 1000;

class FullDisk : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        fMount = fDir.file("small-disk");
        ASSERT_EQ(::mkdir(fMount.c_str(), 0755), 0);
        if (::mount("tmpfs", fMount.c_str(), "tmpfs", 0, "size=16m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                         << "); the full disk needs one of its own";
        fMounted = true;
    }
    void TearDown() override {
        if (fMounted) ::umount2(fMount.c_str(), MNT_DETACH);
    }
    std::uint64_t freeBytes() const {
        struct statvfs s {};
        EXPECT_EQ(::statvfs(fMount.c_str(), &s), 0);
        return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
    }
    // Leaves `room` bytes free (to a page).
    void fillUpTo(std::uint64_t room) {
        const std::uint64_t fill = freeBytes() - room;
        std::FILE* f = std::fopen((fMount + "/filler").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const Bytes zeros(1 << 20, 0);
        for (std::uint64_t done = 0; done < fill;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), fill - done));
            ASSERT_EQ(std::fwrite(zeros.data(), 1, n, f), n);
            done += n;
        }
        ASSERT_EQ(std::fclose(f), 0);
    }

    TempDir fDir;
    std::string fMount;
    bool fMounted = false;
};

}  // namespace

TEST_P(FullDisk, CloseOnAFullDiskIsFinishedByTheNextCloseOnceThereIsRoom) {
    const Bytes dict = patternBytes(P, 1);
    Bytes data = textBytes(2 * kBlock, 2);
    const Bytes noise = patternBytes(2000000, 3);  // the last block: a payload of about 2 MB
    data.insert(data.end(), noise.begin(), noise.end());
    packFile(fDir.file("reference"), dict, data);
    const Bytes reference = readAll(fDir.file("reference"));
    const RawLayout layout = readLayout(reference, P);
    ASSERT_EQ(layout.blocks.size(), 3u);
    const std::uint64_t fullBlocksEnd = static_cast<std::uint64_t>(layout.blocks[2].translatePos);
    // Room for the dictionary part and the full blocks, not for the last payload.
    fillUpTo(fullBlocksEnd + 1000000);

    const std::string path = fMount + "/f";
    CompressedWriter w(path, dict, GetParam());
    w.z->Write(data.data(), data.size());
    int err = 0;
    EXPECT_EQ(raisedCode([&] { w.z->Close(); }, &err), 1002);
    EXPECT_EQ(err, ENOSPC);
    const Bytes unfinished = readAll(path);
    ASSERT_GE(unfinished.size(), static_cast<std::size_t>(P + 24));
    EXPECT_EQ(slice(unfinished, P, 24), Bytes(24, 0)) << "nothing committed";
    EXPECT_EQ(raisedCode([&] { w.z->Close(); }, &err), 1002) << "still full";

    ASSERT_EQ(std::remove((fMount + "/filler").c_str()), 0);
    w.z->Close();
    EXPECT_TRUE(readAll(path) == reference);
    EXPECT_TRUE(readCases(path, P, 0) == data);
}

INSTANTIATE_TEST_SUITE_P(Settings, FullDisk, ::testing::Values(0, 1, -3));
