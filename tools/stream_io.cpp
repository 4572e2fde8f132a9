#include "stream_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli_support.h"
#include "progress.h"
#include "remote_failure.h"

namespace veldcli {

void openStream(VELD_FileStream& stream, const std::string& path, const char* mode) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw CliError(kExitDamaged, path, "is a directory, not a file");
    errno = 0;
    if (!stream.Open(path.c_str(), mode)) {
        const int err = errno;
        const bool reading = mode[0] == 'r';
        // A remote file's refusal carries the server's reason.
        const std::string why = veld::remote::lastFailure(path);
        throw CliError(kExitDamaged, veld::remote::withoutCredentials(path),
                       std::string(reading ? "cannot open: " : "cannot create: ") + systemReason(err, path, reading) +
                           (why.empty() ? "" : " (" + why + ")"));
    }
}

std::int64_t streamSize(VELD_FileStream& stream) {
    errno = 0;
    stream.Seek(0, VELD_StrBaseIO::FromEnd);
    const std::int64_t size = stream.Tell();
    if (size < 0) {
        // The raw file answers -1 when the system cannot find the end.
        const int err = errno;
        throw CliError(kExitDamaged, stream.Name() ? stream.Name() : "",
                       std::string("cannot find its size: ") + systemReason(err));
    }
    stream.Seek(0, VELD_StrBaseIO::FromStart);
    return size;
}

void OutputStream::CloseFile() {
    Close();
    if (DataReady()) GetFile().Close();
}

void writeAll(VELD_FileStream& out, const void* bytes, std::uint64_t n, const std::string& outName) {
    if (out.Write(bytes, n) != n) throw CliError(kExitDamaged, outName, "cannot write: the stream took fewer bytes");
}

void copyStream(VELD_FileStream& in, VELD_FileStream& out, std::uint64_t n, PieceBuffer& piece,
                const std::string& inName, Progress* progress) {
    std::uint64_t done = 0;
    while (done < n) {
        const std::uint64_t got = in.Read(piece.data(), std::min(piece.size(), n - done));
        if (got == 0)
            throw CliError(kExitDamaged, inName,
                           "ended after " + std::to_string(in.Tell()) + " bytes, before the " +
                               std::to_string(n) + " expected");
        writeAll(out, piece.data(), got, out.Name() ? out.Name() : "");
        done += got;
        if (progress) progress->advance(got);
    }
}

}  // namespace veldcli

namespace veldcli {

StreamSink::StreamSink(const std::string& path) : fPath(path) { openStream(fOut, path, "wb"); }

void StreamSink::put(const unsigned char* bytes, std::uint64_t n) {
    writeAll(fOut, bytes, n, fPath);
    fAt += static_cast<std::int64_t>(n);
}

void StreamSink::endOfPlainPart() {
    // With the window written out and emptied, each whole piece after this
    // goes from the caller's bytes straight to the file.
    fOut.Flush();
    fOut.ClearAndReset();
    fOut.Seek(fAt, VELD_StrBaseIO::FromStart);
}

}  // namespace veldcli
