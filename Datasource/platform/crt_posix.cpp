// POSIX side of the C runtime layer: Microsoft flag values mapped to open(2).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "crt.h"

namespace veld::crt::os {

namespace {

// Files opened with _O_TEMPORARY, removed when their descriptor closes.
std::mutex gTempLock;
std::map<int, std::string> gTempNames;

int posixFlags(int oflag) {
    int flags = 0;
    switch (oflag & (kO_WRONLY | kO_RDWR)) {
        case kO_WRONLY: flags = O_WRONLY; break;
        case kO_RDWR: flags = O_RDWR; break;
        default: flags = O_RDONLY; break;
    }
    if (oflag & kO_APPEND) flags |= O_APPEND;
    if (oflag & kO_CREAT) flags |= O_CREAT;
    if (oflag & kO_TRUNC) flags |= O_TRUNC;
    // _O_TEXT, _O_BINARY, _O_RANDOM and _O_SHORT_LIVED have no POSIX meaning.
    return flags | O_CLOEXEC;
}

}  // namespace

int sopen(const std::string& utf8Name, int oflag, int /*shflag*/, int /*pmode*/) {
    // Created files get 0666 less the umask, as fopen's do.
    int fd;
    do {
        fd = ::open(utf8Name.c_str(), posixFlags(oflag), 0666);
    } while (fd == -1 && errno == EINTR);
    if (fd != -1 && (oflag & kO_TEMPORARY)) {
        std::lock_guard<std::mutex> g(gTempLock);
        gTempNames[fd] = utf8Name;
    }
    return fd;
}

int read(int fd, void* buffer, unsigned int count) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, count);
    } while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}

int write(int fd, const void* buffer, unsigned int count) {
    ssize_t n;
    do {
        n = ::write(fd, buffer, count);
    } while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}

std::int64_t lseek(int fd, std::int64_t offset, int origin) {
    const int whence = origin == kSEEK_CUR ? SEEK_CUR : origin == kSEEK_END ? SEEK_END : SEEK_SET;
    return static_cast<std::int64_t>(::lseek(fd, static_cast<off_t>(offset), whence));
}

int close(int fd) {
    std::string tempName;
    {
        std::lock_guard<std::mutex> g(gTempLock);
        auto it = gTempNames.find(fd);
        if (it != gTempNames.end()) {
            tempName = it->second;
            gTempNames.erase(it);
        }
    }
    const int r = ::close(fd);  // not retried: the descriptor is gone after EINTR
    if (!tempName.empty()) {
        const int saved = errno;
        ::unlink(tempName.c_str());
        errno = saved;
    }
    return r;
}

int commit(int fd) {
    int r;
    do {
        r = ::fsync(fd);
    } while (r == -1 && errno == EINTR);
    return r;
}

}  // namespace veld::crt::os
