// The store-generic body of the superblock slot read. superblock.cc instantiates it for the
// engine's stores; a test instantiates it for its own.
#pragma once

#include <array>

#include "superblock.h"

namespace quarn {

template <Store S>
Result<SuperblockSlots> read_superblock_slots(S& store) {
  // On the stack and not zeroed first: every commit reads both slots.
  std::array<std::uint8_t, kSuperblockSize> a;
  std::array<std::uint8_t, kSuperblockSize> b;
  QUARN_TRY(store.read_exact_at(kSuperblockSlotAOffset, a));
  QUARN_TRY(store.read_exact_at(kSuperblockSlotBOffset, b));
  return decode_superblock_slots(a, b);
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_SUPERBLOCK(S) \
  template Result<SuperblockSlots> read_superblock_slots<S>(S&);
