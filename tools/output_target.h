// Where a command's output goes, decided once from what the named path is,
// so that an output never destroys what it was not asked to write:
// - a regular file (or a new name) is written under a temporary name beside
//   it, synced and renamed into place (PendingOutput); one that exists is
//   replaced only when forced;
// - a symbolic link is followed: its target is the file written and replaced;
// - a character device, FIFO or socket, and "-" (standard output), are written
//   straight through, in order, with no rename and no sync; a writer that must
//   go back (pack, recover) writes a temporary file that commit() then streams
//   out;
// - the output may not be any of the command's inputs (same device and inode,
//   after links).
// One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli_support.h"
#include "sys_file.h"

namespace veldcli {

struct OutputRules {
    bool force = false;      // an existing regular file may be replaced
    bool seekable = false;   // the writer goes back: a stream output is spooled
    std::vector<std::string> inputs;  // files the output must not be
};

class OutputTarget {
public:
    // Raises CliError when the output may not be written as asked.
    OutputTarget(const std::string& path, const OutputRules& rules);
    ~OutputTarget();
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    // The name the user gave ("standard output" for "-"), for messages.
    const std::string& name() const { return fName; }
    // True when the writer writes to stream() in order; else it writes the
    // file at path() and may seek.
    bool streamed() const { return !fPending; }
    const std::string& path() const;
    // The descriptor a streamed output is written through (opened on first use).
    SysFile& stream();
    // The temporary file behind a regular or spooled output, told as it grows.
    PendingOutput* pending() { return fPending.get(); }
    // True when the bytes end up on standard output (the summary then goes to
    // standard error).
    bool toStandardOutput() const { return fStandardOutput; }

    // Puts the output in place: renames the temporary file, or streams the
    // spooled one out; a streamed output is closed, reporting a failed close.
    void commit();
    // Inside a catch block: raises the exception in flight again, naming the
    // output as the user named it.
    [[noreturn]] void rethrowNamingOutput() const;

private:
    std::string fName;
    std::string fWritePath;  // device path or "-" for a streamed output
    bool fStandardOutput = false;
    bool fSpooled = false;
    std::unique_ptr<PendingOutput> fPending;
    std::unique_ptr<SysFile> fStream;
};

// An input named "-" is standard input, copied into a temporary file first
// (pack and append read their input more than once and need its size); any
// other name is used as it is.
class InputFile {
public:
    explicit InputFile(const std::string& name);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    const std::string& path() const;  // the file to open
    const std::string& name() const { return fName; }  // for messages
    bool standardInput() const { return static_cast<bool>(fSpool); }

private:
    std::string fName;
    std::unique_ptr<PendingOutput> fSpool;
};

// A fresh temporary file name in the system's temporary directory.
std::string temporaryName(const char* purpose);

// True when both names reach the same file (device and inode), after links.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace veldcli
