// Inflating a block only as far as a read needs: the early-stop entry of the
// block engines. zlib's and ISA-L's inflate can stop when the output wanted is
// out and go on later; libdeflate cannot, so a stream whose engine is
// libdeflate stops early with ISA-L when the build has it, else with zlib.
// Nothing here is a verdict on a payload until finish() answers: the bytes
// before the end are those inflate produced, and the Adler-32 lies at the end.
// Thread contract: one thread at a time per object.
#pragma once

#include <cstdint>
#include <memory>

#include "blockEngine.h"

namespace veld {

class PrefixInflater {
public:
    virtual ~PrefixInflater() = default;
    // Starts on a payload of n bytes into dest (capacity bytes). The payload
    // must stay in place until the block is finished or started anew.
    virtual void begin(const unsigned char* src, std::uint64_t n, unsigned char* dest, std::uint64_t capacity) = 0;
    // Inflates on until exactly target bytes are out. False when the stream
    // fails or ends before them.
    virtual bool advance(std::uint64_t target) = 0;
    // Inflates to the stream's end: true only when it ends with its checksum
    // holding, after all n payload bytes and exactly `expected` output bytes.
    virtual bool finish(std::uint64_t expected) = 0;
    // Bytes out so far.
    virtual std::uint64_t produced() const = 0;
};

// The engine that stops early for the inflate engine chosen now (zlib when
// zlib is chosen or the build has no ISA-L).
BlockEngine prefixEngine();
std::unique_ptr<PrefixInflater> makePrefixInflater(BlockEngine engine);
inline std::unique_ptr<PrefixInflater> makePrefixInflater() { return makePrefixInflater(prefixEngine()); }

std::unique_ptr<PrefixInflater> makeIsalPrefixInflater();  // null when not built in

}  // namespace veld
