#include "VELD_File.h"

#include <cerrno>
#include <cstring>

#include "ThrowError.h"
#include "check.h"
#include "crt.h"

// The process-wide keep-encrypt switch, set by SetKeepEncrypt.
extern bool gKeepEncrypt;

namespace {

constexpr const char* kMessageFile = "datasrc.err";
constexpr int kPermission = veld::crt::kS_IREAD | veld::crt::kS_IWRITE;  // 0x180

bool has(const char* mode, char letter) { return std::strchr(mode, letter) != nullptr; }

// fopen-style mode text to the Microsoft C runtime's open flags.
int OpenByMode(const char* mode) {
    using namespace veld::crt;
    int flags;
    if (has(mode, '+')) {
        if (has(mode, 'w'))
            flags = kO_RDWR | kO_CREAT | kO_TRUNC;
        else if (has(mode, 'a'))
            flags = kO_RDWR | kO_APPEND | kO_CREAT;
        else
            flags = kO_RDWR;
    } else if (has(mode, 'r')) {
        flags = kO_RDONLY;
    } else if (has(mode, 'w')) {
        flags = kO_WRONLY | kO_CREAT | kO_TRUNC;
    } else if (has(mode, 'a')) {
        flags = kO_WRONLY | kO_APPEND | kO_CREAT;
    } else {
        flags = kO_RDONLY;
    }
    flags |= has(mode, 't') ? kO_TEXT : kO_BINARY;
    flags |= kO_RANDOM;
    if (has(mode, 'T')) flags |= kO_SHORT_LIVED;
    if (has(mode, 'D')) flags |= kO_TEMPORARY;
    return flags;
}

}  // namespace

VELD_File::VELD_File() : VELD_File(false) {}

VELD_File::VELD_File(bool encrypt)
    : fCurPos(0),
      fHandle(-1),
      bGood(true),
      bEof(false),
      bEncrypt(false),
      bEncryptStarted(false),
      pBlockBuf(new unsigned char[CIPHER_BLOCK_SIZE]),
      fPendingSize(0),
      fPadSize(0),
      fDiskPos(0),
      fPendingPos(0),
      bDescriptorLost(false) {
    bEncrypt = encrypt && gKeepEncrypt;
    // Filler of the last cipher block: zeros, so that files come out the same every time.
    std::memset(pBlockBuf, 0, CIPHER_BLOCK_SIZE);
}

VELD_File::VELD_File(const VELD_File&)
    : VELD_RefCntObject(),
      fCurPos(0),
      fHandle(-1),
      bGood(false),
      bEof(false),
      bEncrypt(false),
      bEncryptStarted(false),
      pBlockBuf(nullptr),
      fPendingSize(0),
      fPadSize(0),
      fDiskPos(0),
      fPendingPos(0),
      bDescriptorLost(false) {
    VELD_CHECK(0 && "can't copy an VELD_File");
}

VELD_File::~VELD_File() {
    delete[] pBlockBuf;
    pBlockBuf = nullptr;
    // A failing close has already cleared bGood; a destructor must not throw.
    try {
        Close();
    } catch (...) {
    }
}

bool VELD_File::Open(const ExtNameStr& name, const char* mode) {
    // Serialised with transfers: a compressed stream reopens its file for
    // appending while its read-ahead worker may still be reading it.
    sfGuard guard(fMutex, sfLockRecursive);
    if (IsOpen()) Close();
    if (!mode) mode = "";
    fName = name;
    fHandle = fName.Sopen(OpenByMode(mode), veld::crt::kSH_DENYWR, kPermission);
    const bool opened = fHandle != -1;
    if (opened) {
        fCurPos = has(mode, 'a') ? veld::crt::_lseeki64(fHandle, 0, veld::crt::kSEEK_END) : 0;
        fDiskPos = fCurPos;
    }
    bGood = opened;
    bEof = false;
    fMode = mode;
    return opened;
}

int VELD_File::Close() {
    sfGuard guard(fMutex, sfLockRecursive);
    if (!IsOpen()) return 0;
    if (bDescriptorLost) {
        // Reported when it happened; there is nothing left to close.
        bDescriptorLost = false;
        fHandle = -1;
        return 1;
    }
    if (bEncrypt && bEncryptStarted) WriteClosingBytes();
    errno = 0;
    if (veld::crt::_close(fHandle) != 0) {
        // The file stays open, so that nothing after this looks like a clean
        // end of file. The system has released the descriptor all the same:
        // its number may already name another file, so it is never used again.
        bDescriptorLost = true;
        Fail(veld::errcode::kCannotWrite);
    }
    fHandle = -1;
    return 1;
}

void VELD_File::RequireDescriptor(int code) {
    if (!bDescriptorLost) return;
    errno = EBADF;
    Fail(code);
}

std::uint64_t VELD_File::Read(void* buffer, std::uint64_t byteSize, std::int64_t byteOffset) {
    if (bEncrypt) return ReadEncrypted(buffer, byteSize, byteOffset);
    sfGuard guard(fMutex, sfLockRecursive);
    if (!IsOpen()) return 0;
    RequireDescriptor(veld::errcode::kCannotRead);
    errno = 0;
    // Compared with where the descriptor stands, not fCurPos: a failed transfer
    // after a seek leaves the two apart.
    if (byteOffset != fDiskPos) SeekDisk(byteOffset, veld::errcode::kCannotRead);
    const int n = veld::crt::_read(fHandle, buffer, static_cast<unsigned int>(byteSize));
    if (n == -1) Fail(veld::errcode::kCannotRead);
    fCurPos = byteOffset + n;
    fDiskPos = fCurPos;
    bEof = n == 0;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(n));
}

std::uint64_t VELD_File::Write(const void* buffer, std::uint64_t byteSize, std::int64_t byteOffset) {
    sfGuard guard(fMutex, sfLockRecursive);
    if (!IsOpen()) return 0;
    RequireDescriptor(veld::errcode::kCannotWrite);
    if (bEncrypt) return WriteEncrypted(buffer, byteSize, byteOffset);
    errno = 0;
    if (byteOffset != fDiskPos) SeekDisk(byteOffset, veld::errcode::kCannotWrite);
    const int n = veld::crt::_write(fHandle, buffer, static_cast<unsigned int>(byteSize));
    if (n == -1) Fail(veld::errcode::kCannotWrite);
    fCurPos = byteOffset + n;
    fDiskPos = fCurPos;
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(n));
}

std::int64_t VELD_File::Size() const {
    sfGuard guard(fMutex, sfLockRecursive);
    if (!IsOpen()) return 0;
    if (bDescriptorLost) return -1;
    const std::int64_t end = veld::crt::_lseeki64(fHandle, 0, veld::crt::kSEEK_END);
    // If the way back fails, the next transfer must seek rather than trust it.
    if (veld::crt::_lseeki64(fHandle, fDiskPos, veld::crt::kSEEK_SET) == -1) fDiskPos = -1;
    return end;
}

void VELD_File::Commit() {
    sfGuard guard(fMutex, sfLockRecursive);
    if (!IsOpen()) return;
    errno = 0;
    if (veld::crt::_commit(fHandle) != 0) Fail(veld::errcode::kCannotWrite);
}

void VELD_File::SeekDisk(std::int64_t offset, int code) {
    if (veld::crt::_lseeki64(fHandle, offset, veld::crt::kSEEK_SET) == -1) Fail(code);
    fDiskPos = offset;
}

std::uint64_t VELD_File::ReadAhead(void* buffer, std::uint64_t byteSize, std::int64_t byteOffset) {
    // Held across Read (the mutex admits its holder again), so that no other
    // thread's failure meets the switch.
    // Nobody has asked for these bytes yet: where the next sequential transfer
    // starts and whether the last one met the end stay the caller's.
    sfGuard guard(fMutex, sfLockRecursive);
    const std::int64_t savedPos = fCurPos;
    const bool savedEof = bEof;
    bReadingAhead = true;
    try {
        const std::uint64_t n = Read(buffer, byteSize, byteOffset);
        bReadingAhead = false;
        fCurPos = savedPos;
        bEof = savedEof;
        return n;
    } catch (...) {
        bReadingAhead = false;
        fCurPos = savedPos;
        bEof = savedEof;
        throw;
    }
}

void VELD_File::ServedAhead(std::int64_t byteOffset, std::uint64_t n) {
    sfGuard guard(fMutex, sfLockRecursive);
    fCurPos = byteOffset + static_cast<std::int64_t>(n);
    bEof = n == 0;
}

void VELD_File::FailRule(int code, const char* rule) {
    bGood = false;
    throw veld::DataSourceError(kMessageFile, code, fName.GetGeneric(), EINVAL, rule);
}

void VELD_File::Fail(int code) {
    if (!bReadingAhead) bGood = false;
    // A failed transfer may have moved the file pointer part of the way: the
    // next request seeks to its own offset.
    fDiskPos = -1;
    ThrowError::StringSys(kMessageFile, code, fName.GetGeneric().c_str());
}
