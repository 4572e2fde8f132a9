// A new compressed data file from pieces of another, written beside its final
// name and put in place only once it is on the disk.
#include "zcmpsRebuild.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>

#include "ThrowError.h"
#include "crt.h"
#include "large_memory.h"

namespace veld::inspect::detail {

using layout::kBlockSize;
using layout::kHeadingSize;
using layout::kMaxPayloadSize;
using layout::kRecordSize;

namespace {

void openForWriting(VELD_File& file, const std::string& path) {
    ExtNameStr name;
    name.SetGeneric(path);
    errno = 0;
    if (!file.Open(name, "wb")) ThrowError::StringSys("datasrc.err", errcode::kCannotWrite, path.c_str());
}

// `size` zero bytes as one zlib stream at level 1, as a writer stores a block.
std::uint64_t deflateZeros(std::int32_t size, unsigned char* out) {
    static const std::vector<unsigned char> zeros(static_cast<std::size_t>(kBlockSize), 0);
    uLongf n = static_cast<uLongf>(kMaxPayloadSize);
    if (compress2(out, &n, zeros.data(), static_cast<uLong>(size), 1) != Z_OK)
        throw std::runtime_error("zlib cannot compress a block of zero bytes");
    return n;
}

}  // namespace

std::int64_t rebuildFile(ByteSource& source, std::int64_t row0, const std::vector<Piece>& pieces,
                         const std::string& output, const std::string& temp) {
    RefCountPtr<VELD_File> out(new VELD_File(false));
    std::int64_t end = row0 + static_cast<std::int64_t>(kHeadingSize);
    try {
        try {
            openForWriting(*out, temp);
            veld::LargeBuffer buf(static_cast<std::size_t>(kMaxPayloadSize));
            // The dictionary part, as it is.
            for (std::int64_t at = 0; at < row0;) {
                const std::uint64_t want = static_cast<std::uint64_t>(std::min<std::int64_t>(kBlockSize, row0 - at));
                const std::uint64_t got = source.readAt(buf.get(), want, at);
                if (got != want) throw std::runtime_error("the input changed while it was read");
                out->Write(buf.get(), got, at);
                at += static_cast<std::int64_t>(got);
            }
            // The payloads back to back, each recorded where it now lies.
            std::vector<blockInfo> records;
            records.reserve(pieces.size());
            for (const Piece& p : pieces) {
                std::uint64_t n;
                if (p.translateSize == 0) {
                    n = deflateZeros(p.orginalSize, buf.get());
                } else {
                    n = static_cast<std::uint64_t>(std::clamp<std::int64_t>(p.translateSize, 0, kMaxPayloadSize));
                    if (n == 0 || source.readAt(buf.get(), n, p.translatePos) != n)
                        throw std::runtime_error("the input changed while it was read");
                }
                out->Write(buf.get(), n, end);
                records.push_back(blockInfo{p.orginalPos, end, p.orginalSize, static_cast<std::int32_t>(n)});
                end += static_cast<std::int64_t>(n);
            }
            std::vector<unsigned char> table(
                static_cast<std::size_t>(layout::tableLength(static_cast<std::int64_t>(records.size()))));
            layout::encodeRecord(layout::firstRecord(kBlockSize, static_cast<std::int32_t>(records.size())),
                                 table.data());
            for (std::size_t k = 0; k < records.size(); ++k)
                layout::encodeRecord(records[k], table.data() + (k + 1) * kRecordSize);
            out->Write(table.data(), table.size(), end);
            // The heading last, as a writer stores it.
            unsigned char heading[kHeadingSize];
            layout::encodeHeading(compressionHeading{row0, end, static_cast<std::int64_t>(table.size())}, heading);
            out->Write(heading, kHeadingSize, row0);
            end += static_cast<std::int64_t>(table.size());
            // On the disk before it takes the final name: a crash after the
            // rename must not leave that name on bytes that never got there.
            out->Commit();
            out->Close();
        } catch (...) {
            try {
                if (out->IsOpen()) out->Close();
            } catch (...) {
            }
            crt::removeFile(temp);
            throw;
        }
        // The input may be the file replaced: let it go first.
        // A reader's failed close loses nothing.
        if (auto* file = dynamic_cast<FileSource*>(&source)) {
            try {
                file->close();
            } catch (const DataSourceError&) {
            }
        }
        if (crt::renameFile(temp, output) != 0) {
            const int err = errno;
            crt::removeFile(temp);
            errno = err;
            ThrowError::StringSys("datasrc.err", errcode::kCannotWrite, output.c_str());
        }
    } catch (const DataSourceError& e) {
        // The temporary name means nothing to the caller: the error names the output.
        if (e.fileName() != temp) throw;
        throw DataSourceError(e.msgFile(), e.code(), output, e.sysErrno(), e.detail());
    }
    // The new name on the disk too; the file itself already is. Best effort:
    // the file is complete and in place by then.
    crt::syncDirectoryOf(output);
    return end;
}

}  // namespace veld::inspect::detail
