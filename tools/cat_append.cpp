// cat and append: random access into a compressed data file, and growing
// its case data in place.
#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "VELD_FileStream.h"
#include "check.h"
#include "cli_support.h"
#include "commands.h"
#include "blockEngine.h"
#include "interrupt.h"
#include "layout_inspector.h"
#include "output_target.h"
#include "stream_io.h"
#include "zcmpsFilestr.h"

namespace veldcli {

namespace {

void emit(std::FILE* out, const unsigned char* bytes, std::uint64_t n) {
    if (n && std::fwrite(bytes, 1, n, out) != n) {
        const int err = errno;
        throw CliError(kExitDamaged, "standard output", "cannot write: " + systemReason(err));
    }
}

}  // namespace

int runCat(const CatOptions& o) {
    // Standard output redirected onto the file itself would grow it as it is read.
    if (sameFile("/dev/stdout", o.file))
        throw CliError(kExitDamaged, o.file, "standard output is this file itself; give another output");
    std::int64_t row0;
    Layout layout;
    {
        RawReader raw(o.file);
        row0 = resolveRow0(raw, o.row0, o.swap);
        layout = requireSoundLayout(raw, row0, o.swap);
    }
    const std::int64_t end = layout.dataEnd;
    if (o.offset < 0) throw CliError(kExitUsage, "", "--offset must be 0 or more");
    if (o.length && *o.length < 0) throw CliError(kExitUsage, "", "--length must be 0 or more");
    if (o.offset > end)
        throw CliError(kExitDamaged, o.file,
                       "--offset " + std::to_string(o.offset) + " lies beyond the end of the data: give 0 to " +
                           std::to_string(end));
    std::int64_t left = end - o.offset;
    if (o.length) left = std::min(left, *o.length);

    std::FILE* out = binaryStdout();
    PieceBuffer piece;
    VELD_FileStream in;
    openStream(in, o.file, "rb");
    std::int64_t at = o.offset;
    // The dictionary part is plain bytes, read through the plain stream.
    if (at < row0 && left > 0) {
        in.Seek(at, VELD_StrBaseIO::FromStart);
        std::int64_t plain = std::min(left, row0 - at);
        while (plain > 0) {
            const std::uint64_t n = in.Read(piece.data(), std::min<std::uint64_t>(piece.size(), plain));
            if (n == 0) throw CliError(kExitDamaged, o.file, "the dictionary part ends early");
            emit(out, piece.data(), n);
            plain -= static_cast<std::int64_t>(n);
            left -= static_cast<std::int64_t>(n);
            at += static_cast<std::int64_t>(n);
        }
    }
    if (left > 0) {
        // Only the blocks that hold [at, at + left) are read and inflated.
        zcmpsFilestr z(in);
        if (o.threads >= 2)
            z.setMultiThread(o.threads);
        else if (o.jobs >= 1)
            z.setWorkers(o.jobs);
        z.readFilePosInfo(row0, o.swap);
        z.Seek(at, VELD_StrBaseIO::FromStart);
        try {
            while (left > 0) {
                const std::uint64_t n = z.Read(piece.data(), std::min<std::uint64_t>(piece.size(), left));
                if (n == 0)
                    throw CliError(kExitDamaged, o.file,
                                   "the case data ends at " + std::to_string(at) + ", before the table's end " +
                                       std::to_string(end));
                emit(out, piece.data(), n);
                left -= static_cast<std::int64_t>(n);
                at += static_cast<std::int64_t>(n);
            }
            z.Close();
        } catch (const veld::CheckFailure&) {
            std::fflush(out);
            rethrowNamingBlock(o.file, row0, o.swap);
        }
    }
    if (std::fflush(out) != 0) {
        const int err = errno;
        throw CliError(kExitDamaged, "standard output", "cannot write: " + systemReason(err));
    }
    return kExitOk;
}

Transfer appendFile(const std::string& file, const std::string& input, std::int64_t row0, bool swap,
                    bool inPlace, int jobs, int level) {
    if (!veld::setBlockLevel(level))
        throw CliError(kExitUsage, "", "--level " + std::to_string(level) + " is out of range: give 1 to " +
                                           std::to_string(veld::maxBlockLevel()));
    Layout layout;
    {
        RawReader raw(file);
        layout = requireSoundLayout(raw, row0, swap);
    }
    if (sameFile(file, input)) throw CliError(kExitDamaged, input, "is the file appended to; give another input");
    // The input is opened first: a missing input must not touch the data file.
    VELD_FileStream src;
    openStream(src, input, "rb");
    const std::int64_t inSize = streamSize(src);

    // In place, the target is damaged from its first changed byte until Close:
    // the input is read whole before that, so that an input that fails to
    // read leaves the target unchanged.
    std::vector<unsigned char> held;
    std::uint64_t done = 0;
    try {
        if (inPlace) {
            held.resize(static_cast<std::size_t>(inSize));
            while (done < held.size()) {
                const std::uint64_t n = src.Read(held.data() + done, held.size() - done);
                if (n == 0) throw CliError(kExitDamaged, input, "ended early");
                done += n;
            }
            done = 0;
        }
    } catch (...) {
        throw CliError(kExitDamaged, file,
                       "append failed before the file was changed, the file is unchanged: reading " + input + ": " +
                           describeCurrentException());
    }

    VELD_FileStream in;
    openStream(in, file, "rb");
    zcmpsFilestr z(in);
    z.readFilePosInfo(row0, swap);
    // Set after reading: the workers only compress the new blocks.
    if (jobs >= 1) z.setWorkers(jobs);
    const std::int64_t end = layout.dataEnd;
    z.Seek(end, VELD_StrBaseIO::FromStart);
    std::error_code oldSizeError;
    const auto oldSize = std::filesystem::file_size(file, oldSizeError);
    PieceBuffer piece;
    bool closing = false;  // the safe append changes what the heading reaches only in Close
    // An interrupt ends a safe append through the failure path below, which
    // cuts the file back; once Close has begun, the append finishes. An
    // append in place is let finish: abandoning it would leave it damaged.
    const Interruptible interruptible;
    auto stopIfInterrupted = [] {
        if (const int sig = Interruptible::received())
            throw CliError(128 + sig, "", sig == SIGINT ? "interrupted" : "terminated");
    };
    try {
        if (inPlace)
            z.setFileToAppend(end, swap);
        else
            z.setFileToAppendSafely(end, swap);
        if (inPlace) {
            z.Write(held.data(), held.size());
            done = held.size();
        }
        while (done < static_cast<std::uint64_t>(inSize)) {
            stopIfInterrupted();
            const std::uint64_t n =
                src.Read(piece.data(), std::min<std::uint64_t>(piece.size(), inSize - done));
            if (n == 0) throw CliError(kExitDamaged, input, "ended early");
            z.Write(piece.data(), n);
            done += n;
        }
        if (!inPlace) stopIfInterrupted();
        closing = true;
        z.Close();
    } catch (...) {
        const std::string cause = describeCurrentException(file);
        // Nothing more may reach the file: no later Close writes a table.
        z.Abandon();
        std::string outcome;
        if (inPlace) {
            outcome = "the file may now be damaged (veld recover rebuilds its table)";
        } else {
            // A failure after the new heading was written leaves the new bytes in.
            std::int64_t nowEnd = -1;
            if (closing) {
                try {
                    RawReader raw(file);
                    const Layout now = inspectLayout(raw, row0, swap);
                    if (now.sound()) nowEnd = now.dataEnd;
                } catch (...) {
                }
            }
            // Abandoning cut the file back, unless the disk refused that too.
            std::error_code sizeError;
            const bool sameSize = std::filesystem::file_size(file, sizeError) == oldSize && !sizeError;
            if (!closing || nowEnd == end)
                outcome = sameSize ? "the file is unchanged"
                                   : "the file reads as before, with the new bytes left after its table";
            else if (nowEnd == end + static_cast<std::int64_t>(done))
                outcome = "the new bytes were kept all the same";
            else
                outcome = "the file may now be damaged";
        }
        int status = kExitDamaged;
        try {
            throw;
        } catch (const CliError& e) {
            if (e.status() > 128) status = e.status();  // interrupted: the shell's status for the signal
        } catch (...) {
        }
        throw CliError(status, file,
                       "append failed after " + std::to_string(done) + " bytes, " + outcome + ": " + cause);
    }
    Transfer t;
    t.row0 = row0;
    t.caseBytes = done;
    std::error_code ec;
    t.fileSize = static_cast<std::int64_t>(std::filesystem::file_size(file, ec));
    return t;
}

int runAppend(const AppendOptions& o) {
    std::int64_t row0;
    {
        RawReader raw(o.file);
        row0 = resolveRow0(raw, o.row0, o.swap);
    }
    const InputFile input(o.input);
    Transfer t;
    try {
        t = appendFile(o.file, input.path(), row0, o.swap, o.inPlace, o.jobs, o.level);
    } catch (const CliError& e) {
        // The copy of standard input means nothing to the user.
        if (input.standardInput() && e.subject() == input.path()) throw CliError(e.status(), input.name(), e.what());
        throw;
    }
    if (!o.quiet)
        std::printf("%s: appended %s bytes of case data; %s bytes on disk\n", o.file.c_str(),
                groupDigits(t.caseBytes).c_str(), groupDigits(static_cast<std::uint64_t>(t.fileSize)).c_str());
    return kExitOk;
}

}  // namespace veldcli
