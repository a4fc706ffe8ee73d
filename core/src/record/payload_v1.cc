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

#include <algorithm>
#include <utility>

#include "record/packed_row.h"

namespace quarn {
namespace record {

Result<RowValue> read_tagged_value(scalar::Cursor& reader, const Type& type) {
  QUARN_ASSIGN_OR_RETURN(ScalarValue value, decode_tagged_scalar(reader, type));
  return RowValue(value);
}

namespace {

// The body's head, calling collect(name, value) for each value in payload order.
template <class Collect>
Result<PackedRecordPayload> decode_body(scalar::Cursor& reader, const std::string& primary,
                                        const FieldDef& primary_def,
                                        const std::vector<FieldDef>& fields,
                                        ReadFieldValue read_value, Collect collect) {
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t collection_id, reader.take_u32());
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t schema_version, reader.take_u32());
  QUARN_ASSIGN_OR_RETURN(const std::uint8_t op, reader.take_u8());
  QUARN_ASSIGN_OR_RETURN(ScalarValue pk, decode_tagged_scalar(reader, primary_def.type));
  QUARN_ASSIGN_OR_RETURN(const std::uint32_t count, reader.take_u32());
  if (op == static_cast<std::uint8_t>(RecordOp::Delete)) {
    if (count != 0) return FormatError::RecordTypeMismatch{};
  } else {
    // The fields of non_pk_defs_in_order, walked in place.
    auto valued = [&](const FieldDef& def) {
      return def.path.is_top_level() && def.path.first() != primary;
    };
    // The count is checked against the schema before any value is read, so a forged count
    // never drives a loop or an allocation.
    if (count != static_cast<std::size_t>(std::count_if(fields.begin(), fields.end(), valued))) {
      return FormatError::RecordTypeMismatch{};
    }
    for (const FieldDef& def : fields) {
      if (!valued(def)) continue;
      QUARN_ASSIGN_OR_RETURN(RowValue value, read_value(reader, def.type));
      collect(def.path.first(), std::move(value));
    }
  }
  return PackedRecordPayload{collection_id, schema_version, op, std::move(pk), {}};
}

}  // namespace

Result<RecordPayload> decode_record_body(scalar::Cursor& reader, const std::string& primary,
                                         const FieldDef& primary_def,
                                         const std::vector<FieldDef>& fields,
                                         ReadFieldValue read_value) {
  Row row;
  QUARN_ASSIGN_OR_RETURN(PackedRecordPayload head,
                         decode_body(reader, primary, primary_def, fields, read_value,
                                     [&](const std::string& name, RowValue value) {
                                       row.insert_or_assign(name, std::move(value));
                                     }));
  return RecordPayload{head.collection_id, head.schema_version, head.op, std::move(head.pk),
                       std::move(row)};
}

Result<PackedRecordPayload> decode_record_body_packed(scalar::Cursor& reader,
                                                      const std::string& primary,
                                                      const FieldDef& primary_def,
                                                      const std::vector<FieldDef>& fields,
                                                      ReadFieldValue read_value) {
  // Reused by each call on this thread: replay decodes one record after another.
  thread_local std::vector<std::pair<const std::string*, RowValue>> values;
  thread_local std::vector<std::size_t> order;
  thread_local std::vector<PackedField> packed;
  values.clear();
  QUARN_ASSIGN_OR_RETURN(PackedRecordPayload decoded,
                         decode_body(reader, primary, primary_def, fields, read_value,
                                     [&](const std::string& name, RowValue value) {
                                       values.emplace_back(&name, std::move(value));
                                     }));
  const RowValue pk(decoded.pk);
  values.emplace_back(&primary, pk);
  // By name, then position: of a repeated name the later listing comes last and wins, as in
  // decode_record_body's row.
  order.resize(values.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) {
    const int c = values[a].first->compare(*values[b].first);
    return c != 0 ? c < 0 : a < b;
  });
  packed.clear();
  // The image is about the payload's size plus the names.
  std::size_t estimate = reader.position() + 16;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto& [name, value] = values[order[i]];
    if (i + 1 < order.size() && *name == *values[order[i + 1]].first) continue;
    packed.push_back(PackedField{*name, &value});
    estimate += name->size() + 2;
  }
  decoded.image.reserve(estimate);
  append_packed_fields(decoded.image, packed);
  values.clear();
  return decoded;
}

}  // namespace record
}  // namespace quarn
