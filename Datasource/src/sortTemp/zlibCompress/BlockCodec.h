// What the compressed stream and the thread objects need of a codec: compress
// one block into room for the worst case, and decompress one block with a
// strict answer (complete stream, Adler-32 verified, exact size). Engines
// (zlib, libdeflate, ISA-L) write the same zlib streams; a codec compresses
// with one engine and inflates with another, as chosen in blockEngine.h.
// Thread contract: one thread at a time per object.
#pragma once

#include <cstdint>
#include <memory>

#include "blockEngine.h"

namespace veld {

// What one decompression saw, so that a refusal can say why.
struct InflateOutcome {
    bool streamEnded = false;    // the stream's end was met and its checksum held
    std::uint64_t consumed = 0;  // payload bytes used
    std::uint64_t produced = 0;  // bytes written to dest
};

class BlockCodec {
public:
    virtual ~BlockCodec() = default;
    // Worst-case payload size for n input bytes.
    virtual std::uint64_t compressBound(std::uint64_t n) const = 0;
    // Compresses n bytes into dest (capacity bytes, at least compressBound(n)).
    // Returns the payload length; raises veld::CheckFailure("ret != 0") when the
    // codec fails or the payload would not fit (it is never cut).
    virtual std::uint64_t compress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                                   std::uint64_t capacity) = 0;
    // Decompresses a payload into dest (capacity bytes). Returns true only when the
    // payload is one complete zlib stream whose checksum holds, which uses all n
    // bytes and inflates to exactly expected bytes. `outcome`, if given, says what
    // was seen either way; a refusal is always judged and described by zlib, so
    // that every engine refuses the same payloads with the same outcome.
    virtual bool decompressExact(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                                 std::uint64_t capacity, std::uint64_t expected,
                                 InflateOutcome* outcome = nullptr) = 0;
};

// A codec for the engines chosen now (blockEngine.h).
std::unique_ptr<BlockCodec> makeBlockCodec();
// A codec that compresses with one engine at `level` and inflates with
// another; Automatic picks the fastest of the build for that direction and
// level. A level above the engine's highest compresses at its highest.
std::unique_ptr<BlockCodec> makeBlockCodec(BlockEngine compressWith, BlockEngine inflateWith, int level = 1);

// The highest level of each engine.
constexpr int kZlibMaxLevel = 9;
constexpr int kLibdeflateMaxLevel = 12;
constexpr int kIsalMaxLevel = 1;

// One engine's raw operations, behind the codec. compress answers 0 when the
// engine fails or the payload does not fit; inflate answers true only for an
// exact, complete, checksum-verified stream, and says nothing about failures.
class BlockEngineOps {
public:
    virtual ~BlockEngineOps() = default;
    virtual std::uint64_t bound(std::uint64_t n) const = 0;
    virtual std::uint64_t compress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                                   std::uint64_t capacity) = 0;
    virtual bool inflateExact(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                              std::uint64_t capacity, std::uint64_t expected) = 0;
};

// Null when not built in; level 1 to the engine's highest.
std::unique_ptr<BlockEngineOps> makeLibdeflateOps(int level = 1);
std::unique_ptr<BlockEngineOps> makeIsalOps();  // level 1 only

}  // namespace veld
