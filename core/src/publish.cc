// Appending a manifest and publishing the next superblock. One sync at the end makes the commit's
// segments, the manifest and the superblock durable together; the open sequence tolerates any
// order in which they reach the disk before it.
#include "publish.h"

#include "publish_impl.h"
#include "store_instances.h"

namespace quarn {

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_PUBLISH)

}  // namespace quarn
