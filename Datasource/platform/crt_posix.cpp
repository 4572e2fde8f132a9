// POSIX side of the C runtime layer: Microsoft flag values mapped to open(2),
// the share mode kept with flock(2).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

int sopen(const std::string& utf8Name, int oflag, int shflag, int /*pmode*/) {
    const bool denyWriters = shflag == kSH_DENYWR;
    const bool writes = (oflag & (kO_WRONLY | kO_RDWR)) != 0;
    int flags = posixFlags(oflag);
    // A refused open must not empty a file that another holds: truncate only
    // once the lock is ours.
    if (denyWriters) flags &= ~O_TRUNC;
    // Created files get 0666 less the umask, as fopen's do.
    int fd;
    do {
        fd = ::open(utf8Name.c_str(), flags, 0666);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) return -1;
    if (denyWriters) {
        int r;
        do {
            r = ::flock(fd, (writes ? LOCK_EX : LOCK_SH) | LOCK_NB);
        } while (r == -1 && errno == EINTR);
        // A file system without locks keeps the open; one held by another is refused
        // with the error the Windows runtime gives for a sharing violation.
        const bool unsupported = r == -1 && (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS);
        if (r == -1 && !unsupported) {
            const int err = errno == EWOULDBLOCK ? EACCES : errno;
            ::close(fd);
            errno = err;
            return -1;
        }
        if ((oflag & kO_TRUNC) && ::ftruncate(fd, 0) == -1) {
            const int err = errno;
            ::close(fd);
            errno = err;
            return -1;
        }
    }
    if (oflag & kO_TEMPORARY) {
        std::lock_guard<std::mutex> g(gTempLock);
        gTempNames[fd] = utf8Name;
    }
    return fd;
}

int read(int fd, void* buffer, unsigned int count) {
    return static_cast<int>(::read(fd, buffer, count));
}

int write(int fd, const void* buffer, unsigned int count) {
    return static_cast<int>(::write(fd, buffer, count));
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

int chsize(int fd, std::int64_t size) {
    int r;
    do {
        r = ::ftruncate(fd, static_cast<off_t>(size));
    } while (r == -1 && errno == EINTR);
    return r;
}

int rename(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()); }

int remove(const std::string& name) { return ::unlink(name.c_str()); }

int syncDirectoryOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd;
    do {
        fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) return -1;
    int r;
    do {
        r = ::fsync(fd);
    } while (r == -1 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    errno = err;
    return r;
}

}  // namespace veld::crt::os
