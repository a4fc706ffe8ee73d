// The fixed area of a new image and the superblock choice of the open sequence.
#pragma once

#include "result.h"
#include "storage.h"
#include "superblock.h"

namespace quarn {

// Lays out the superblock slots of a new image, unsynced: one zero byte at 8223 (so the image
// spans the fixed area), slot A with generation 1 and no manifest, slot B a valid superblock
// with every field 0. Write errors are returned at once.
template <Store S>
Status init_superblocks(S& store);

// The newer valid superblock of the two slots (slot A on a tie). Errors: the store's read error
// for an image shorter than 8224 bytes; SuperblockChecksumMismatch when neither slot is valid.
template <Store S>
Result<Superblock> read_and_select_superblock(S& store);

// Writes a new, empty image of format 0.6 into an empty store: the header, init_superblocks, a
// manifest at 8224 published into slot B (one sync), then one more sync. 8274 bytes in all.
// REQUIRES: the store is empty.
template <Store S>
Status write_new_image(S& store);

// The same image for an empty store that is already in use under its name, written into it in
// one write and synced, so the store holds either nothing or the whole image; a failed write or
// sync cuts the store back to empty (best effort) before its error is returned.
// REQUIRES: the store is empty.
template <Store S>
Status write_new_image_in_place(S& store);

}  // namespace quarn
