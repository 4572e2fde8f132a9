#include "output_target.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "stream_io.h"

namespace veldcli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStandardOutputName = "standard output";

// Follows a chain of symbolic links to the name that is finally written; a
// link to nothing yet gives the name it points at.
fs::path followLinks(const fs::path& start) {
    fs::path p = start;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec))) return p;
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) return p;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    throw CliError(kExitDamaged, start.string(), "cannot write: too many levels of symbolic links");
}

bool isStreamType(fs::file_type t) {
    return t == fs::file_type::character || t == fs::file_type::fifo || t == fs::file_type::socket ||
           t == fs::file_type::block;
}

// Copies a finished temporary file to a streamed output.
void streamOut(const std::string& from, SysFile& to) {
    SysFile in(from, 'r');
    PieceBuffer piece;
    for (;;) {
        const std::uint64_t n = in.read(piece.data(), piece.size());
        if (n == 0) break;
        to.write(piece.data(), n);
    }
}

}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

std::string temporaryName(const char* purpose) {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    if (ec) dir = ".";
    const auto stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    return (dir / ("veld-" + std::string(purpose) + "-" + std::to_string(stamp) + "-" +
                   std::to_string(counter.fetch_add(1))))
        .string();
}

OutputTarget::OutputTarget(const std::string& path, const OutputRules& rules) : fName(path) {
    fStandardOutput = path == "-";
    if (fStandardOutput) fName = kStandardOutputName;
    // The output is never one of the inputs, whatever name either goes by.
    const std::string identity = fStandardOutput ? "/dev/stdout" : path;
    for (const std::string& input : rules.inputs)
        if (input != "-" && sameFile(identity, input))
            throw CliError(kExitDamaged, fName, "the output is the input " + input + "; give another output");

    bool streamedOut = fStandardOutput;
    fs::path target = path;
    if (!fStandardOutput) {
        // The kernel follows every link here, /dev/stdout's into /proc too.
        std::error_code ec;
        const fs::file_status st = fs::status(path, ec);
        if (st.type() == fs::file_type::directory)
            throw CliError(kExitDamaged, path, "is a directory; give a file name");
        streamedOut = isStreamType(st.type());
        if (st.type() == fs::file_type::regular && !rules.force)
            throw CliError(kExitDamaged, path, "already exists; give -f/--force to replace it");
        // A file is replaced where its links lead, and the links stay.
        if (!streamedOut) target = followLinks(path);
    }
    if (!streamedOut) {
        fPending = std::make_unique<PendingOutput>(target.string());
        return;
    }
    fWritePath = fStandardOutput ? "-" : path;
    if (rules.seekable) {
        // Written into a temporary file, streamed out once it is complete.
        fSpooled = true;
        fPending = std::make_unique<PendingOutput>(temporaryName("spool"));
    }
}

OutputTarget::~OutputTarget() = default;

const std::string& OutputTarget::path() const { return fPending ? fPending->path() : fWritePath; }

SysFile& OutputTarget::stream() {
    if (!fStream)
        fStream = std::make_unique<SysFile>(fStandardOutput ? SysFile::standardOutput() : SysFile(fWritePath, 'o'));
    return *fStream;
}

void OutputTarget::commit() {
    if (fSpooled) {
        try {
            streamOut(fPending->path(), stream());
        } catch (...) {
            rethrowNamingOutput();
        }
    } else if (fPending) {
        fPending->commit();
        return;
    }
    if (fStream) {
        if (fStandardOutput) std::fflush(stdout);
        fStream->close();
    }
}

void OutputTarget::rethrowNamingOutput() const {
    try {
        if (fPending) fPending->rethrowNamingFinal();
        throw;
    } catch (const CliError& e) {
        // Neither a temporary name nor a link's resolved target means anything
        // to the user: the error speaks of the output as it was named.
        if (fPending && (e.subject() == fPending->path() || e.subject() == fPending->finalPath()))
            throw CliError(e.status(), fName, e.what());
        throw;
    }
}

InputFile::InputFile(const std::string& name) : fName(name) {
    if (name != "-") return;
    fName = "standard input";
    fSpool = std::make_unique<PendingOutput>(temporaryName("input"));
    SysFile in = SysFile::standardInput();
    SysFile out(fSpool->path(), 'w');
    PieceBuffer piece;
    for (;;) {
        const std::uint64_t n = in.read(piece.data(), piece.size());
        if (n == 0) break;
        out.write(piece.data(), n);
    }
    out.close();
}

InputFile::~InputFile() = default;

const std::string& InputFile::path() const { return fSpool ? fSpool->path() : fName; }

}  // namespace veldcli
