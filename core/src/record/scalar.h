// Scalar values: the eight primitive kinds, their tagged encoding, canonical key bytes and the
// bounded record byte reader every record decoder uses.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>

#include "bytes.h"
#include "result.h"
#include "schema.h"

namespace quarn {

class ValueView;

// One primitive value; the variant index is the kind number (frozen, equals Type numbers 0-7).
class ScalarValue {
 public:
  struct Bool {
    bool value;
    bool operator==(const Bool&) const = default;
  };
  struct Int64 {
    std::int64_t value;
    bool operator==(const Int64&) const = default;
  };
  struct Uint64 {
    std::uint64_t value;
    bool operator==(const Uint64&) const = default;
  };
  struct Float64 {
    double value;
    bool operator==(const Float64&) const = default;
  };
  struct String {
    std::string value;
    bool operator==(const String&) const = default;
  };
  struct Bytes {
    quarn::Bytes value;
    bool operator==(const Bytes&) const = default;
  };
  struct Uuid {
    std::array<std::uint8_t, 16> value;
    bool operator==(const Uuid&) const = default;
  };
  struct Timestamp {
    std::int64_t value;
    bool operator==(const Timestamp&) const = default;
  };
  using Variant = std::variant<Bool, Int64, Uint64, Float64, String, Bytes, Uuid, Timestamp>;

  template <AlternativeOf<Variant> A>
  ScalarValue(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const { return value_; }
  Variant& value() { return value_; }
  std::uint8_t kind() const { return static_cast<std::uint8_t>(value_.index()); }
  template <class A>
  const A* get_if() const {
    return std::get_if<A>(&value_);
  }

  // The key form: no kind byte, numbers little-endian, texts and bytes raw.
  quarn::Bytes canonical_key_bytes() const;
  void append_canonical_key_bytes(quarn::Bytes& out) const;
  // Same kind and equal payload; Float64 by IEEE equality.
  bool operator==(const ScalarValue& other) const;
  // `Int64(-5)`, `Float64(1e16)`, `String("x")`, `Bytes([1, 2])`.
  std::string debug() const;

 private:
  Variant value_;
};

// The Float64 payload text of the debug form ("5.0", "1e16", "NaN", "-inf").
std::string debug_f64(double value);

namespace record::scalar {

// Every short read of a record payload is TruncatedRecordPayload.
struct TruncatedRecord {
  template <class T>
  using Result = quarn::Result<T>;
  FormatError short_read() const { return FormatError::TruncatedRecordPayload{}; }
};

// Reads a borrowed byte string from a position. A failed read leaves the position unchanged
// and returns FormatError::TruncatedRecordPayload; lengths are tested before any allocation.
using Cursor = ByteCursor<TruncatedRecord>;

}  // namespace record::scalar

// The largest length or element count a 32-bit length field holds.
inline constexpr std::uint64_t kMaxEncodedLength = 0xFFFF'FFFFULL;

// RecordTypeMismatch when a text, byte string or list of `length` bytes or elements is too
// long for its 32-bit length field; encoders call it before writing anything of the value.
Status check_encoded_length(std::size_t length);

// Appends the kind byte and payload. RecordTypeMismatch when the kinds differ (so for every
// non-primitive type) and for a text or byte string longer than 2^32 - 1 bytes.
Status encode_tagged_scalar(Bytes& out, const ScalarValue& value, const Type& type);
// The same for a value of a row image (record/packed_row.h), read in place: RecordTypeMismatch
// also for a null, list or object.
Status encode_tagged_scalar(Bytes& out, ValueView value, const Type& type);

// Checks in order: no byte (Truncated), kind byte consumed, non-primitive type
// (UnsupportedTypeInV1), kind mismatch, payload (Truncated, then InvalidRecordUtf8).
Result<ScalarValue> decode_tagged_scalar(record::scalar::Cursor& reader, const Type& type);
// The same read with the same checks and errors, appending the value's image
// (record/packed_row.h) to out instead of building it; out may have grown on an error.
Status decode_tagged_scalar_packed(record::scalar::Cursor& reader, const Type& type,
                                   quarn::Bytes& out);

}  // namespace quarn
