// The store-generic body of the superblock slot read. superblock.cc instantiates it for the
// engine's stores; a test instantiates it for its own.
#pragma once

#include "superblock.h"

namespace quarn {

template <Store S>
Result<SuperblockSlots> read_superblock_slots(S& store) {
  Bytes a(kSuperblockSize);
  Bytes b(kSuperblockSize);
  QUARN_TRY(store.read_exact_at(kSuperblockSlotAOffset, a));
  QUARN_TRY(store.read_exact_at(kSuperblockSlotBOffset, b));
  return decode_superblock_slots(a, b);
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_SUPERBLOCK(S) \
  template Result<SuperblockSlots> read_superblock_slots<S>(S&);
