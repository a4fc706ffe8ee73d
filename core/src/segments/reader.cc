// Scanning and reading checksummed segments. The scan keeps only offsets and headers, and
// checksums payloads through one fixed buffer, so its memory does not grow with segment size.
#include "segments/reader.h"

#include "segments/reader_impl.h"
#include "store_instances.h"

namespace quarn {

QUARN_FOR_EACH_READ_STORE(QUARN_INSTANTIATE_SEGMENTS_READER)

}  // namespace quarn
