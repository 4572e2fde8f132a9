// What a write-behind object gives back when its owner stops it: where its
// next block goes and, after a failure, the blocks it was handed and did not
// store, oldest first. The owner stores those itself, so a failed store loses
// nothing. The bytes stay valid until the object is deleted.
// Thread contract: owner's thread only, after stopThread has returned.
#pragma once

#include <cstdint>
#include <vector>

struct UnstoredBlock {
    const unsigned char* bytes;
    std::uint64_t size;
};

struct WriterPosition {
    std::int64_t orginalPos;    // uncompressed position of the next block (the first unstored one)
    std::int64_t translatePos;  // file offset of its payload
    std::vector<UnstoredBlock> unstored;
};

class WriteBehind {
public:
    virtual WriterPosition stoppedAt() const = 0;

protected:
    ~WriteBehind() = default;
};
