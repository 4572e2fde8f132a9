// The stream's reading steps: from the window, straight from the file, and
// by refilling the window (on the caller's thread or from the read-ahead).
#include <algorithm>
#include <cstring>

#include "VELD_FileStream.h"
#include "multiThreadForFilestr.h"

namespace {

constexpr std::int64_t kRefillAlign = 512;

std::int64_t RoundDown512(std::int64_t p) { return p & ~(kRefillAlign - 1); }

// Counts from the raw file are 32-bit results of the runtime, widened.
std::int64_t AsCount(std::uint64_t n) { return static_cast<std::int32_t>(n); }

}  // namespace

void VELD_FileStream::Data::ReadFromBuffer(ReadRequest& req) {
    const std::int64_t p = req._pos;
    if (!InWindow(p)) return;
    const std::uint64_t n = std::min<std::uint64_t>(req._size, WindowEnd() - p);
    std::memcpy(req._buf, fBuffer + (p - fpos), n);
    req.Consume(n);
}

void VELD_FileStream::Data::ReadDirect(ReadRequest& req) {
    Flush();
    const std::int64_t n = AsCount(pRealFile->Read(req._buf, req._size, req._pos));
    bEof = n == 0;
    req.Consume(n);
}

void VELD_FileStream::Data::ReadUnbuffered(ReadRequest& req) {
    if (req._size < VELD_BLOCK_SIZE) return;
    Flush();
    const std::int64_t p = req._pos;
    // Ends at a multiple of 512 so that the refill after it starts there.
    const std::uint32_t length =
        static_cast<std::uint32_t>(RoundDown512(p + static_cast<std::int64_t>(req._size))) -
        static_cast<std::uint32_t>(p);
    const std::uint32_t n = static_cast<std::uint32_t>(pRealFile->Read(req._buf, length, p));
    bEof = n == 0;
    req.Consume(n);
}

void VELD_FileStream::Data::ReadBuffered(ReadRequest& req) {
    while (req._size > 0) {
        const std::int64_t start = RoundDown512(req._pos);
        Flush();
        // Nothing in fBuffer counts while it is being overwritten, also if the read fails.
        EmptyWindow();
        const std::int64_t n = AsCount(pRealFile->Read(fBuffer, VELD_BLOCK_SIZE, start));
        fpos = start;
        fpEnd = fBuffer + n;
        bEof = n == 0;
        if (n == 0) return;
        ReadFromBuffer(req);
        if (n != static_cast<std::int64_t>(VELD_BLOCK_SIZE)) return;
    }
}

void VELD_FileStream::Data::ReadMultiThread(ReadRequest& req) {
    ReadFromBuffer(req);
    while (req._size > 0) {
        const std::int64_t start = RoundDown512(req._pos);
        Flush();
        EmptyWindow();
        const std::int64_t n =
            AsCount(fReader->readBlockInto(pRealFile.get(), fBuffer, VELD_BLOCK_SIZE, start));
        fpos = start;
        fpEnd = fBuffer + n;
        bEof = n == 0;
        // Goes on after a short block for as long as the position lies in it.
        if (!InWindow(req._pos)) return;
        ReadFromBuffer(req);
    }
}
