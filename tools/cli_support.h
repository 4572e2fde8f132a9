// What every command shares: exit statuses, the one-line error report, the
// translation of the library's exceptions, and output files that appear
// under their final name only once they are complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

namespace veldcli {

enum ExitStatus : int {
    kExitOk = 0,
    kExitDamaged = 1,  // a file cannot be read or written as asked: damaged, refused, not a data file
    kExitUsage = 2,    // the command line itself is malformed: unknown command or option, bad value
};

// A failure a command reports itself: printed as "veld: SUBJECT: message".
class CliError : public std::runtime_error {
public:
    CliError(int status, std::string subject, const std::string& message)
        : std::runtime_error(message), fStatus(status), fSubject(std::move(subject)) {}
    int status() const { return fStatus; }
    const std::string& subject() const { return fSubject; }

private:
    int fStatus;
    std::string fSubject;
};

// Runs `body`; every exception the library or a command raises becomes one
// line on standard error and an exit status. `subject` names the file the
// command works on, used when the exception does not name one itself.
int runReported(const std::string& subject, const std::function<int()>& body);

// The text of the exception in flight, in the words of the error line: what
// happened first, the library's detail (check text, error code) after it.
// `subject`, when given, is the file the command works on: a failed reopen
// of it is explained by trying it again. Call only inside a catch block.
std::string describeCurrentException(const std::string& subject = "");

// The system's reason for errno `err`, starting in lower case ("permission
// denied"). A refused share of `path` (the file exists and may be opened as
// asked) reads "in use: another program has it open" (for writing, when
// `reading`).
std::string systemReason(int err, const std::string& path = "", bool reading = false);

// Writes "veld: SUBJECT: message" (or "veld: message" with no subject).
void reportError(const std::string& subject, const std::string& message);

// An output file written under a temporary name beside its final one and
// renamed into place by commit(), once everything (the file's close included)
// has succeeded: commit() first syncs the file to the disk (fsync; _commit on
// Windows), then renames it, then syncs the directory. Until then, a failure,
// an exception or an interrupt (Ctrl-C, SIGTERM) removes it, so no
// half-written file ever carries the final name.
class PendingOutput {
public:
    explicit PendingOutput(std::string finalPath);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const std::string& path() const { return fTempPath; }
    const std::string& finalPath() const { return fFinalPath; }
    // Call as the output grows: every kWritebackStep bytes, the disk starts
    // writing what the system holds of the file, without waiting, so that
    // commit()'s sync finds little left to do (Linux; elsewhere nothing).
    void wrote(std::uint64_t bytes);
    void commit();
    // Inside a catch block: raises the exception in flight again, naming the
    // final file where it named the temporary one.
    [[noreturn]] void rethrowNamingFinal() const;

    static constexpr std::uint64_t kWritebackStep = std::uint64_t{16} << 20;

private:
    void closeWriteback() noexcept;

    std::string fFinalPath;
    std::string fTempPath;
    bool fCommitted = false;
    std::uint64_t fSinceWriteback = 0;
    int fWritebackFd = -1;  // the temporary file, opened for starting its writeback
};

// While it lives, an interrupt (Ctrl-C, SIGTERM) removes `path` before the
// process ends: for a temporary file that the library itself writes.
class RemoveOnInterrupt {
public:
    explicit RemoveOnInterrupt(std::string path);
    ~RemoveOnInterrupt();
    RemoveOnInterrupt(const RemoveOnInterrupt&) = delete;
    RemoveOnInterrupt& operator=(const RemoveOnInterrupt&) = delete;

private:
    std::string fPath;
};

// Standard output in binary mode (no newline translation on Windows).
std::FILE* binaryStdout();

// True when standard error is a terminal (for the progress bar).
bool stderrIsTerminal();

// "12,345,678"
std::string groupDigits(std::uint64_t n);
// "41.9 MiB"
std::string humanBytes(double bytes);

}  // namespace veldcli
