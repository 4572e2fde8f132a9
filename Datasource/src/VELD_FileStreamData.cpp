// The stream's window: construction, writing into it and writing it out.
#include <algorithm>
#include <cstring>

#include "BlockRecycler.h"
#include "VELD_FileStream.h"
#include "multiThreadForFilestr.h"

// Windows are whole recycled blocks, so read-ahead can trade blocks with them.
static_assert(VELD_BLOCK_SIZE <= veld::kRecycledBlockSize);

VELD_FileStream::Data::Data(bool encrypt)
    : fBuffer(static_cast<unsigned char*>(veld::takeBlock(VELD_BLOCK_SIZE))),
      fpEnd(fBuffer),
      fpos(-1),
      pRealFile(),
      bDirty(false),
      bEof(false),
      bEncrypt(encrypt),
      fReader() {}

VELD_FileStream::Data::Data(const Data& other)
    : fBuffer(static_cast<unsigned char*>(veld::takeBlock(VELD_BLOCK_SIZE))),
      fpEnd(fBuffer),
      fpos(-1),
      pRealFile(other.pRealFile),
      bDirty(false),
      bEof(false),
      bEncrypt(other.bEncrypt),
      fReader(other.fReader) {}

VELD_FileStream::Data::~Data() {
    // A worker shared with other streams may still read ahead through our file.
    if (fReader.IsValid() && pRealFile.IsValid()) fReader->releaseFile(pRealFile.get());
    fReader = nullptr;
    pRealFile = nullptr;
    veld::giveBackBlock(fBuffer, VELD_BLOCK_SIZE);
}

bool VELD_FileStream::Data::InWindow(std::int64_t p) const {
    return fpos != -1 && fpos <= p && p < WindowEnd();
}

void VELD_FileStream::Data::Flush() {
    if (fpEnd == fBuffer || !bDirty || !pRealFile.IsValid()) return;
    if (fReader.IsValid()) fReader->noteWrite();
    pRealFile->Write(fBuffer, static_cast<std::uint64_t>(fpEnd - fBuffer), fpos);
    // Again once the bytes are in: a read-ahead that a copy on another thread
    // posted while they were being written may have read the older bytes.
    if (fReader.IsValid()) fReader->noteWrite();
    // Cleared only now: a failed write leaves the bytes marked unwritten.
    bDirty = false;
}

void VELD_FileStream::Data::Write(ReadRequest& req) {
    unsigned char* const bufferEnd = fBuffer + VELD_BLOCK_SIZE;
    if (fpEnd > fBuffer) {
        const std::int64_t p = req._pos;
        if (fpos <= p && p < fpos + static_cast<std::int64_t>(VELD_BLOCK_SIZE) && p <= WindowEnd()) {
            unsigned char* dst = fBuffer + (p - fpos);
            const std::uint64_t n = std::min<std::uint64_t>(req._size, bufferEnd - dst);
            std::memcpy(dst, req._buf, n);
            if (dst + n > fpEnd) fpEnd = dst + n;
            bDirty = true;
            req.Consume(n);
            if (fpEnd == bufferEnd) Flush();
        } else {
            Flush();
        }
    }
    if (req._size >= VELD_BLOCK_SIZE) {
        const std::int64_t p = req._pos;
        // The window is clean here; if it covers any of these offsets its
        // copy is older than the file's, so it goes.
        if (fpEnd > fBuffer && p < WindowEnd() && p + static_cast<std::int64_t>(req._size) > fpos)
            EmptyWindow();
        if (fReader.IsValid()) fReader->noteWrite();
        const std::uint64_t n = pRealFile->Write(req._buf, static_cast<std::uint32_t>(req._size), p);
        if (fReader.IsValid()) fReader->noteWrite();
        req.Consume(static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(n))));
    } else if (req._size > 0) {
        fpos = req._pos;
        std::memcpy(fBuffer, req._buf, req._size);
        fpEnd = fBuffer + req._size;
        bDirty = true;
        req.Consume(req._size);
    }
}
