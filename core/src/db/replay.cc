// Log replay. Application is in log order, so each row record is decoded with the collection
// definition that was current where it stands in the log.
#include "db/replay.h"

#include <utility>
#include <variant>
#include <vector>

#include "catalog/codec.h"
#include "db/helpers.h"
#include "db/replay_impl.h"
#include "file_format.h"
#include "pager.h"
#include "record/payload.h"
#include "record/payload_v2.h"
#include "segments/reader.h"
#include "store_instances.h"
#include "txn.h"

namespace quarn {

Status apply_record_segment(ByteSpan payload, const Catalog& catalog, LatestRows& latest,
                            RecordSource source) {
  if (payload.size() < kRecordCollectionIdAt + 4) return FormatError::TruncatedRecordPayload{};
  const auto collection_id = static_cast<std::uint32_t>(load_le(payload, kRecordCollectionIdAt, 4));
  const CollectionInfo* info = catalog.get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  const bool from_log = source == RecordSource::Log;
  if (from_log) {
    if (!info->primary_field) return ok_status();
    for (const FieldDef& def : info->fields) {
      if (!def.path.is_top_level()) return DbError::NotImplemented{};
    }
  }
  QUARN_ASSIGN_OR_RETURN(const FieldDef* primary_def, primary_field_def(*info));
  const std::string& primary = *info->primary_field;
  // Reused by each call on this thread, so a replayed record allocates nothing of its own.
  thread_local PackedRecordPayload record{0, 0, 0, ScalarValue(ScalarValue::Bool{false}), {}};
  thread_local Bytes key;
  QUARN_TRY(decode_record_payload_packed(payload, primary, *primary_def, info->fields, record));
  key.clear();
  record.pk.append_canonical_key_bytes(key);
  if (from_log) {
    if (record.schema_version != info->schema_version) {
      return SchemaError::InvalidSchemaVersion{info->schema_version, record.schema_version};
    }
    if (record.op == static_cast<std::uint8_t>(RecordOp::Delete)) {
      latest.erase(collection_id, key);
      return ok_status();
    }
  }
  latest.put_image(collection_id, key, record.image);
  return ok_status();
}

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_REPLAY)

}  // namespace quarn
