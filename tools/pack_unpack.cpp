// pack and unpack: the application's own way of writing and reading a
// compressed data file. The dictionary part always goes through the plain
// stream, the case data through the compressed one.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "SystemFileException.h"
#include "VELD_FileStream.h"
#include "check.h"
#include "cli_support.h"
#include "commands.h"
#include "layout_inspector.h"
#include "progress.h"
#include "stream_io.h"
#include "zcmpsFilestr.h"

namespace veldcli {

Transfer packFile(const PackOptions& o, Progress* progress, PendingOutput* pending) {
    if (o.row0 <= 0) throw CliError(kExitUsage, "", "--row0 must be greater than 0");
    InputStream in;
    openStream(in, o.input, "rb");
    const std::int64_t inSize = streamSize(in);
    if (o.row0 > inSize)
        throw CliError(kExitUsage, o.input,
                       "--row0 " + std::to_string(o.row0) + " lies beyond the end of the input (" +
                           std::to_string(inSize) + " bytes)");

    VELD_FileStream out;
    openStream(out, o.output, "wb");
    try {
        PieceBuffer piece;
        copyStream(in, out, static_cast<std::uint64_t>(o.row0), piece, o.input, nullptr);

        // The compressed stream takes over the file: it shares the raw file and
        // closes the plain stream, which writes out the end of the dictionary part.
        zcmpsFilestr z(out);
        try {
            if (o.threads == 1)
                z.setMultiThread(1);
            else if (o.jobs >= 1)
                z.setWorkers(o.jobs);
            z.setRow0Pos(o.row0);
            z.Seek(o.row0, VELD_StrBaseIO::FromStart);
            const std::uint64_t caseBytes = static_cast<std::uint64_t>(inSize - o.row0);
            std::uint64_t done = 0, sinceFlush = 0;
            while (done < caseBytes) {
                std::uint64_t want = std::min<std::uint64_t>(piece.size(), caseBytes - done);
                if (o.flushEvery) want = std::min(want, o.flushEvery - sinceFlush);
                const std::uint64_t n = in.readAt(piece.data(), want, o.row0 + static_cast<std::int64_t>(done));
                if (n == 0)
                    throw CliError(kExitDamaged, o.input,
                                   "the input ended at " + std::to_string(o.row0 + static_cast<std::int64_t>(done)) +
                                       ", before its size of " + std::to_string(inSize));
                z.Write(piece.data(), n);
                done += n;
                sinceFlush += n;
                if (o.flushEvery && sinceFlush == o.flushEvery) {
                    z.Flush();
                    sinceFlush = 0;
                }
                if (progress) progress->advance(n);
                if (pending) pending->wrote(n);
            }
            // Writes the last block, the table and the heading, and closes the file.
            z.Close();
        } catch (...) {
            // A pack that fails commits nothing: no table or heading after the error.
            z.Abandon();
            throw;
        }
    } catch (const veld::CheckFailure&) {
        // The compressed stream's checks are about the file it writes.
        throw CliError(kExitDamaged, o.output, describeCurrentException());
    } catch (const SystemFileException&) {
        throw CliError(kExitDamaged, o.output, describeCurrentException());
    }

    const std::uint64_t caseBytes = static_cast<std::uint64_t>(inSize - o.row0);
    Transfer t;
    t.row0 = o.row0;
    t.caseBytes = caseBytes;
    std::error_code ec;
    t.fileSize = static_cast<std::int64_t>(std::filesystem::file_size(o.output, ec));
    return t;
}

Transfer unpackFile(const std::string& input, const std::string& output, std::int64_t row0, bool swap,
                    int threads, Progress* progress, int jobs, PendingOutput* pending) {
    Layout layout;
    {
        RawReader raw(input);
        layout = requireSoundLayout(raw, row0, swap);
    }
    VELD_FileStream in;
    openStream(in, input, "rb");
    OutputStream out;
    openStream(out, output, "wb");
    PieceBuffer piece;
    copyStream(in, out, static_cast<std::uint64_t>(row0), piece, input, nullptr);
    // With the dictionary part written out and the window emptied, each whole
    // block below goes from the piece straight to the file, not through the window.
    out.Flush();
    out.ClearAndReset();
    out.Seek(row0, VELD_StrBaseIO::FromStart);

    zcmpsFilestr z(in);
    if (threads >= 2)
        z.setMultiThread(threads);
    else if (jobs >= 1)
        z.setWorkers(jobs);
    z.readFilePosInfo(row0, swap);
    z.Seek(row0, VELD_StrBaseIO::FromStart);
    std::uint64_t done = 0;
    try {
        for (;;) {
            const std::uint64_t n = z.Read(piece.data(), piece.size());
            if (n == 0) break;
            writeAll(out, piece.data(), n, output);
            done += n;
            if (progress) progress->advance(n);
            if (pending) pending->wrote(n);
        }
        z.Close();
    } catch (const veld::CheckFailure&) {
        rethrowNamingBlock(input, row0, swap);
    }
    out.CloseFile();
    if (done != layout.caseBytes)
        throw CliError(kExitDamaged, input,
                       "the case data ended after " + std::to_string(done) + " bytes; the table records " +
                           std::to_string(layout.caseBytes));
    Transfer t;
    t.row0 = row0;
    t.caseBytes = done;
    t.fileSize = row0 + static_cast<std::int64_t>(done);
    return t;
}

int runPack(const PackOptions& o) {
    std::error_code ec;
    const auto inSize = std::filesystem::file_size(o.input, ec);
    const std::uint64_t caseBytes =
        !ec && static_cast<std::int64_t>(inSize) > o.row0 ? inSize - static_cast<std::uint64_t>(o.row0) : 0;
    PendingOutput pending(o.output);
    PackOptions into = o;
    into.output = pending.path();
    Transfer t;
    try {
        Progress progress("pack", caseBytes, o.quiet);
        t = packFile(into, &progress, &pending);
    } catch (...) {
        pending.rethrowNamingFinal();
    }
    pending.commit();
    if (!o.quiet) {
        const std::uint64_t compressed = static_cast<std::uint64_t>(t.fileSize - t.row0);
        std::printf("%s: %s bytes in, %s bytes on disk (dictionary part %s bytes, case data %.2f times smaller)\n",
                    o.output.c_str(), groupDigits(t.caseBytes + static_cast<std::uint64_t>(t.row0)).c_str(),
                    groupDigits(static_cast<std::uint64_t>(t.fileSize)).c_str(),
                    groupDigits(static_cast<std::uint64_t>(t.row0)).c_str(),
                    compressed ? static_cast<double>(t.caseBytes) / compressed : 0.0);
    }
    return kExitOk;
}

int runUnpack(const UnpackOptions& o) {
    std::int64_t row0;
    std::uint64_t caseBytes;
    {
        RawReader raw(o.input);
        row0 = resolveRow0(raw, o.row0, o.swap);
        caseBytes = requireSoundLayout(raw, row0, o.swap).caseBytes;
    }
    PendingOutput pending(o.output);
    Transfer t;
    try {
        Progress progress("unpack", caseBytes, o.quiet);
        t = unpackFile(o.input, pending.path(), row0, o.swap, o.threads, &progress, o.jobs, &pending);
    } catch (...) {
        pending.rethrowNamingFinal();
    }
    pending.commit();
    if (!o.quiet)
        std::printf("%s: %s bytes (%s-byte dictionary part, %s bytes of case data)\n", o.output.c_str(),
                    groupDigits(static_cast<std::uint64_t>(t.fileSize)).c_str(),
                    groupDigits(static_cast<std::uint64_t>(row0)).c_str(), groupDigits(t.caseBytes).c_str());
    return kExitOk;
}

}  // namespace veldcli
