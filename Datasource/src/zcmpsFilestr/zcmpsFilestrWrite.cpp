// Writing a compressed part: blocks gather in fBuffer, each full buffer (and
// the partial one at Flush or Close) becomes one payload; Close writes the
// position-info table and then the heading, which a reader relies on last.
#include <algorithm>
#include <cstring>
#include <exception>

#include "PreIOThread_W_C.h"
#include "blockStoreRule.h"
#include "check.h"
#include "zcmpsFilestr.h"
#include "zcmpsFilestrData.h"

using veld::layout::kBlockSize;
using veld::layout::kHeadingSize;

namespace {
constexpr const char* kSourceFile = "Datasource\\src\\zcmpsFilestr";
constexpr std::int32_t kReopenError = 1201;
}  // namespace

void zcmpsFilestr::setRow0Pos(std::int64_t P) {
    // Reopening under a reader's worker races with its reads; a second writer
    // would leave the first one running without its end mark.
    VELD_CHECK(fData->fpIOThread == 0);
    VELD_FileStream::Close();
    if (!fData->pRealFile.Open(GetNameStr(), "r+b"))
        throw SystemFileException(kReopenError, "fData->pRealFile.Open(GetNameStr(), \"r+b\")",
                                  kSourceFile, 468, true);
    bIsWriting = true;
    fData->fRow0Pos = P;
    fData->fpos = P;
    fData->fWritePos = P + static_cast<std::int64_t>(kHeadingSize);
    fData->fpCurBuff = fData->fBuffer;
    fData->availBuffSize = kBlockSize;
    if (fData->fMultiThread == 1) {
        auto* writer = new PreIOThread_W_C(&fData->pRealFile, fData->fpPosInfo, kBlockSize,
                                           fData->fRow0Pos, fData->fWritePos);
        // Attached only once its worker runs; without one, blocks are stored inline.
        try {
            writer->initThread(false);
            writer->startThread();
        } catch (...) {
            delete writer;
            throw;
        }
        fData->fpIOThread = writer;
    }
}

std::uint64_t zcmpsFilestr::Write(const void* buf, std::uint64_t n) {
    VELD_CHECK(bIsWriting == true);
    if (n == 0) return 0;
    ReadRequest req{static_cast<unsigned char*>(const_cast<void*>(buf)), n, fFilePos};
    fData->Write(req);
    return n;
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
void zcmpsFilestr::Data::Write(VELD_FileStream::ReadRequest& req) {
    // Writing is strictly sequential: the request must start where the buffered data ends.
    VELD_CHECK((req._pos == fpos + sizeof(fBuffer) - availBuffSize) && "Jumped write in zcmpsFilestr::Data::Write");
    while (req._size > 0) {
        if (availBuffSize == kBlockSize) fpos = req._pos;
        const std::uint64_t m = std::min<std::uint64_t>(availBuffSize, req._size);
        std::memcpy(fpCurBuff, req._buf, m);
        fpCurBuff += m;
        availBuffSize -= m;
        req.Consume(m);
        if (availBuffSize == 0) storeBlock();
    }
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

void zcmpsFilestr::Data::storeBlock() {
    const std::uint64_t n = kBlockSize - availBuffSize;
    if (n == 0) return;
    if (fpIOThread) {
        // Returns once the worker has its own copy; our buffer is free again.
        fpIOThread->writeBlock(fBuffer, n, fpos);
    } else {
        // A block whose payload would exceed the limit is stored as two blocks.
        const veld::StoredBlock stored = veld::compressForStore(*fStrictCodec, fBuffer, n, fPayload.get(),
                                                                fPayloadRoom);
        const std::uint64_t total = stored.totalPayload();
        const std::uint64_t written = pRealFile.Write(fPayload.get(), total, fWritePos);
        VELD_CHECK_AT(written == total, "short write of a block payload at offset " +
                                            std::to_string(fWritePos));
        for (int i = 0; i < stored.count; ++i) {
            const veld::StoredPiece& piece = stored.piece[i];
            fpPosInfo->addBlock(fpos + static_cast<std::int64_t>(piece.inOffset),
                                static_cast<std::int32_t>(piece.inSize),
                                fWritePos + static_cast<std::int64_t>(piece.payloadOffset),
                                static_cast<std::int32_t>(piece.payloadSize));
        }
        fWritePos += static_cast<std::int64_t>(total);
    }
    fpos += static_cast<std::int64_t>(n);
    availBuffSize = kBlockSize;
    fpCurBuff = fBuffer;
}

int zcmpsFilestr::Flush() const {
    if (bIsWriting) fData->storeBlock();
    return 1;
}

void zcmpsFilestr::closeWriting() {
    try {
        Flush();
        removeIOThread(true);
        writeInfoTable();
        fData->pRealFile.Close();
    } catch (...) {
        // The part cannot be finished; leave the writing state so that no later
        // Close (the destructor's) writes a table over a half-written file.
        bIsWriting = false;
        fData->fpos = -1;
        fData->availBuffSize = 0;
        fData->fpCurBuff = fData->fBuffer;
        if (fData->fpIOThread) {
            try {
                removeIOThread(true);  // a live worker still needs its end mark
            } catch (...) {
            }
        }
        throw;
    }
    bIsWriting = false;
    fData->fpos = -1;
    fData->availBuffSize = 0;
    fData->fpCurBuff = fData->fBuffer;
    ExtNameStr password;
    if (!VELD_FileStream::Open(GetNameStr(), password, "rb"))
        throw SystemFileException(kReopenError, "VELD_FileStream::Open(GetNameStr(), password, \"rb\")",
                                  kSourceFile, 401, true);
}

void zcmpsFilestr::writeInfoTable() {
    std::uint64_t stLength = 0;
    blockInfo* table = fData->fpPosInfo->makeInfoBuffer(stLength);
    VELD_CHECK(stLength!=0);
    VELD_CHECK(fData->pRealFile.IsOpen() == true);
    VELD_CHECK(fData->fpIOThread == 0);
    // The table goes where the last payload ended, never over the heading.
    const std::int64_t firstPayload = fData->fRow0Pos + static_cast<std::int64_t>(kHeadingSize);
    const std::int64_t tablePos = std::max(fData->pRealFile.fCurPos, firstPayload);
    const std::uint64_t ret = fData->pRealFile.Write(table, stLength, tablePos);
    VELD_CHECK(ret == stLength);

    compressionHeading heading{fData->fRow0Pos, tablePos, static_cast<std::int64_t>(stLength)};
    unsigned char bytes[kHeadingSize];
    veld::layout::encodeHeading(heading, bytes);
    const std::uint64_t headingWritten = fData->pRealFile.Write(bytes, kHeadingSize, fData->fRow0Pos);
    VELD_CHECK(headingWritten == sizeof(compressionHeading));
}
