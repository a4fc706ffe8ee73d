// Row-record payloads of version 1, read only: field values are tagged scalars, so only
// primitive fields can be read. The body layout is shared with version 2.
#pragma once

#include <string>
#include <vector>

#include "record/payload.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "result.h"
#include "schema.h"

namespace quarn {

namespace record {

// Reads one field value in the format of a payload version.
using ReadFieldValue = Result<RowValue> (*)(scalar::Cursor& reader, const Type& type);

// Version 1's field value: a tagged scalar of the field's type.
Result<RowValue> read_tagged_value(scalar::Cursor& reader, const Type& type);

// The body after the version: collection id, schema version, operation byte, primary key,
// value count and one value per field of non_pk_defs_in_order(fields, primary). A delete must
// carry count 0, any other operation exactly one value per such field (RecordTypeMismatch).
// Does not test for trailing bytes; the caller does.
Result<RecordPayload> decode_record_body(scalar::Cursor& reader, const std::string& primary,
                                         const FieldDef& primary_def,
                                         const std::vector<FieldDef>& fields,
                                         ReadFieldValue read_value);
// Reads one field value in the format of a payload version as its image, appended to out.
using ReadFieldImage = Status (*)(scalar::Cursor& reader, const Type& type, Bytes& out);
// The same body read into a row image with the primary key among its fields: what
// decode_record_body and then adding the key to its row give, without building the row. The
// same checks and errors; out is overwritten (its image's buffer reused), and on an error left
// in no particular state.
Status decode_record_body_packed(scalar::Cursor& reader, const std::string& primary,
                                 const FieldDef& primary_def, const std::vector<FieldDef>& fields,
                                 ReadFieldImage read_image, PackedRecordPayload& out);
}  // namespace record
}  // namespace quarn
