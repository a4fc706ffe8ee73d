// The store-generic body of manifest publishing. publish.cc instantiates it for the engine's
// stores; a test instantiates it for its own.
#pragma once

#include <algorithm>

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
  const Publication next = next_publication(slots, manifest_at);
  QUARN_TRY(store.write_all_at(superblock_slot_offset(next.slot), next.superblock.encode()));
  QUARN_TRY(store.sync());
  return next.superblock;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_PUBLISH(S) \
  template Result<Superblock> append_manifest_and_publish_with_checkpoint<S>(S&, std::uint64_t);
