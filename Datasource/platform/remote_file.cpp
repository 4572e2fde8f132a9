#include "remote_file.h"

#include <cerrno>
#include <string>

#include "crt.h"
#include "remote_failure.h"

namespace veld::crt::remote {

bool isRemoteName(const std::string& name) {
    return name.rfind("http://", 0) == 0 || name.rfind("https://", 0) == 0 || name.rfind("s3://", 0) == 0;
}

bool couldWrite(int oflag) {
    return (oflag & (kO_WRONLY | kO_RDWR | kO_APPEND | kO_CREAT | kO_TRUNC)) != 0;
}

#ifndef VELD_HAVE_CURL

// Built without libcurl (always so on Windows): remote names are refused.
int open(const std::string& name, int oflag) {
    if (!isRemoteName(name)) return kNotServed;
    veld::remote::setFailure(name, couldWrite(oflag) ? "remote files are read-only"
                                                     : "this build of veld reads no remote files "
                                                       "(it was built without libcurl)");
    errno = couldWrite(oflag) ? EROFS : ENOSYS;
    return -1;
}
int read(int, void*, unsigned int) {
    errno = EBADF;
    return -1;
}
int write(int, const void*, unsigned int) {
    errno = EBADF;
    return -1;
}
std::int64_t lseek(int, std::int64_t, int) {
    errno = EBADF;
    return -1;
}
int close(int) {
    errno = EBADF;
    return -1;
}

#endif

}  // namespace veld::crt::remote
