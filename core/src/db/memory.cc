#include "db/memory.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace quarn {

void release_freed_memory(std::uint64_t freed_bytes) {
#ifdef __GLIBC__
  if (freed_bytes >= (std::uint64_t{1} << 20)) ::malloc_trim(0);
#else
  static_cast<void>(freed_bytes);
#endif
}

}  // namespace quarn
