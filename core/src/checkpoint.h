// Checkpoints: a snapshot of the whole in-memory state in one checkpoint segment, with the log
// offset behind which replay must go on. Only read: nothing in the engine writes one, and a
// checkpoint that cannot be loaded is passed over in favour of a full replay.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bytes.h"
#include "catalog/codec.h"
#include "catalog/state.h"
#include "db/state/latest_rows.h"
#include "index.h"
#include "result.h"
#include "storage.h"

namespace quarn {

struct CheckpointPayload {
  std::uint64_t replay_offset = 0;
  std::vector<CatalogRecordWire> catalog_records;
  std::vector<Bytes> record_payloads;  // undecoded, in payload order
  std::vector<IndexEntry> index_entries;
};

struct CheckpointState {
  Catalog catalog;
  LatestRows latest;
  IndexState indexes;
  std::uint64_t replay_offset = 0;
};

// Version 0 only. Errors: InvalidCatalogPayload "unexpected eof" and "trailing bytes in
// checkpoint payload"; UnsupportedVersion 0.<version>; the catalog and index decoders' errors.
Result<CheckpointPayload> decode_checkpoint_payload(ByteSpan payload);

// The state the payload describes: its catalog entries applied in order to an empty catalog,
// every record stored as a live row (operation and schema version not examined), its index
// entries applied to an empty index state. Errors: the decoder's; the catalog's refusals;
// TruncatedRecordPayload, UnknownCollectionId, NoPrimaryKey, PrimaryFieldNotFound and the record
// decoder's errors; the index state's refusals.
Result<CheckpointState> state_from_checkpoint_payload(ByteSpan payload);

// The state of the checkpoint segment at offset, or nothing when there is none: offset or length
// 0, an offset outside [kDataStart, store length), or a segment of another type. The segment's
// own payload length decides what is read, bounded by the store before anything is allocated.
// Errors: the store's (a header or payload reaching past the end included), the header decoder's,
// SegmentPayloadChecksumMismatch, and those of state_from_checkpoint_payload.
template <Store S>
Result<std::optional<CheckpointState>> try_load_checkpoint_state(S& store, std::uint64_t offset,
                                                                 std::uint32_t length);

}  // namespace quarn
