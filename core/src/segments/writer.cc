// Appending checksummed segments: header first, then payload, both written as they are.
#include "segments/writer.h"

#include "segments/writer_impl.h"
#include "store_instances.h"

namespace quarn {

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_SEGMENTS_WRITER)

}  // namespace quarn
