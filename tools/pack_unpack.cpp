// pack and unpack: the application's own way of writing and reading a
// compressed data file. The dictionary part always goes through the plain
// stream, the case data through the compressed one.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "SystemFileException.h"
#include "VELD_FileStream.h"
#include "blockEngine.h"
#include "check.h"
#include "cli_support.h"
#include "commands.h"
#include "layout_inspector.h"
#include "output_target.h"
#include "progress.h"
#include "stream_io.h"
#include "zcmpsFilestr.h"

namespace veldcli {

Transfer packFile(const PackOptions& o, Progress* progress, PendingOutput* pending) {
    if (o.row0 <= 0) throw CliError(kExitUsage, "", "--row0 must be 1 or more");
    if (!veld::setBlockLevel(o.level))
        throw CliError(kExitUsage, "", "--level " + std::to_string(o.level) + " is not one of 1 to " +
                                           std::to_string(veld::maxBlockLevel()) + " for this engine");
    InputStream in;
    openStream(in, o.input, "rb");
    const std::int64_t inSize = streamSize(in);
    if (o.row0 > inSize)
        throw CliError(kExitDamaged, o.input,
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

Transfer unpackInto(const std::string& input, ByteSink& out, std::int64_t row0, bool swap, int threads,
                    Progress* progress, int jobs, PendingOutput* pending) {
    Layout layout;
    {
        RawReader raw(input);
        layout = requireSoundLayout(raw, row0, swap);
    }
    VELD_FileStream in;
    openStream(in, input, "rb");
    PieceBuffer piece;
    for (std::uint64_t plain = 0; plain < static_cast<std::uint64_t>(row0);) {
        const std::uint64_t n = in.Read(piece.data(), std::min<std::uint64_t>(piece.size(), row0 - plain));
        if (n == 0)
            throw CliError(kExitDamaged, input,
                           "ended after " + std::to_string(plain) + " bytes, before the " + std::to_string(row0) +
                               " of the dictionary part");
        out.put(piece.data(), n);
        plain += n;
    }
    out.endOfPlainPart();

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
            out.put(piece.data(), n);
            done += n;
            if (progress) progress->advance(n);
            if (pending) pending->wrote(n);
        }
        z.Close();
    } catch (const veld::CheckFailure&) {
        rethrowNamingBlock(input, row0, swap);
    }
    out.finish();
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

Transfer unpackFile(const std::string& input, const std::string& output, std::int64_t row0, bool swap,
                    int threads, Progress* progress, int jobs, PendingOutput* pending) {
    // The input is judged before the output is created.
    {
        RawReader raw(input);
        requireSoundLayout(raw, row0, swap);
    }
    StreamSink out(output);
    return unpackInto(input, out, row0, swap, threads, progress, jobs, pending);
}

namespace {

// A descriptor written in order: standard output or a device.
class DescriptorSink final : public ByteSink {
public:
    explicit DescriptorSink(SysFile& out) : fOut(out) {}
    void put(const unsigned char* bytes, std::uint64_t n) override { fOut.write(bytes, n); }

private:
    SysFile& fOut;
};

// Packing a packed file again only wraps its blocks in more blocks: refused
// unless forced, when the input holds a sound compressed part at P.
void refuseIfPacked(const std::string& path, const std::string& name, std::int64_t row0) {
    RawReader raw(path);
    for (const bool swap : {false, true}) {
        if (row0 + 24 > raw.size()) return;
        if (inspectLayout(raw, row0, swap).sound())
            throw CliError(kExitDamaged, name,
                           "is already a compressed data file (its compressed part starts at " + std::to_string(row0) +
                               "); give -f/--force to pack it again");
    }
}

void printSummary(bool toStandardError, const char* format, ...) __attribute__((format(printf, 2, 3)));
void printSummary(bool toStandardError, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    // Standard output may be the output itself.
    std::vfprintf(toStandardError ? stderr : stdout, format, args);
    va_end(args);
}

}  // namespace

int runPack(const PackOptions& o) {
    const InputFile input(o.input);
    if (!o.force) refuseIfPacked(input.path(), input.name(), o.row0);
    OutputTarget target(o.output, {o.force, true, {o.input}});
    std::error_code ec;
    const auto inSize = std::filesystem::file_size(input.path(), ec);
    const std::uint64_t caseBytes =
        !ec && static_cast<std::int64_t>(inSize) > o.row0 ? inSize - static_cast<std::uint64_t>(o.row0) : 0;
    PackOptions into = o;
    into.input = input.path();
    into.output = target.path();
    Transfer t;
    try {
        Progress progress("pack", caseBytes, o.quiet);
        t = packFile(into, &progress, target.pending());
    } catch (const CliError& e) {
        // The spooled input's name means nothing to the user.
        if (input.standardInput() && e.subject() == input.path()) throw CliError(e.status(), input.name(), e.what());
        target.rethrowNamingOutput();
    } catch (...) {
        target.rethrowNamingOutput();
    }
    target.commit();
    if (!o.quiet) {
        const std::uint64_t compressed = static_cast<std::uint64_t>(t.fileSize - t.row0);
        printSummary(target.toStandardOutput(),
                     "%s: %s bytes in, %s bytes on disk (dictionary part %s bytes, case data %.2f times smaller)\n",
                    target.name().c_str(), groupDigits(t.caseBytes + static_cast<std::uint64_t>(t.row0)).c_str(),
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
    OutputTarget target(o.output, {o.force, false, {o.input}});
    Transfer t;
    try {
        Progress progress("unpack", caseBytes, o.quiet);
        if (target.streamed()) {
            DescriptorSink out(target.stream());
            t = unpackInto(o.input, out, row0, o.swap, o.threads, &progress, o.jobs);
        } else {
            StreamSink out(target.path());
            t = unpackInto(o.input, out, row0, o.swap, o.threads, &progress, o.jobs, target.pending());
        }
        target.commit();
    } catch (...) {
        target.rethrowNamingOutput();
    }
    if (!o.quiet)
        printSummary(target.toStandardOutput(), "%s: %s bytes (%s-byte dictionary part, %s bytes of case data)\n",
                     target.name().c_str(),
                    groupDigits(static_cast<std::uint64_t>(t.fileSize)).c_str(),
                    groupDigits(static_cast<std::uint64_t>(row0)).c_str(), groupDigits(t.caseBytes).c_str());
    return kExitOk;
}

}  // namespace veldcli
