// Block engines: which library compresses and inflates the compressed
// stream's blocks. An addition beyond the described codec: every engine writes
// the same format (one zlib stream per block, level 1, Adler-32 trailer) and
// every engine reads what any other wrote. zlib stays available at run time;
// the default, Automatic, takes the fastest engine of this build per direction
// (builds without the fast engines, such as the Windows DLL, use zlib).
// The choice applies to streams and thread objects created afterwards.
// Thread contract: safe for concurrent use.
#pragma once

#include <cstdint>

#include "veld_api.h"

namespace veld {

enum class BlockEngine { Automatic = 0, Zlib = 1, Libdeflate = 2, Isal = 3 };

// Whether this build has the engine (Automatic and Zlib always).
VELD_API bool blockEngineAvailable(BlockEngine engine);
// Chooses the engine for both directions. Answers false and changes nothing
// when the engine is not in this build.
VELD_API bool setBlockEngine(BlockEngine engine);
VELD_API BlockEngine blockEngine();
// The engines Automatic, or the chosen engine, resolves to.
VELD_API BlockEngine compressEngine();
VELD_API BlockEngine decompressEngine();
// "auto", "zlib", "libdeflate", "isal".
VELD_API const char* blockEngineName(BlockEngine engine);
// The engine of that name, or false when the name is unknown.
VELD_API bool blockEngineFromName(const char* name, BlockEngine& engine);

// One block through chosen engines, as the streams do it, for tools and
// benchmarks. compress raises veld::CheckFailure("ret != 0") on failure;
// inflate answers true only for one complete, checksum-verified stream of
// exactly `expected` bytes. One thread at a time per object.
class VELD_API BlockEngineCodec {
public:
    BlockEngineCodec(BlockEngine compressWith, BlockEngine inflateWith);
    ~BlockEngineCodec();
    BlockEngineCodec(const BlockEngineCodec&) = delete;
    BlockEngineCodec& operator=(const BlockEngineCodec&) = delete;
    std::uint64_t bound(std::uint64_t n) const;
    std::uint64_t compress(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity);
    bool inflate(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity,
                 std::uint64_t expected);

private:
    class BlockCodec* fCodec;
};

}  // namespace veld
