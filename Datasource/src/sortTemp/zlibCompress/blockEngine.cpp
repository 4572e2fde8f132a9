#include "blockEngine.h"

#include <atomic>
#include <cstring>

#include "BlockCodec.h"

namespace veld {

namespace {
std::atomic<int> gEngine{static_cast<int>(BlockEngine::Automatic)};
std::atomic<int> gLevel{1};

struct EngineName {
    BlockEngine engine;
    const char* name;
};
constexpr EngineName kNames[] = {{BlockEngine::Automatic, "auto"},
                                 {BlockEngine::Zlib, "zlib"},
                                 {BlockEngine::Libdeflate, "libdeflate"},
                                 {BlockEngine::Isal, "isal"}};
}  // namespace

bool blockEngineAvailable(BlockEngine engine) {
    switch (engine) {
        case BlockEngine::Automatic:
        case BlockEngine::Zlib: return true;
#ifdef VELD_HAVE_LIBDEFLATE
        case BlockEngine::Libdeflate: return true;
#endif
#ifdef VELD_HAVE_ISAL
        case BlockEngine::Isal: return true;
#endif
        default: return false;
    }
}

bool setBlockEngine(BlockEngine engine) {
    if (!blockEngineAvailable(engine)) return false;
    gEngine.store(static_cast<int>(engine), std::memory_order_relaxed);
    return true;
}

int maxBlockLevel(BlockEngine engine) {
    switch (engine) {
        case BlockEngine::Zlib: return kZlibMaxLevel;
        case BlockEngine::Libdeflate: return kLibdeflateMaxLevel;
        case BlockEngine::Isal: return kIsalMaxLevel;
        default: return blockEngineAvailable(BlockEngine::Libdeflate) ? kLibdeflateMaxLevel : kZlibMaxLevel;
    }
}

int maxBlockLevel() { return maxBlockLevel(blockEngine()); }

bool setBlockLevel(int level) {
    if (level < 1 || level > maxBlockLevel()) return false;
    gLevel.store(level, std::memory_order_relaxed);
    return true;
}

int blockLevel() { return gLevel.load(std::memory_order_relaxed); }

BlockEngine blockEngine() { return static_cast<BlockEngine>(gEngine.load(std::memory_order_relaxed)); }

const char* blockEngineName(BlockEngine engine) {
    for (const EngineName& n : kNames)
        if (n.engine == engine) return n.name;
    return "unknown";
}

BlockEngineCodec::BlockEngineCodec(BlockEngine compressWith, BlockEngine inflateWith, int level)
    : fCodec(makeBlockCodec(compressWith, inflateWith, level).release()) {}
BlockEngineCodec::~BlockEngineCodec() { delete fCodec; }
std::uint64_t BlockEngineCodec::bound(std::uint64_t n) const { return fCodec->compressBound(n); }
std::uint64_t BlockEngineCodec::compress(const unsigned char* src, std::uint64_t n, unsigned char* dest,
                                         std::uint64_t capacity) {
    return fCodec->compress(src, n, dest, capacity);
}
bool BlockEngineCodec::inflate(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity,
                               std::uint64_t expected) {
    return fCodec->decompressExact(src, n, dest, capacity, expected);
}

bool blockEngineFromName(const char* name, BlockEngine& engine) {
    for (const EngineName& n : kNames)
        if (name && std::strcmp(name, n.name) == 0) {
            engine = n.engine;
            return true;
        }
    return false;
}

}  // namespace veld
