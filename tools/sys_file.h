// The operating system's plain descriptor calls (open, read, write, lseek),
// with nothing in between: the reference side of the benchmark, and the way
// to standard input and output and to devices, which are only ever read or
// written in order.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace veldcli {

class SysFile {
public:
    // mode "r" reads, "w" creates or truncates for writing, "o" opens what is
    // there for writing without creating or truncating it (a device, a FIFO).
    // Raises CliError on failure.
    SysFile(const std::string& path, char mode);
    // Standard input or output, named so in messages and never closed here.
    static SysFile standardInput();
    static SysFile standardOutput();
    ~SysFile();
    SysFile(SysFile&& other) noexcept;
    SysFile(const SysFile&) = delete;
    SysFile& operator=(const SysFile&) = delete;

    // As per read(2)/write(2), looping over short counts; raise CliError on failure.
    std::uint64_t read(void* buf, std::uint64_t n);
    void write(const void* buf, std::uint64_t n);
    void seek(std::int64_t offset);
    // Closes an owned descriptor now, so that a failed close(2) is reported.
    void close();
    const std::string& name() const { return fPath; }

private:
    SysFile(int fd, std::string name) : fPath(std::move(name)), fFd(fd), fOwned(false) {}
    std::string fPath;
    int fFd;
    bool fOwned = true;
};

}  // namespace veldcli
