// Appending a manifest and publishing the next superblock. One sync at the end makes the commit's
// segments, the manifest and the superblock durable together; the open sequence tolerates any
// order in which they reach the disk before it.
#include "publish.h"

#include <limits>

#include "manifest.h"
#include "publish_impl.h"
#include "store_instances.h"

namespace quarn {

Publication next_publication(const SuperblockSlots& slots, std::uint64_t manifest_at) {
  const std::optional<SelectedSuperblock> newest = newest_superblock(slots);
  Superblock next;
  if (newest) {
    const std::uint64_t g = newest->superblock.generation;
    next.generation = g == std::numeric_limits<std::uint64_t>::max() ? g : g + 1;
    next.checkpoint_offset = newest->superblock.checkpoint_offset;
    next.checkpoint_len = newest->superblock.checkpoint_len;
  } else {
    next.generation = 1;
  }
  next.manifest_offset = manifest_at;
  next.manifest_len = static_cast<std::uint32_t>(kManifestV0Size);
  next.flags = 0;
  return Publication{publish_target_slot(slots), next};
}

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_PUBLISH)

}  // namespace quarn
