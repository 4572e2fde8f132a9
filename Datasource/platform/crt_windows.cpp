// Windows side of the C runtime layer: the real CRT calls. The flag, share
// and permission values are already the runtime's own, so they pass through.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <string>

#include "crt.h"

namespace veld::crt::os {

namespace {

static_assert(kO_RDONLY == _O_RDONLY && kO_WRONLY == _O_WRONLY && kO_RDWR == _O_RDWR &&
              kO_APPEND == _O_APPEND && kO_RANDOM == _O_RANDOM &&
              kO_TEMPORARY == _O_TEMPORARY && kO_CREAT == _O_CREAT && kO_TRUNC == _O_TRUNC &&
              kO_SHORT_LIVED == _O_SHORT_LIVED && kO_TEXT == _O_TEXT && kO_BINARY == _O_BINARY);
static_assert(kSH_DENYWR == _SH_DENYWR && kSH_DENYNO == _SH_DENYNO && kS_IREAD == _S_IREAD && kS_IWRITE == _S_IWRITE);
static_assert(kSEEK_SET == SEEK_SET && kSEEK_CUR == SEEK_CUR && kSEEK_END == SEEK_END);

// Names are UTF-8 throughout the library; the wide open is the only one that
// reaches every file name, whatever the system's ANSI code page.
bool toWide(const std::string& utf8, std::wstring& wide) {
    if (utf8.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int length = static_cast<int>(utf8.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    wide.assign(static_cast<std::size_t>(needed), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(),
                               needed) == needed;
}

}  // namespace

int sopen(const std::string& utf8Name, int oflag, int shflag, int pmode) {
    std::wstring wide;
    if (utf8Name.empty() || !toWide(utf8Name, wide)) {
        errno = EINVAL;
        return -1;
    }
    int fd = -1;
    const errno_t err = _wsopen_s(&fd, wide.c_str(), oflag, shflag, pmode);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return fd;
}

int read(int fd, void* buffer, unsigned int count) { return ::_read(fd, buffer, count); }

int write(int fd, const void* buffer, unsigned int count) { return ::_write(fd, buffer, count); }

std::int64_t lseek(int fd, std::int64_t offset, int origin) {
    return ::_lseeki64(fd, offset, origin);
}

int close(int fd) { return ::_close(fd); }

int commit(int fd) { return ::_commit(fd); }

int chsize(int fd, std::int64_t size) {
    const errno_t err = ::_chsize_s(fd, size);
    if (err == 0) return 0;
    errno = err;
    return -1;
}

namespace {
int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        default: return EIO;
    }
}
}  // namespace

int rename(const std::string& from, const std::string& to) {
    std::wstring wideFrom, wideTo;
    if (!toWide(from, wideFrom) || !toWide(to, wideTo)) {
        errno = EINVAL;
        return -1;
    }
    // Write-through: the move is on the disk when the call returns.
    if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = errnoOf(GetLastError());
    return -1;
}

int remove(const std::string& name) {
    std::wstring wide;
    if (!toWide(name, wide)) {
        errno = EINVAL;
        return -1;
    }
    return ::_wunlink(wide.c_str());
}

int syncDirectoryOf(const std::string&) { return 0; }

}  // namespace veld::crt::os
