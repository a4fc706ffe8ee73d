// Row-record payloads: the version-2 encoder the engine writes and the decoder that reads
// versions 1 and 2. Values are positional; reading them needs the collection's field
// definitions and primary field name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "record/packed_row.h"
#include "record/payload.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// A field value to encode, beside the definition whose type drives its format.
using RecordFieldValue = std::pair<const FieldDef*, RowValue>;

// A version-2 payload. The values are written in the given order, not checked against any
// schema: callers pass one pair per field of non_pk_defs_in_order, Null for an absent optional.
// Operation byte 3 (delete) writes count 0 and ignores the values.
// Errors: RecordTypeMismatch when the key's kind differs from pk_type or a value does not fit
// its type; TruncatedRecordPayload for an object value lacking a member.
// REQUIRES: every pair's definition is non-null.
Result<Bytes> encode_record_payload_v2_op(std::uint32_t collection_id, std::uint32_t schema_version,
                                          std::uint8_t op, const ScalarValue& pk,
                                          const Type& pk_type,
                                          std::span<const RecordFieldValue> values);

// A field value to encode as a view of its row image, beside the definition whose type drives
// its format; nothing stands for Null.
struct RecordFieldView {
  const FieldDef* def;
  std::optional<ValueView> value;
};

// The same payload, with the same checks and errors, for a key and values read in place from
// row images, appended to out (out may have grown on an error).
Status append_record_payload_v2_op(Bytes& out, std::uint32_t collection_id,
                                   std::uint32_t schema_version, std::uint8_t op, ValueView pk,
                                   const Type& pk_type, std::span<const RecordFieldView> values);

// Decodes a version-1 or version-2 payload. Checks in order: 2 bytes (TruncatedRecordPayload),
// version (UnknownRecordPayloadVersion), header, key and count (value decoder errors), the
// count against the fields (RecordTypeMismatch), the values, then nothing left
// (TrailingRecordBytes). Collection id and schema version are not compared with anything.
Result<RecordPayload> decode_record_payload(ByteSpan payload, const std::string& primary,
                                            const FieldDef& primary_def,
                                            const std::vector<FieldDef>& fields);
// The same decode and checks, with the row as the engine stores it (primary key included).
Result<PackedRecordPayload> decode_record_payload_packed(ByteSpan payload,
                                                         const std::string& primary,
                                                         const FieldDef& primary_def,
                                                         const std::vector<FieldDef>& fields);
// The same into out, whose image buffer is reused: replay decodes one record after another.
Status decode_record_payload_packed(ByteSpan payload, const std::string& primary,
                                    const FieldDef& primary_def,
                                    const std::vector<FieldDef>& fields, PackedRecordPayload& out);

}  // namespace quarn
