#include "sys_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "cli_support.h"

#ifdef _WIN32
#include <io.h>
#define VELD_SYS_OPEN _open
#define VELD_SYS_READ _read
#define VELD_SYS_WRITE _write
#define VELD_SYS_CLOSE _close
#define VELD_SYS_SEEK _lseeki64
#define VELD_SYS_BINARY _O_BINARY
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#define VELD_SYS_OPEN ::open
#define VELD_SYS_READ ::read
#define VELD_SYS_WRITE ::write
#define VELD_SYS_CLOSE ::close
#define VELD_SYS_SEEK ::lseek
#define VELD_SYS_BINARY 0
#endif

namespace veldcli {

namespace {
[[noreturn]] void fail(const std::string& path, const char* what) {
    const int err = errno;
    throw CliError(kExitDamaged, path, std::string(what) + ": " + systemReason(err, path));
}
// One call moves less than 1 GiB, well inside every platform's count type.
constexpr std::uint64_t kMaxCall = 1u << 30;

#ifndef _WIN32
// A Unix socket cannot be opened, only connected to; -1 with errno when refused.
int connectSocket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}
#endif
}  // namespace

SysFile::SysFile(const std::string& path, char mode) : fPath(path) {
    const int flags = mode == 'w'   ? (O_WRONLY | O_CREAT | O_TRUNC | VELD_SYS_BINARY)
                      : mode == 'o' ? (O_WRONLY | VELD_SYS_BINARY)
                                    : (O_RDONLY | VELD_SYS_BINARY);
    do {
        fFd = VELD_SYS_OPEN(path.c_str(), flags, 0666);
    } while (fFd < 0 && errno == EINTR);  // opening a FIFO waits for its reader
#ifndef _WIN32
    if (fFd < 0 && errno == ENXIO && mode == 'o') fFd = connectSocket(path);
#endif
    if (fFd < 0) fail(path, mode == 'r' ? "cannot open" : "cannot open for writing");
}

SysFile SysFile::standardInput() {
#ifdef _WIN32
    _setmode(0, _O_BINARY);
#endif
    return SysFile(0, "standard input");
}

SysFile SysFile::standardOutput() {
    std::fflush(stdout);
#ifdef _WIN32
    _setmode(1, _O_BINARY);
#endif
    return SysFile(1, "standard output");
}

SysFile::SysFile(SysFile&& other) noexcept : fPath(std::move(other.fPath)), fFd(other.fFd), fOwned(other.fOwned) {
    other.fFd = -1;
}

SysFile::~SysFile() {
    if (fOwned && fFd >= 0) VELD_SYS_CLOSE(fFd);
}

void SysFile::close() {
    if (!fOwned || fFd < 0) return;
    const int fd = fFd;
    fFd = -1;
    if (VELD_SYS_CLOSE(fd) != 0) fail(fPath, "cannot write");
}

std::uint64_t SysFile::read(void* buf, std::uint64_t n) {
    std::uint64_t done = 0;
    while (done < n) {
        const auto want = static_cast<unsigned>(std::min(n - done, kMaxCall));
        const auto got = VELD_SYS_READ(fFd, static_cast<char*>(buf) + done, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(fPath, "cannot read");
        }
        if (got == 0) break;
        done += static_cast<std::uint64_t>(got);
    }
    return done;
}

void SysFile::write(const void* buf, std::uint64_t n) {
    std::uint64_t done = 0;
    while (done < n) {
        const auto want = static_cast<unsigned>(std::min(n - done, kMaxCall));
        const auto put = VELD_SYS_WRITE(fFd, static_cast<const char*>(buf) + done, want);
        if (put < 0) {
            if (errno == EINTR) continue;
            fail(fPath, "cannot write");
        }
        done += static_cast<std::uint64_t>(put);
    }
}

void SysFile::seek(std::int64_t offset) {
    if (VELD_SYS_SEEK(fFd, offset, SEEK_SET) < 0) fail(fPath, "cannot seek");
}

}  // namespace veldcli
