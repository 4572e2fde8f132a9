// What one thread's work leaves in the processor that slows other code.
// Thread contract: both act on the calling thread's core only; safe anywhere.
#pragma once

#include <cstddef>

#include "veld_api.h"

namespace veld::platform {

// Clears the upper halves of the vector registers (x86-64 with AVX; elsewhere
// nothing). Hand-written vector code that returns without doing so (ISA-L's
// igzip) leaves the SSE code after it, zlib's and the caller's, at about two
// thirds of its speed.
VELD_API void clearVectorState() noexcept;

// Drops these bytes from every core's caches (x86-64; elsewhere nothing).
// For a buffer this thread has read and another thread overwrites next:
// writing over lines still shared with this core's caches ran at about half
// speed on the machines we measured, so a reader gives them up when done.
VELD_API void evictFromCaches(const void* memory, std::size_t size) noexcept;

}  // namespace veld::platform
