// Small helpers over the plain stream that several commands share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "VELD_FileStream.h"
#include "large_memory.h"

namespace veldcli {

class Progress;

// One block's worth of bytes: reads and writes of this size move whole
// windows and whole compressed blocks.
class PieceBuffer {
public:
    PieceBuffer() : fBytes(VELD_BLOCK_SIZE) {}
    unsigned char* data() { return fBytes.get(); }
    std::uint64_t size() const { return VELD_BLOCK_SIZE; }

private:
    veld::LargeBuffer fBytes;
};

// A plain stream for a file being written. Its own Close writes the window
// out but keeps the file open; CloseFile also closes it, so that a failed
// close(2) is reported rather than lost in a destructor.
class OutputStream : public VELD_FileStream {
public:
    void CloseFile();
};

// A plain stream for a file being read, which can also read whole pieces at a
// position straight from its raw file: past the dictionary part the window
// would only add a copy of every piece.
class InputStream : public VELD_FileStream {
public:
    std::uint64_t readAt(void* bytes, std::uint64_t n, std::int64_t position) {
        return GetFile().Read(bytes, n, position);
    }
};

// Where unpack's bytes go, in order: a regular file through the plain stream,
// or a descriptor (standard output, a device) written straight through.
class ByteSink {
public:
    // A stream's close may raise: so may the sink's.
    virtual ~ByteSink() noexcept(false) = default;
    virtual void put(const unsigned char* bytes, std::uint64_t n) = 0;
    // The plain part is written: later pieces may bypass any window.
    virtual void endOfPlainPart() {}
    // Everything is written: reports a failed close.
    virtual void finish() {}
};

class StreamSink final : public ByteSink {
public:
    explicit StreamSink(const std::string& path);
    void put(const unsigned char* bytes, std::uint64_t n) override;
    void endOfPlainPart() override;
    void finish() override { fOut.CloseFile(); }

private:
    std::string fPath;
    OutputStream fOut;
    std::int64_t fAt = 0;
};

// Opens or raises CliError naming the file and the system's reason.
void openStream(VELD_FileStream& stream, const std::string& path, const char* mode);
// The file's size; leaves the stream at position 0. Raises CliError when the
// system cannot tell it.
std::int64_t streamSize(VELD_FileStream& stream);
// Moves n bytes from `in` (at its position) to `out`; raises CliError if `in` ends early.
void copyStream(VELD_FileStream& in, VELD_FileStream& out, std::uint64_t n, PieceBuffer& piece,
                const std::string& inName, Progress* progress);
void writeAll(VELD_FileStream& out, const void* bytes, std::uint64_t n, const std::string& outName);

}  // namespace veldcli
