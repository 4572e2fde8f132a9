// The enciphered branches of the raw file: bytes are gathered into 16-byte
// cipher blocks, the partial last block is held back until more bytes come or
// the file is finished, and reads decipher in place and drop the filler.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ThrowError.h"
#include "VELD_File.h"
#include "check.h"
#include "cipher.h"
#include "crt.h"

bool gKeepEncrypt = false;

void SetKeepEncrypt(bool keep) { gKeepEncrypt = keep; }

namespace {
void release(unsigned char* out) {
    const int saved = errno;
    if (out) FreeOutData(out);
    errno = saved;
}
}  // namespace

void VELD_File::WriteCipherOutput(unsigned char* out, int length) {
    if (length > 0) {
        const int n = veld::crt::_write(fHandle, out, static_cast<unsigned int>(length));
        if (n == -1) {
            release(out);
            Fail(veld::errcode::kCannotWrite);
        }
        fDiskPos += n;
    }
    release(out);
}

std::uint64_t VELD_File::WriteEncrypted(const void* buffer, std::uint64_t byteSize,
                                        std::int64_t byteOffset) {
    errno = 0;
    if (byteSize == 0) return 0;
    const std::int64_t pendingEnd = fPendingPos + fPendingSize;
    if (fPendingSize > 0 && byteOffset != pendingEnd) {
        // Held-back bytes belong before pendingEnd, not before byteOffset.
        if (byteOffset > pendingEnd)
            FillWithZeros(pendingEnd, byteOffset);
        else
            WritePendingBlock();
    }
    if (fPendingSize == 0 && byteOffset % CIPHER_BLOCK_SIZE != 0)
        FailRule(veld::errcode::kCannotWrite,
                 "an enciphered file is written in whole 16-byte blocks: a write that does not "
                 "continue its data must start at a multiple of 16");
    const std::int64_t diskStart = fPendingSize > 0 ? fPendingPos : byteOffset;
    if (diskStart != fDiskPos) SeekDisk(diskStart, veld::errcode::kCannotWrite);

    const auto* src = static_cast<const unsigned char*>(buffer);
    std::uint64_t remaining = byteSize;
    unsigned char* out = nullptr;
    int outLength = 0;

    if (fPendingSize > 0) {
        const std::uint64_t room = CIPHER_BLOCK_SIZE - fPendingSize;
        if (remaining < room) {
            std::memcpy(pBlockBuf + fPendingSize, src, remaining);
            fPendingSize += static_cast<int>(remaining);
            fCurPos = byteOffset + static_cast<std::int64_t>(byteSize);
            return byteSize;
        }
        std::memcpy(pBlockBuf + fPendingSize, src, room);
        if (Encrypt(&out, &outLength, pBlockBuf, CIPHER_BLOCK_SIZE) != 1)
            Fail(veld::errcode::kCannotWrite);
        bEncryptStarted = true;
        WriteCipherOutput(out, outLength);
        fPendingSize = 0;
        src += room;
        remaining -= room;
        if (remaining == 0) {
            fCurPos = byteOffset + static_cast<std::int64_t>(byteSize);
            return byteSize;
        }
    }

    const std::uint64_t tail = remaining % CIPHER_BLOCK_SIZE;
    const std::uint64_t whole = remaining - tail;
    std::memcpy(pBlockBuf, src + whole, tail);
    fPendingSize = static_cast<int>(tail);
    fPendingPos = byteOffset + static_cast<std::int64_t>(byteSize - tail);
    if (whole > 0) {
        if (Encrypt(&out, &outLength, src, static_cast<int>(whole)) != 1)
            Fail(veld::errcode::kCannotWrite);
        bEncryptStarted = true;
        WriteCipherOutput(out, outLength);
    }
    fCurPos = byteOffset + static_cast<std::int64_t>(byteSize);
    return byteSize;
}

std::uint64_t VELD_File::ReadEncrypted(void* buffer, std::uint64_t byteSize, std::int64_t byteOffset) {
    VELD_CHECK(byteOffset%CIPHER_BLOCK_SIZE == 0 && byteSize%CIPHER_BLOCK_SIZE == 0 && "byteOffset and byteSize shoule be multiple of 16.");
    sfGuard guard(fMutex, sfLockRecursive);
    if (!IsOpen()) return 0;
    RequireDescriptor(veld::errcode::kCannotRead);
    errno = 0;
    if (byteOffset != fDiskPos) SeekDisk(byteOffset, veld::errcode::kCannotRead);
    int n = veld::crt::_read(fHandle, buffer, static_cast<unsigned int>(byteSize));
    if (n == -1) Fail(veld::errcode::kCannotRead);
    fDiskPos = byteOffset + n;
    const std::int64_t fileSize = Size();  // the mutex admits its holder again

    unsigned char* out = nullptr;
    int outLength = 0;
    if (Decrypt(&out, &outLength, static_cast<const unsigned char*>(buffer), n) != 1)
        Fail(veld::errcode::kCannotRead);
    if (n > 0 && byteOffset + n == fileSize) {
        // The read reached the end of the file: the filler of the last block is not data.
        const int keep = outLength > fPadSize ? outLength - fPadSize : 0;
        std::memcpy(buffer, out, static_cast<std::size_t>(keep));
        n = keep;
    } else {
        std::memcpy(buffer, out, static_cast<std::size_t>(outLength));
    }
    release(out);
    fCurPos = byteOffset + n;
    bEof = n == 0;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(n));
}

void VELD_File::WritePendingBlock() {
    fPadSize = CIPHER_BLOCK_SIZE - fPendingSize;
    errno = 0;
    if (fPendingPos != fDiskPos) SeekDisk(fPendingPos, veld::errcode::kCannotWrite);
    unsigned char* out = nullptr;
    int outLength = 0;
    // The bytes after the pending ones are the filler; reads drop them again.
    // Zeroed here, since earlier blocks leave their bytes in the buffer: the
    // same data then gives the same file however its writes were split.
    std::memset(pBlockBuf + fPendingSize, 0, CIPHER_BLOCK_SIZE - fPendingSize);
    if (Encrypt(&out, &outLength, pBlockBuf, CIPHER_BLOCK_SIZE) != 1)
        Fail(veld::errcode::kCannotWrite);
    bEncryptStarted = true;
    WriteCipherOutput(out, outLength);
    fPendingSize = 0;
}

void VELD_File::FillWithZeros(std::int64_t from, std::int64_t to) {
    static const unsigned char zeros[4096] = {};
    while (from < to) {
        const auto n = static_cast<std::uint64_t>(std::min<std::int64_t>(to - from, sizeof zeros));
        WriteEncrypted(zeros, n, from);
        from += static_cast<std::int64_t>(n);
    }
}

void VELD_File::WriteClosingBytes() {
    unsigned char* out = nullptr;
    int outLength = 0;
    if (EndEncrypt(&out, &outLength) != 1) Fail(veld::errcode::kCannotWrite);
    const std::int64_t before = fDiskPos;
    WriteCipherOutput(out, outLength);
    fCurPos += fDiskPos - before;
}

int VELD_File::FinishEncryption() {
    sfGuard guard(fMutex, sfLockRecursive);
    if (!IsOpen()) return 0;
    if (!bEncrypt || (!bEncryptStarted && fPendingSize == 0)) return 0;
    RequireDescriptor(veld::errcode::kCannotWrite);
    if (fPendingSize > 0) WritePendingBlock();
    WriteClosingBytes();
    bEncryptStarted = false;
    return 1;
}
