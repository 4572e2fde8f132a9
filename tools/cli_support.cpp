#include "cli_support.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ExtNameStr.h"
#include "SystemFileException.h"
#include "VELD_File.h"
#include "ThrowError.h"
#include "check.h"
#include "file_ops.h"
#include "remote_failure.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace veldcli {

void reportError(const std::string& subject, const std::string& message) {
    std::string line = "veld: ";
    if (!subject.empty()) line += veld::remote::withoutCredentials(subject) + ": ";
    line += message;
    // One line, whatever the message held.
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::string systemReason(int err, const std::string& path, bool reading) {
    if (err == 0) return "refused";
    if (err == EACCES && !path.empty()) {
        // The share mode refuses with the same error as the permissions do:
        // a file the permissions let us open as asked is held by another.
        std::error_code ec;
        const bool exists = std::filesystem::is_regular_file(path, ec);
#ifdef _WIN32
        const bool allowed = _access(path.c_str(), reading ? 4 : 6) == 0;
#else
        const bool allowed = ::access(path.c_str(), reading ? R_OK : R_OK | W_OK) == 0;
#endif
        if (exists && allowed)
            return std::string("in use: another program has it open") + (reading ? " for writing" : "");
    }
    std::string text = std::strerror(err);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && (text.size() < 2 || !(text[1] >= 'A' && text[1] <= 'Z')))
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

namespace {

// Tries the reopen the compressed stream failed, to learn the system's reason.
std::string whyNoReopen(const std::string& path) {
    VELD_File probe;
    ExtNameStr name;
    name.SetGeneric(path);
    errno = 0;
    if (probe.Open(name, "r+b")) {
        probe.Close();
        return "";
    }
    return systemReason(errno, path, false);
}

}  // namespace

std::string describeCurrentException(const std::string& subject) {
    try {
        throw;
    } catch (const veld::CheckFailure& e) {
        std::string text = "check failed: " + e.expression();
        if (!e.detail().empty()) text += " (" + e.detail() + ")";
        return text;
    } catch (const veld::DataSourceError& e) {
        const bool reading = e.code() == veld::errcode::kCannotRead;
        const std::string what = std::string(reading ? "cannot read: " : "cannot write: ") +
                                 systemReason(e.sysErrno(), e.fileName(), reading);
        std::string codes = e.msgFile() + " error " + std::to_string(e.code());
        if (e.sysErrno() != 0) codes += ", errno " + std::to_string(e.sysErrno());
        // A detail (a server's answer, the rule a request broke) says more than errno does.
        if (!e.detail().empty()) return e.detail() + " (" + what + "; " + codes + ")";
        return what + " (" + codes + ")";
    } catch (const SystemFileException& e) {
        const std::string why = subject.empty() ? "" : whyNoReopen(subject);
        return "cannot open for writing" + (why.empty() ? std::string() : ": " + why) + " (the stream's reopen " +
               e.fExpression + " failed: error " + std::to_string(e.fErrorNumber) + ", line " +
               std::to_string(e.fLine) + ")";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

int runReported(const std::string& subject, const std::function<int()>& body) {
    try {
        return body();
    } catch (const CliError& e) {
        reportError(e.subject().empty() ? subject : e.subject(), e.what());
        return e.status();
    } catch (const veld::DataSourceError& e) {
        // The raw file names the file it failed on; it may be another than `subject`.
        reportError(e.fileName().empty() ? subject : e.fileName(), describeCurrentException());
        return kExitDamaged;
    } catch (...) {
        reportError(subject, describeCurrentException(subject));
        return kExitDamaged;
    }
}

// Temporary outputs still to be removed if the process is interrupted. Fixed
// storage, because the signal handler may not allocate.
namespace {

constexpr int kSlots = 4;
constexpr std::size_t kPathMax = 4096;
char gPendingPaths[kSlots][kPathMax];
std::atomic<bool> gPendingUsed[kSlots];
std::atomic<bool> gHandlersInstalled{false};

extern "C" void removePendingAndExit(int sig) {
    for (int i = 0; i < kSlots; ++i)
        if (gPendingUsed[i].load()) std::remove(gPendingPaths[i]);
    std::_Exit(128 + sig);
}

int claimSlot(const std::string& path) {
    if (path.size() >= kPathMax) return -1;
    for (int i = 0; i < kSlots; ++i) {
        if (!gPendingUsed[i].load()) {
            std::memcpy(gPendingPaths[i], path.c_str(), path.size() + 1);
            gPendingUsed[i].store(true);
            return i;
        }
    }
    return -1;
}

void releaseSlot(const std::string& path) {
    for (int i = 0; i < kSlots; ++i)
        if (gPendingUsed[i].load() && path == gPendingPaths[i]) gPendingUsed[i].store(false);
}

void installInterruptHandlers() {
    if (!gHandlersInstalled.exchange(true)) {
        std::signal(SIGINT, removePendingAndExit);
        std::signal(SIGTERM, removePendingAndExit);
#ifdef SIGPIPE
        // A reader of standard output that goes away ends the program as
        // usual, but not before a spooled output is removed.
        std::signal(SIGPIPE, removePendingAndExit);
#endif
    }
}

}  // namespace

PendingOutput::PendingOutput(std::string finalPath) : fFinalPath(std::move(finalPath)) {
    namespace fs = std::filesystem;
    const fs::path target(fFinalPath);
    fs::path temp = target;
    temp += ".veld-partial";
    fTempPath = temp.string();
    installInterruptHandlers();
    claimSlot(fTempPath);
}

RemoveOnInterrupt::RemoveOnInterrupt(std::string path) : fPath(std::move(path)) {
    installInterruptHandlers();
    claimSlot(fPath);
}

RemoveOnInterrupt::~RemoveOnInterrupt() { releaseSlot(fPath); }

PendingOutput::~PendingOutput() {
    closeWriteback();
    if (!fCommitted) veld::fileops::removeFile(fTempPath);
    releaseSlot(fTempPath);
}

void PendingOutput::wrote(std::uint64_t bytes) {
    fSinceWriteback += bytes;
    if (fSinceWriteback < kWritebackStep) return;
    fSinceWriteback = 0;
#ifdef __linux__
    if (fWritebackFd < 0) fWritebackFd = ::open(fTempPath.c_str(), O_RDONLY | O_CLOEXEC);
    // Only a head start: a failure here shows again, and is reported, at commit's sync.
    if (fWritebackFd >= 0) ::sync_file_range(fWritebackFd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

void PendingOutput::closeWriteback() noexcept {
#ifndef _WIN32
    if (fWritebackFd >= 0) ::close(fWritebackFd);
#endif
    fWritebackFd = -1;
}

void PendingOutput::commit() {
    closeWriteback();
    // The bytes reach the disk before the name does, so a crash after the
    // rename cannot leave the name on data that never got there.
    if (const int err = veld::fileops::syncFile(fTempPath))
        throw CliError(kExitDamaged, fFinalPath, "cannot save: " + systemReason(err));
    if (const int err = veld::fileops::renameFile(fTempPath, fFinalPath))
        throw CliError(kExitDamaged, fFinalPath, "cannot put the output in place: " + systemReason(err));
    fCommitted = true;
    // The rename itself, on the disk: best effort, since the file is complete
    // and in place by then.
    veld::fileops::syncDirectoryOf(fFinalPath);
}

void PendingOutput::rethrowNamingFinal() const {
    try {
        throw;
    } catch (const CliError& e) {
        if (e.subject() == fTempPath) throw CliError(e.status(), fFinalPath, e.what());
        throw;
    } catch (const veld::DataSourceError& e) {
        if (e.fileName() != fTempPath) throw;
        // The temporary name means nothing to the user: the error speaks of the output.
        std::string text = describeCurrentException();
        for (std::size_t at = text.find(fTempPath); at != std::string::npos;
             at = text.find(fTempPath, at + fFinalPath.size()))
            text.replace(at, fTempPath.size(), fFinalPath);
        throw CliError(kExitDamaged, fFinalPath, text);
    }
}

std::FILE* binaryStdout() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return stdout;
}

bool stderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

std::string groupDigits(std::uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
    return buf;
}

}  // namespace veldcli
