#include "crt_seam.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "TestFiles.h"
#include "crt.h"

using namespace veld::crt;

TEST(CrtSeam, RecordsPositionsAndFailsOnlyTheNthCallOfAKind) {
    veldtest::TempDir dir;
    CrtSeam seam;
    const int fd = sopen(dir.file("f"), kO_RDWR | kO_CREAT | kO_BINARY, kSH_DENYWR, 0x180);
    ASSERT_NE(fd, -1);
    char buf[8] = "abcdefg";
    EXPECT_EQ(veld::crt::_write(fd, buf, 8), 8);
    EXPECT_EQ(veld::crt::_lseeki64(fd, 2, kSEEK_SET), 2);
    seam.failNth(Call::Read, 2, EIO);
    EXPECT_EQ(veld::crt::_read(fd, buf, 3), 3);
    EXPECT_EQ(veld::crt::_write(fd, buf, 1), 1);  // another kind does not count
    errno = 0;
    EXPECT_EQ(veld::crt::_read(fd, buf, 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(veld::crt::_read(fd, buf, 1), 1);
    EXPECT_EQ(veld::crt::_close(fd), 0);

    const auto writes = seam.callsOn(fd, Call::Write);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].position, 5);  // where the file pointer stood
    const auto reads = seam.callsOn(fd, Call::Read);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].position, 2);
    EXPECT_EQ(reads[0].count, 3u);
    EXPECT_EQ(reads[1].result, -1);
    EXPECT_EQ(reads[2].position, 6);
}

TEST(CrtSeam, InterruptedCallsAreRetriedAndShortReadsReturned) {
    veldtest::TempDir dir;
    CrtSeam seam;
    const int fd = sopen(dir.file("f"), kO_RDWR | kO_CREAT | kO_BINARY, kSH_DENYWR, 0x180);
    ASSERT_NE(fd, -1);
    char buf[8] = "abcdefg";
    seam.failNth(Call::Write, 1, EINTR);
    EXPECT_EQ(veld::crt::_write(fd, buf, 8), 8);
    EXPECT_EQ(veld::crt::_lseeki64(fd, 0, kSEEK_SET), 0);
    seam.failNth(Call::Read, 1, EINTR);
    seam.shortNth(Call::Read, 2, 5);
    EXPECT_EQ(veld::crt::_read(fd, buf, 8), 5);  // a read's short count is its caller's to judge
    EXPECT_EQ(veld::crt::_close(fd), 0);
    const auto reads = seam.callsOn(fd, Call::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].count, 8u);
    EXPECT_EQ(reads[1].result, 5);
    EXPECT_EQ(seam.callsOn(fd, Call::Write).size(), 2u);
}

// What a crash test replays: the bytes of each write, the file each call
// touched, and the calls on names, in order; each can be made to fail.
TEST(CrtSeam, RecordsWrittenBytesAndTheCallsThatChangeNames) {
    veldtest::TempDir dir;
    CrtSeam seam;
    seam.keepWrittenData(true);
    const std::string a = dir.file("a"), b = dir.file("b");
    const int fd = sopen(a, kO_RDWR | kO_CREAT | kO_BINARY, kSH_DENYWR, 0x180);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(veld::crt::_write(fd, "hello", 5), 5);
    EXPECT_EQ(veld::crt::_chsize_s(fd, 3), 0);
    EXPECT_EQ(veld::crt::_lseeki64(fd, 0, kSEEK_END), 3);
    EXPECT_EQ(veld::crt::_commit(fd), 0);
    EXPECT_EQ(veld::crt::_close(fd), 0);
    EXPECT_EQ(renameFile(a, b), 0);
    EXPECT_EQ(syncDirectoryOf(b), 0);
    seam.failNth(Call::Remove, 1, EROFS);
    EXPECT_EQ(removeFile(b), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(removeFile(b), 0);
    EXPECT_EQ(removeFile(b), -1);
    EXPECT_EQ(errno, ENOENT);

    const auto writes = seam.calls(Call::Write);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::string(writes[0].data.begin(), writes[0].data.end()), "hello");
    EXPECT_EQ(writes[0].name, a);
    const auto cuts = seam.calls(Call::Truncate);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].position, 3);
    EXPECT_EQ(cuts[0].name, a);
    const auto renames = seam.calls(Call::Rename);
    ASSERT_EQ(renames.size(), 1u);
    EXPECT_EQ(renames[0].name, a);
    EXPECT_EQ(renames[0].toName, b);
    ASSERT_EQ(seam.calls(Call::SyncDir).size(), 1u);
    const auto removes = seam.calls(Call::Remove);
    ASSERT_EQ(removes.size(), 3u);
    EXPECT_EQ(removes[0].result, -1);
    EXPECT_EQ(removes[1].result, 0);
}
