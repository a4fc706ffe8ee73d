// Checkpoint payloads and their loading.
//
// Payload version 0, little-endian:
//   [0, 2)    version, u16: 0
//   [2, 10)   replay offset, u64
//   [10, 14)  catalog entry count n, u32; then n times a u32 length and a catalog payload
//   next      record count m, u32; then m times a u32 length and a record payload
//   next      u32 length and one index payload; nothing after it
#include "checkpoint.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "checkpoint_impl.h"
#include "checksum.h"
#include "db/replay.h"
#include "file_format.h"
#include "pager.h"
#include "segments/header.h"
#include "segments/reader.h"
#include "store_instances.h"

namespace quarn {
namespace {

constexpr std::uint16_t kCheckpointPayloadVersion = 0;
// Room reserved up front for the catalog and record lists, whatever their counts say.
constexpr std::size_t kCheckpointMaxListReserve = 1024;

DbError invalid(const char* message) { return FormatError::InvalidCatalogPayload{message}; }

// decode_checkpoint_payload but for the index payload, whose bytes go to decode_index (taking a
// ByteSpan, returning a Status), so that each caller decodes the entries in the form it needs.
// An error of decode_index comes before any complaint about trailing bytes.
template <class DecodeIndex>
Result<CheckpointPayload> decode_checkpoint_payload_with(ByteSpan payload,
                                                         DecodeIndex&& decode_index) {
  ByteCursor<PayloadEof> in(payload);
  QUARN_ASSIGN_OR_RETURN(const std::uint16_t version, in.take_u16());
  if (version != kCheckpointPayloadVersion) return FormatError::UnsupportedVersion{0, version};
  CheckpointPayload out;
  QUARN_ASSIGN_OR_RETURN(out.replay_offset, in.take_u64());

  QUARN_ASSIGN_OR_RETURN(const std::uint32_t n, in.take_u32());
  out.catalog_records.reserve(std::min<std::size_t>(n, kCheckpointMaxListReserve));
  for (std::uint32_t i = 0; i < n; ++i) {
    QUARN_ASSIGN_OR_RETURN(const ByteSpan bytes, in.take_len_prefixed());
    QUARN_ASSIGN_OR_RETURN(CatalogRecordWire entry, decode_catalog_payload(bytes));
    out.catalog_records.push_back(std::move(entry));
  }
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t m, in.take_u32());
  out.record_payloads.reserve(std::min<std::size_t>(m, kCheckpointMaxListReserve));
  for (std::uint32_t i = 0; i < m; ++i) {
    QUARN_ASSIGN_OR_RETURN(const ByteSpan bytes, in.take_len_prefixed());
    out.record_payloads.emplace_back(bytes.begin(), bytes.end());
  }
  QUARN_ASSIGN_OR_RETURN(const ByteSpan index_bytes, in.take_len_prefixed());
  QUARN_TRY(decode_index(index_bytes));
  if (!in.at_end()) return invalid("trailing bytes in checkpoint payload");
  return out;
}

}  // namespace

Result<CheckpointPayload> decode_checkpoint_payload(ByteSpan payload) {
  std::vector<IndexEntry> index_entries;
  QUARN_ASSIGN_OR_RETURN(CheckpointPayload out,
                         decode_checkpoint_payload_with(payload, [&](ByteSpan bytes) -> Status {
                           QUARN_ASSIGN_OR_RETURN(index_entries, decode_index_payload(bytes));
                           return ok_status();
                         }));
  out.index_entries = std::move(index_entries);
  return out;
}

Result<CheckpointState> state_from_checkpoint_payload(ByteSpan payload) {
  // The index entries are views into payload, which lives through this call.
  std::vector<IndexEntryView> index_storage;
  std::span<const IndexEntryView> index_entries;
  QUARN_ASSIGN_OR_RETURN(CheckpointPayload decoded,
                         decode_checkpoint_payload_with(payload, [&](ByteSpan bytes) -> Status {
                           QUARN_ASSIGN_OR_RETURN(index_entries,
                                                  decode_index_payload_views(bytes, index_storage));
                           return ok_status();
                         }));
  CheckpointState state;
  state.replay_offset = decoded.replay_offset;
  for (CatalogRecordWire& entry : decoded.catalog_records) {
    QUARN_TRY(state.catalog.apply_record(std::move(entry)));
  }
  for (const Bytes& record : decoded.record_payloads) {
    QUARN_TRY(apply_record_segment(record, state.catalog, state.latest, RecordSource::Checkpoint));
  }
  for (const IndexEntryView& entry : index_entries) QUARN_TRY(state.indexes.apply(entry));
  return state;
}

QUARN_FOR_EACH_READ_STORE(QUARN_INSTANTIATE_CHECKPOINT)

}  // namespace quarn
