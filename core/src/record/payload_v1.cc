// Row-record payloads of version 1 and the body layout both versions share.
//
// Body, after the u16 version at [0, 2):
//   [2, 6)    collection id, u32
//   [6, 10)   schema version, u32
//   [10, 11)  operation byte, u8
//   [11, k)   primary key, tagged scalar
//   [k, k+4)  value count, u32
//   [k+4, n)  the values of non_pk_defs_in_order, in that order; version 1 as tagged scalars
#include "record/payload_v1.h"

#include <utility>

namespace quarn {
namespace record {
namespace {

Result<RowValue> read_tagged_value(scalar::Cursor& reader, const Type& type) {
  QUARN_ASSIGN_OR_RETURN(ScalarValue value, decode_tagged_scalar(reader, type));
  return RowValue(value);
}

}  // namespace

Result<RecordPayload> decode_record_body(scalar::Cursor& reader, const std::string& primary,
                                         const FieldDef& primary_def,
                                         const std::vector<FieldDef>& fields,
                                         ReadFieldValue read_value) {
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t collection_id, reader.take_u32());
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t schema_version, reader.take_u32());
  QUARN_ASSIGN_OR_RETURN(const std::uint8_t op, reader.take_u8());
  QUARN_ASSIGN_OR_RETURN(ScalarValue pk, decode_tagged_scalar(reader, primary_def.type));
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, reader.take_u32());
  const std::vector<const FieldDef*> defs = non_pk_defs_in_order(fields, primary);

  Row row;
  if (op == static_cast<std::uint8_t>(RecordOp::Delete)) {
    if (count != 0) return FormatError::RecordTypeMismatch{};
  } else {
    // The count is checked against the schema before any value is read, so a forged count
    // never drives a loop or an allocation.
    if (count != defs.size()) return FormatError::RecordTypeMismatch{};
    for (const FieldDef* def : defs) {
      QUARN_ASSIGN_OR_RETURN(RowValue value, read_value(reader, def->type));
      row.insert_or_assign(def->path.first(), std::move(value));
    }
  }
  return RecordPayload{collection_id, schema_version, op, std::move(pk), std::move(row)};
}

}  // namespace record

Result<RecordPayload> decode_record_payload_v1_body(record::scalar::Cursor& reader,
                                                    const std::string& primary,
                                                    const FieldDef& primary_def,
                                                    const std::vector<FieldDef>& fields) {
  return record::decode_record_body(reader, primary, primary_def, fields,
                                    &record::read_tagged_value);
}

}  // namespace quarn
