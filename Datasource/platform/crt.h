// The C runtime's descriptor-based file calls, with the Microsoft flag values.
// On Windows these are the real CRT calls; elsewhere a thin layer maps them to
// POSIX. Nothing else in the library touches the operating system's files.
// Thread contract: safe for concurrent use (on distinct descriptors, or serialised by the caller).
#pragma once

#include <cstdint>
#include <string>

namespace veld::crt {

// Open flags of the Microsoft C runtime (_O_*).
constexpr int kO_RDONLY = 0x0000;
constexpr int kO_WRONLY = 0x0001;
constexpr int kO_RDWR = 0x0002;
constexpr int kO_APPEND = 0x0008;
constexpr int kO_RANDOM = 0x0010;
constexpr int kO_TEMPORARY = 0x0040;
constexpr int kO_CREAT = 0x0100;
constexpr int kO_TRUNC = 0x0200;
constexpr int kO_SHORT_LIVED = 0x1000;
constexpr int kO_TEXT = 0x4000;
constexpr int kO_BINARY = 0x8000;

// Share and permission values of _sopen.
constexpr int kSH_DENYWR = 0x20;
constexpr int kSH_DENYNO = 0x40;
constexpr int kS_IREAD = 0x0100;
constexpr int kS_IWRITE = 0x0080;

constexpr int kSEEK_SET = 0;
constexpr int kSEEK_CUR = 1;
constexpr int kSEEK_END = 2;

// As per _sopen_s: a descriptor, or -1 with errno set. The name is UTF-8.
// With kSH_DENYWR others may read but not write while the file is open; since
// every open of ours denies writers, a file has many readers or one writer,
// and a refused open fails with EACCES (on POSIX through a non-blocking
// flock: shared when opened read-only, exclusive when opened for writing).
int sopen(const std::string& utf8Name, int oflag, int shflag, int pmode);
// As per read(2); EINTR is retried.
int _read(int fd, void* buffer, unsigned int count);
// As the Microsoft runtime's _write: every byte is written or the call fails
// with -1 and errno (ENOSPC on a full disk). Short counts are continued and
// EINTR is retried; a count of 0 returns 0 without touching the descriptor.
int _write(int fd, const void* buffer, unsigned int count);
// As per lseek(2) with 64-bit offsets.
std::int64_t _lseeki64(int fd, std::int64_t offset, int origin);
// As per close(2); a file opened with kO_TEMPORARY is deleted here.
int _close(int fd);
// As per _commit (fsync(2) on POSIX): what the system holds for the file reaches the disk.
int _commit(int fd);

// As the Microsoft runtime's _chsize_s (ftruncate(2) on POSIX): 0, or an errno
// value (errno is set too). The file pointer stays where it was.
int _chsize_s(int fd, std::int64_t size);
// As per rename(2): `to` is replaced if it exists. 0, or -1 with errno.
int renameFile(const std::string& from, const std::string& to);
// As per unlink(2). 0, or -1 with errno.
int removeFile(const std::string& name);
// As per fsync(2) of the directory that holds `path`, so that a rename or a
// new file in it survives a power cut (0 on Windows, where there is no such
// step). 0, or -1 with errno.
int syncDirectoryOf(const std::string& path);

namespace os {
// The platform's own versions, without the test seam: one system call each
// (read and write as per read(2)/write(2), short counts and EINTR included).
int sopen(const std::string& utf8Name, int oflag, int shflag, int pmode);
int read(int fd, void* buffer, unsigned int count);
int write(int fd, const void* buffer, unsigned int count);
std::int64_t lseek(int fd, std::int64_t offset, int origin);
int close(int fd);
int commit(int fd);
int chsize(int fd, std::int64_t size);  // 0, or -1 with errno
int rename(const std::string& from, const std::string& to);
int remove(const std::string& name);
int syncDirectoryOf(const std::string& path);
}  // namespace os

}  // namespace veld::crt
