// The reference side of the benchmark: the operating system's plain
// descriptor calls (open, read, write, lseek), with nothing in between.
#pragma once

#include <cstdint>
#include <string>

namespace veldcli {

class SysFile {
public:
    // mode "r" reads, "w" creates or truncates for writing. Raises CliError on failure.
    SysFile(const std::string& path, char mode);
    ~SysFile();
    SysFile(const SysFile&) = delete;
    SysFile& operator=(const SysFile&) = delete;

    // As per read(2)/write(2), looping over short counts; raise CliError on failure.
    std::uint64_t read(void* buf, std::uint64_t n);
    void write(const void* buf, std::uint64_t n);
    void seek(std::int64_t offset);

private:
    std::string fPath;
    int fFd;
};

}  // namespace veldcli
