// Publishing: the last step of every commit and of the creation of an image. It appends a
// manifest segment and writes the next superblock into the slot not holding the newest one.
#pragma once

#include <cstdint>

#include "result.h"
#include "storage.h"
#include "superblock.h"

namespace quarn {

// What a publish writes over slots (as decoded) after a manifest at manifest_at: the next
// superblock (generation + 1, saturating; 1 when no slot is valid; checkpoint fields carried
// over from the newest valid slot) and the slot it goes to, the one not holding the newest.
struct Publication {
  SuperblockSlot slot;
  Superblock superblock;
};
Publication next_publication(const SuperblockSlots& slots, std::uint64_t manifest_at);

// Appends a manifest segment at max(store length, data_start), then writes the next superblock
// (generation + 1, saturating; 1 when no slot is valid; checkpoint fields carried over from the
// newest valid slot) into the other slot, and syncs once. Returns the superblock written.
// Store errors are returned as they come and nothing is undone.
// REQUIRES: data_start >= kDataStart (the manifest must not land on the fixed area).
template <Store S>
Result<Superblock> append_manifest_and_publish_with_checkpoint(S& store, std::uint64_t data_start);

}  // namespace quarn
