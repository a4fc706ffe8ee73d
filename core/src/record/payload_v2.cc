// Row-record payloads of version 2 (written) and the decoder of every version. The version-2
// body has the version-1 layout with values in the row-value format.
//
//   [0, 2)    payload version, u16: 2
//   [2, 6)    collection id, u32
//   [6, 10)   schema version, u32
//   [10, 11)  operation byte, u8
//   [11, k)   primary key, tagged scalar
//   [k, k+4)  value count, u32; 0 for a delete
//   [k+4, n)  the values, row values in the order given
#include "record/payload_v2.h"

#include <limits>
#include <utility>
#include <vector>

#include "record/payload_v1.h"

namespace quarn {

Result<Bytes> encode_record_payload_v2_op(std::uint32_t collection_id, std::uint32_t schema_version,
                                          std::uint8_t op, const ScalarValue& pk,
                                          const Type& pk_type,
                                          std::span<const RecordFieldValue> values) {
  // Encoded from images, so that there is one writer of the format: the key's and each value's
  // image go into one buffer, then the views are taken.
  Bytes images;
  packed_build::scalar(images, pk);
  std::vector<std::size_t> starts;
  if (op != static_cast<std::uint8_t>(RecordOp::Delete)) {
    starts.reserve(values.size());
    for (const RecordFieldValue& pair : values) {
      starts.push_back(images.size());
      append_packed_value(images, pair.second);
    }
  }
  std::vector<RecordFieldView> views;
  views.reserve(starts.size());
  for (std::size_t i = 0; i < starts.size(); ++i) {
    views.push_back(RecordFieldView{values[i].first, ValueView(images.data() + starts[i])});
  }
  Bytes out;
  // Most rows fit; growing a byte vector from nothing would take several reallocations.
  out.reserve(256);
  QUARN_TRY(append_record_payload_v2_op(out, collection_id, schema_version, op,
                                        ValueView(images.data()), pk_type, views));
  return out;
}

Status append_record_payload_v2_op(Bytes& out, std::uint32_t collection_id,
                                   std::uint32_t schema_version, std::uint8_t op, ValueView pk,
                                   const Type& pk_type, std::span<const RecordFieldView> values) {
  ByteWriter w(out);
  w.put_u16(kRecordPayloadV2);
  w.put_u32(collection_id);
  w.put_u32(schema_version);
  w.put_u8(op);
  QUARN_TRY(encode_tagged_scalar(out, pk, pk_type));
  if (op == static_cast<std::uint8_t>(RecordOp::Delete)) {
    w.put_u32(0);
    return ok_status();
  }
  // A count that does not fit would be written truncated and misread every later value.
  if (values.size() > std::numeric_limits<std::uint32_t>::max()) {
    return FormatError::RecordTypeMismatch{};
  }
  w.put_u32(static_cast<std::uint32_t>(values.size()));
  for (const RecordFieldView& field : values) {
    QUARN_CHECK(field.def != nullptr, "record value without a field definition");
    QUARN_TRY(encode_row_value(out, field.value.value_or(null_value()), field.def->type));
  }
  return ok_status();
}

namespace {

// The version before the body and nothing after it, around body(reader, whether the payload is
// of version 1).
template <class Body>
auto decode_versioned(ByteSpan payload, Body body)
    -> decltype(body(std::declval<record::scalar::Cursor&>(), true)) {
  record::scalar::Cursor reader(payload);
  QUARN_ASSIGN_OR_RETURN(const std::uint16_t version, reader.take_u16());
  if (version != kRecordPayloadV1 && version != kRecordPayloadV2) {
    return FormatError::UnknownRecordPayloadVersion{version};
  }
  auto decoded = body(reader, version == kRecordPayloadV1);
  if (!decoded.ok()) return decoded;
  if (reader.remaining() != 0) return FormatError::TrailingRecordBytes{};
  return decoded;
}

}  // namespace

Result<RecordPayload> decode_record_payload(ByteSpan payload, const std::string& primary,
                                            const FieldDef& primary_def,
                                            const std::vector<FieldDef>& fields) {
  return decode_versioned(payload, [&](record::scalar::Cursor& reader, bool v1) {
    return record::decode_record_body(reader, primary, primary_def, fields,
                                      v1 ? &record::read_tagged_value : &decode_row_value);
  });
}

Status decode_record_payload_packed(ByteSpan payload, const std::string& primary,
                                    const FieldDef& primary_def,
                                    const std::vector<FieldDef>& fields, PackedRecordPayload& out) {
  return decode_versioned(payload, [&](record::scalar::Cursor& reader, bool v1) {
    return record::decode_record_body_packed(
        reader, primary, primary_def, fields,
        v1 ? &decode_tagged_scalar_packed : &decode_row_value_packed, out);
  });
}

Result<PackedRecordPayload> decode_record_payload_packed(ByteSpan payload,
                                                         const std::string& primary,
                                                         const FieldDef& primary_def,
                                                         const std::vector<FieldDef>& fields) {
  PackedRecordPayload out{0, 0, 0, ScalarValue(ScalarValue::Bool{false}), {}};
  QUARN_TRY(decode_record_payload_packed(payload, primary, primary_def, fields, out));
  return out;
}

}  // namespace quarn
