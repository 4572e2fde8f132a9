// Files held in memory, served by the C runtime layer to the opens of their
// names: for programs that open, read and close small files by the thousand
// (fuzz targets) and would otherwise spend their time in the kernel. While a
// MemoryFiles object lives, an open of a name it holds gets a descriptor of
// its own, and reads, writes, seeks, syncs and closes on it never reach the
// operating system. Other names are opened as always. One object at a time.
// Thread contract: safe for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veld::crt {

class MemoryFiles {
public:
    MemoryFiles();
    ~MemoryFiles();
    MemoryFiles(const MemoryFiles&) = delete;
    MemoryFiles& operator=(const MemoryFiles&) = delete;

    // The file `name` now holds these bytes (its storage is reused).
    void set(const std::string& name, const void* data, std::size_t size);
    // Every read that touches a byte in [from, to) fails with err, as a bad
    // region of a disk would; an empty range removes the failure.
    void failReads(std::int64_t from, std::int64_t to, int err);
    std::vector<unsigned char> bytes(const std::string& name) const;
};

namespace memory {
// Descriptors of memory files lie above every real one.
constexpr int kFirstDescriptor = 1 << 28;
inline bool owns(int fd) { return fd >= kFirstDescriptor; }
// A descriptor, or -1 with errno; kNotServed when no MemoryFiles holds the name.
constexpr int kNotServed = -2;
int open(const std::string& name, int oflag);
// As per read(2), write(2), lseek(2), close(2) and fsync(2).
int read(int fd, void* buffer, unsigned int count);
int write(int fd, const void* buffer, unsigned int count);
std::int64_t lseek(int fd, std::int64_t offset, int origin);
int close(int fd);
int commit(int fd);
}  // namespace memory

}  // namespace veld::crt
