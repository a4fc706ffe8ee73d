// Giving freed heap memory back to the system.
#pragma once

#include <cstdint>

namespace quarn {

// Hands the heap's free pages back to the system after work that freed freed_bytes at once. An
// open of a large file, a compaction or the commit of a large transaction frees about what it
// wrote or read (a copy of the file, outgrown buffers, staged segments), and the allocator would
// keep those pages resident for good; below a megabyte it is not worth the walk.
void release_freed_memory(std::uint64_t freed_bytes);

}  // namespace quarn
