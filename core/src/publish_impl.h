// The store-generic body of manifest publishing. publish.cc instantiates it for the engine's
// stores; a test instantiates it for its own.
#pragma once

#include <algorithm>
#include <limits>

#include "manifest.h"
#include "publish.h"
#include "segments/writer.h"

namespace quarn {

template <Store S>
Result<Superblock> append_manifest_and_publish_with_checkpoint(S& store, std::uint64_t data_start) {
  QUARN_CHECK(data_start >= kDataStart, "publish with a data start inside the fixed area");
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  const std::uint64_t manifest_at = std::max(len, data_start);
  SegmentWriter<S> writer(store, manifest_at);
  QUARN_TRY(
      writer.append(SegmentType::Manifest, ManifestV0::encode(manifest_at, kManifestSegmentLen)));

  QUARN_ASSIGN_OR_RETURN(const SuperblockSlots slots, read_superblock_slots(store));
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

  QUARN_TRY(store.write_all_at(superblock_slot_offset(publish_target_slot(slots)), next.encode()));
  QUARN_TRY(store.sync());
  return next;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_PUBLISH(S) \
  template Result<Superblock> append_manifest_and_publish_with_checkpoint<S>(S&, std::uint64_t);
