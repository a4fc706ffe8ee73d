// Row values and rows: the value of a field (primitive, null, list, object) and the ordered
// map of a row, with the type-driven row-value encoding.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "record/scalar.h"
#include "result.h"
#include "schema.h"

namespace quarn {

class RowValue;

// Field name to value, iterated in ascending byte order of the names (std::string's
// operator< compares as unsigned bytes). Inserting a present key replaces its value.
using Row = std::map<std::string, RowValue>;

// The value of a field. Index 0-7: the primitives (same payloads and numbers as ScalarValue);
// 8 Null; 9 List; 10 Object (frozen numbers, tied to ValueNumber in record/packed_row.h).
class RowValue {
 public:
  struct Null {
    bool operator==(const Null&) const = default;
  };
  using List = std::vector<RowValue>;
  // Held behind a pointer so that Row can contain RowValue; copies are deep.
  struct Object {
    std::shared_ptr<const Row> row;  // never null; treated as a value (copy-on-write)
    // Compares the rows, not the pointers.
    bool operator==(const Object& other) const;
  };

  using Variant = std::variant<ScalarValue::Bool, ScalarValue::Int64, ScalarValue::Uint64,
                               ScalarValue::Float64, ScalarValue::String, ScalarValue::Bytes,
                               ScalarValue::Uuid, ScalarValue::Timestamp, Null, List, Object>;

  RowValue() : value_(Null{}) {}
  template <AlternativeOf<Variant> A>
  RowValue(A&& alternative) : value_(std::forward<A>(alternative)) {}
  RowValue(const ScalarValue& scalar);
  static RowValue object(Row row);

  const Variant& value() const { return value_; }
  std::uint8_t number() const { return static_cast<std::uint8_t>(value_.index()); }
  bool is_null() const { return std::holds_alternative<Null>(value_); }
  bool is_primitive() const {
    return value_.index() <= alternative_index<ScalarValue::Timestamp, Variant>();
  }
  const List* as_list() const { return std::get_if<List>(&value_); }
  // The nested row of an Object value, or null.
  const Row* as_object() const;

  // RecordTypeMismatch for Null, List and Object.
  Result<ScalarValue> into_scalar() const;
  // A copy of the primitive, or nothing for Null, List and Object.
  std::optional<ScalarValue> as_scalar() const;

  // Structural; Float64 by IEEE equality.
  bool operator==(const RowValue& other) const;

 private:
  Variant value_;
};

// Room reserved up front for a decoded list, whatever its count field says.
inline constexpr std::size_t kMaxListReserve = 1'048'576;
// Elements of types that encode in zero bytes (objects without members, or whose members are
// all such objects) one encoded value may hold, summed over all its lists: nothing else bounds
// them by the input size.
inline constexpr std::size_t kMaxZeroByteListElements = 1'048'576;

// Appends the value in the format driven by type (tagged scalar, optional flag, list count,
// object members in type order, enum as a String). Errors: RecordTypeMismatch (also for a
// text, byte string or list too long for its 32-bit length, and for more than
// kMaxZeroByteListElements zero-byte list elements), or TruncatedRecordPayload for an object
// member absent from the value.
Status encode_row_value(Bytes& out, const RowValue& value, const Type& type);
// The same for a value of a row image (record/packed_row.h), read in place.
Status encode_row_value(Bytes& out, ValueView value, const Type& type);

// Reads one value of the given type. A list count is refused (TruncatedRecordPayload) when the
// remaining bytes cannot hold that many elements, or when it would take the value past
// kMaxZeroByteListElements zero-byte elements; reservations are at most
// min(count, kMaxListReserve, remaining bytes).
Result<RowValue> decode_row_value(record::scalar::Cursor& reader, const Type& type);
// The same read with the same checks and errors, appending the value's image
// (record/packed_row.h) to out; out may have grown on an error.
Status decode_row_value_packed(record::scalar::Cursor& reader, const Type& type, Bytes& out);

// The one-segment field definitions other than the primary field, in the given order: the
// order of values in a record payload.
std::vector<const FieldDef*> non_pk_defs_in_order(const std::vector<FieldDef>& fields,
                                                  const std::string& primary);

}  // namespace quarn
