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
#include <string>
#include <utility>

#include "checkpoint_impl.h"
#include "checksum.h"
#include "file_format.h"
#include "pager.h"
#include "record/payload_v2.h"
#include "segments/header.h"
#include "segments/reader.h"
#include "store_instances.h"

namespace quarn {
namespace {

DbError invalid(const char* message) { return FormatError::InvalidCatalogPayload{message}; }

}  // namespace

namespace checkpoint {

Result<std::uint32_t> Cursor::take_u32() {
  std::uint32_t v = 0;
  if (!reader_.get_u32(v)) return invalid("unexpected eof");
  return v;
}

Result<Bytes> Cursor::take_bytes(std::size_t n) {
  Bytes out;
  if (!reader_.get_bytes(n, out)) return invalid("unexpected eof");
  return out;
}

}  // namespace checkpoint

Result<CheckpointPayload> decode_checkpoint_payload(ByteSpan payload) {
  ByteReader head(payload);
  std::uint16_t version = 0;
  if (!head.get_u16(version)) return invalid("unexpected eof");
  if (version != kCheckpointPayloadVersion) return FormatError::UnsupportedVersion{0, version};
  CheckpointPayload out;
  if (!head.get_u64(out.replay_offset)) return invalid("unexpected eof");

  checkpoint::Cursor in(head.rest());
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t n, in.take_u32());
  out.catalog_records.reserve(std::min<std::size_t>(n, kCheckpointMaxListReserve));
  for (std::uint32_t i = 0; i < n; ++i) {
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t len, in.take_u32());
    QUARN_ASSIGN_OR_RETURN(const Bytes bytes, in.take_bytes(len));
    QUARN_ASSIGN_OR_RETURN(CatalogRecordWire entry, decode_catalog_payload(bytes));
    out.catalog_records.push_back(std::move(entry));
  }
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t m, in.take_u32());
  out.record_payloads.reserve(std::min<std::size_t>(m, kCheckpointMaxListReserve));
  for (std::uint32_t i = 0; i < m; ++i) {
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t len, in.take_u32());
    QUARN_ASSIGN_OR_RETURN(Bytes bytes, in.take_bytes(len));
    out.record_payloads.push_back(std::move(bytes));
  }
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t index_len, in.take_u32());
  QUARN_ASSIGN_OR_RETURN(const Bytes index_bytes, in.take_bytes(index_len));
  QUARN_ASSIGN_OR_RETURN(out.index_entries, decode_index_payload(index_bytes));
  if (in.remaining() != 0) return invalid("trailing bytes in checkpoint payload");
  return out;
}

Result<CheckpointState> state_from_checkpoint_payload(ByteSpan payload) {
  QUARN_ASSIGN_OR_RETURN(CheckpointPayload decoded, decode_checkpoint_payload(payload));
  CheckpointState state;
  state.replay_offset = decoded.replay_offset;
  for (CatalogRecordWire& entry : decoded.catalog_records) {
    QUARN_TRY(state.catalog.apply_record(std::move(entry)));
  }
  for (const Bytes& record : decoded.record_payloads) {
    if (record.size() < 6) return FormatError::TruncatedRecordPayload{};
    const auto id = static_cast<std::uint32_t>(load_le(record, 2, 4));
    const CollectionInfo* info = state.catalog.get(id);
    if (info == nullptr) return SchemaError::UnknownCollectionId{id};
    if (!info->primary_field) return SchemaError::NoPrimaryKey{id};
    const std::string& primary = *info->primary_field;
    const FieldDef* def = find_top_level_field(info->fields, primary);
    if (def == nullptr) return SchemaError::PrimaryFieldNotFound{primary};
    QUARN_ASSIGN_OR_RETURN(RecordPayload decoded_record,
                           decode_record_payload(record, primary, *def, info->fields));
    Row row = std::move(decoded_record.fields);
    row.insert_or_assign(primary, RowValue(decoded_record.pk));
    state.latest.put(id, decoded_record.pk.canonical_key_bytes(), std::move(row));
  }
  for (IndexEntry& entry : decoded.index_entries) QUARN_TRY(state.indexes.apply(std::move(entry)));
  return state;
}

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_CHECKPOINT)

}  // namespace quarn
