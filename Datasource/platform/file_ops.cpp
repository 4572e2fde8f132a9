#include "file_ops.h"

#include <cerrno>

#include "crt.h"

namespace veld::fileops {

namespace {
int errnoOf(int r) { return r == 0 ? 0 : (errno != 0 ? errno : EIO); }
}  // namespace

int syncFile(const std::string& path) {
    // Read-write: Windows flushes only a handle that may write.
    const int fd = crt::sopen(path, crt::kO_RDWR | crt::kO_BINARY, crt::kSH_DENYNO, 0);
    if (fd < 0) return errnoOf(-1);
    const int synced = crt::_commit(fd);
    const int err = errnoOf(synced);
    const int closed = crt::_close(fd);
    if (synced != 0) return err;
    return errnoOf(closed);
}

int renameFile(const std::string& from, const std::string& to) { return errnoOf(crt::renameFile(from, to)); }

int removeFile(const std::string& path) { return errnoOf(crt::removeFile(path)); }

int syncDirectoryOf(const std::string& path) { return errnoOf(crt::syncDirectoryOf(path)); }

}  // namespace veld::fileops
