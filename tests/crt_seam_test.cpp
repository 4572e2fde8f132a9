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
