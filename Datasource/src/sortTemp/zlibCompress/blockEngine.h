// Block engines: which library compresses and inflates the compressed
// stream's blocks. An addition beyond the described codec: every engine writes
// the same format (one zlib stream per block, level 1, Adler-32 trailer) and
// every engine reads what any other wrote. zlib stays available at run time;
// the default, Automatic, takes the fastest engine of this build per direction
// (builds without the fast engines, such as the Windows DLL, use zlib).
// The choice applies to streams and thread objects created afterwards.
// A second addition, the compression level: 1, the format's own level, is the
// default; higher levels (up to maxBlockLevel()) write smaller zlib streams
// that every reader inflates alike, each level through the fastest engine of
// the build that has it (ISA-L for level 1, libdeflate for the denser ones,
// zlib where neither is built). zlibCompressBlock stays at level 1.
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
// The level of the blocks written from now on: 1 (the default) to
// maxBlockLevel(). Answers false and changes nothing for another value.
VELD_API bool setBlockLevel(int level);
VELD_API int blockLevel();
// The highest level of the chosen engine: zlib 9, libdeflate 12, ISA-L 1;
// Automatic, the highest of the engines built in. A chosen engine whose
// highest level is below the level set compresses at its highest.
VELD_API int maxBlockLevel();
VELD_API int maxBlockLevel(BlockEngine engine);

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
    BlockEngineCodec(BlockEngine compressWith, BlockEngine inflateWith, int level = 1);
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
