// The decoded form of a row record, shared by the payload codecs of every version.
#pragma once

#include <cstdint>

#include "record/row_value.h"
#include "record/scalar.h"

namespace quarn {

// The operation byte of a row record (frozen numbers). The decoder keeps any byte; only
// Delete is told apart, every other byte stores a row.
enum class RecordOp : std::uint8_t { Insert = 1, Replace = 2, Delete = 3 };

// Payload versions: 2 is written, 1 and 2 are read.
inline constexpr std::uint16_t kRecordPayloadV1 = 1;
inline constexpr std::uint16_t kRecordPayloadV2 = 2;

// Every version puts the collection id, u32, here, after its u16 version: a reader finds the
// collection, and with it the schema to decode by, before decoding.
inline constexpr std::size_t kRecordCollectionIdAt = 2;

// One decoded row operation.
struct RecordPayload {
  std::uint32_t collection_id;
  std::uint32_t schema_version;
  std::uint8_t op;  // as stored; see RecordOp
  ScalarValue pk;
  Row fields;  // the non-primary top-level fields by name; empty for a delete
};

// The same operation with its row as the engine stores it: the image (record/packed_row.h) of
// the fields and the primary key together (for a delete, of the key alone).
struct PackedRecordPayload {
  std::uint32_t collection_id;
  std::uint32_t schema_version;
  std::uint8_t op;
  ScalarValue pk;
  Bytes image;
};

}  // namespace quarn
