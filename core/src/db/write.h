// The commit path: every change reaches the image as one framed transaction written here, and
// older images are brought to the current format first, one synced header rewrite per step.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "db/database.h"
#include "result.h"
#include "storage.h"

namespace quarn {

// Brings an image older than format 0.5 to 0.5: the header is rewritten with minor 5 (keeping
// its length, reserved field and major as read) and synced. A minor of 5 or more is left alone
// without touching the store. format_minor is raised as soon as the header write succeeded,
// before its sync. Errors: the store's, and those of decoding the header on disk.
template <Store S>
Status ensure_header_v0_5(S& store, std::uint16_t& format_minor);

// Upgrades the image to format 0.6 (3 -> 4 -> 5 -> 6, each header rewrite synced), then appends
// at max(store length, data_start) a begin marker, every segment in order and a commit marker,
// all carrying txn_id; publishes a manifest and the next superblock (one sync) and syncs again.
// Success means the whole transaction is durable. An error undoes nothing: any prefix of the
// writes may be in the store (header rewrites and the raised format_minor included).
// REQUIRES: data_start >= kDataStart.
template <Store S>
Status commit_write_txn_v6(S& store, std::uint64_t data_start, std::uint16_t& format_minor,
                           std::uint64_t txn_id, std::span<const SegmentView> segments);
// commit_write_txn_v6 for segments a transaction staged already encoded.
template <Store S>
Status commit_staged_txn_v6(S& store, std::uint64_t data_start, std::uint16_t& format_minor,
                            std::uint64_t txn_id, const EncodedSegments& segments);

template <Store S>
template <class Change>
Status Database<S>::stage_or_commit(std::span<PendingSegment> segments, Change change) {
  if (txn_) {
    for (PendingSegment& segment : segments) {
      txn_->pending.append(segment.type, std::move(segment.payload));
    }
    WriteTarget staged{txn_->catalog, txn_->latest, txn_->indexes};
    change(staged);
    return ok_status();
  }
  // Checked before an id is taken: a handle that refuses writes uses up no ids.
  QUARN_TRY(check_writable());
  std::vector<SegmentView> views;
  views.reserve(segments.size());
  for (const PendingSegment& segment : segments) views.push_back({segment.type, segment.payload});
  QUARN_TRY(commit_segments(next_txn_id(), views));
  WriteTarget committed{catalog_, latest_, indexes_};
  change(committed);
  return ok_status();
}

}  // namespace quarn
