// Memory for the megabyte buffers of the streams (blocks, payloads, windows).
// Touching fresh memory costs a page fault per 4 KiB; on a virtual machine the
// faults of a few 4 MiB buffers cost as much as inflating a block. On Linux the
// memory is therefore asked for in transparent huge pages (2 MiB per fault)
// where the system allows it; elsewhere, and under AddressSanitizer (which must
// see every overrun), it is ordinary heap memory. Either way it is not zeroed.
// Thread contract: safe for concurrent use.
#pragma once

#include <cstddef>

#include "veld_api.h"

namespace veld::platform {

// `size` bytes, or std::bad_alloc.
VELD_API void* allocateLarge(std::size_t size);
// Gives back what allocateLarge(size) returned; null is ignored.
VELD_API void freeLarge(void* memory, std::size_t size) noexcept;
// Keeps up to `count` freed buffers and hands them out again for the same
// size, for a process that makes and drops the same streams over and over (a
// fuzz target): the memory stays mapped and warm. 0 (the default) frees at
// once. Under AddressSanitizer both ends of a kept buffer (64 KiB each) are
// poisoned, so a use after free there is still reported.
VELD_API void keepFreedLargeBuffers(std::size_t count);

}  // namespace veld::platform

namespace veld {

// An owned buffer from allocateLarge.
class LargeBuffer {
public:
    LargeBuffer() = default;
    explicit LargeBuffer(std::size_t size)
        : fBytes(static_cast<unsigned char*>(platform::allocateLarge(size))), fSize(size) {}
    ~LargeBuffer() { platform::freeLarge(fBytes, fSize); }
    LargeBuffer(LargeBuffer&& other) noexcept : fBytes(other.fBytes), fSize(other.fSize) {
        other.fBytes = nullptr;
        other.fSize = 0;
    }
    LargeBuffer& operator=(LargeBuffer&& other) noexcept {
        if (this != &other) {
            platform::freeLarge(fBytes, fSize);
            fBytes = other.fBytes;
            fSize = other.fSize;
            other.fBytes = nullptr;
            other.fSize = 0;
        }
        return *this;
    }
    LargeBuffer(const LargeBuffer&) = delete;
    LargeBuffer& operator=(const LargeBuffer&) = delete;

    unsigned char* get() const { return fBytes; }
    std::size_t size() const { return fSize; }

private:
    unsigned char* fBytes = nullptr;
    std::size_t fSize = 0;
};

}  // namespace veld
