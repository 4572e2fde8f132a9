// Files on web servers and in object storage, read through the C runtime
// layer as descriptors of their own: an open of an http://, https:// or
// s3:// name (signed with AWS signature version 4 from the environment's
// credentials) probes the server with a two-byte range request (size,
// validator, range support), and each read at
// an offset is one range request of exactly the bytes asked for. Read-only.
// One connection per descriptor; the raw file's mutex serialises its calls.
// Thread contract: safe for concurrent use (distinct descriptors in parallel).
#pragma once

#include <cstdint>
#include <string>

namespace veld::crt::remote {

// Below the descriptors of memory files, above every real one.
constexpr int kFirstDescriptor = 1 << 27;
constexpr int kPastLastDescriptor = 1 << 28;
inline bool owns(int fd) { return fd >= kFirstDescriptor && fd < kPastLastDescriptor; }
// open's answer for a name that is not a remote one.
constexpr int kNotServed = -2;

// True when open flags (Microsoft values) allow any change to the file.
bool couldWrite(int oflag);
// True for names beginning with http://, https:// or s3://.
bool isRemoteName(const std::string& name);
// A descriptor, or -1 with errno (ENOENT for 404, EACCES for 401/403, EROFS
// for any mode that could write, EIO for other refusals); kNotServed when the
// name is not remote.
int open(const std::string& name, int oflag);
// As per read(2); a refused read is -1 with errno EIO (or ESTALE when the
// file changed since it was opened), its reason kept for the error message.
int read(int fd, void* buffer, unsigned int count);
// As per write(2) on a read-only descriptor: -1 with EBADF.
int write(int fd, const void* buffer, unsigned int count);
// As per lseek(2); SEEK_END counts from the size the server reported.
std::int64_t lseek(int fd, std::int64_t offset, int origin);
// As per close(2).
int close(int fd);

}  // namespace veld::crt::remote
