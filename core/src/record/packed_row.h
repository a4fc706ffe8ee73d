// Rows as the engine holds them in memory: one contiguous, self-describing image of a Row,
// read in place. A stored row then costs one allocation of about its encoded size instead of
// a tree node per field, and a scan reads the fields it tests without building the row.
//
// The image is never written to a file, so its layout is free to change:
//   row   := LEB128 count, then count fields in strictly ascending byte order of their names
//   field := LEB128 name length, name bytes, value
//   value := u8 ValueNumber, then by number
//              Bool                          1 byte (0 or 1)
//              Int64, Uint64, Float64,
//              Timestamp                     8 bytes in native order
//              String (UTF-8), Bytes         LEB128 length, bytes
//              Uuid                          16 bytes
//              Null                          nothing
//              List                          u64 byte length of the rest, LEB128 count, values
//              Object                        u64 byte length of the rest, row
//            (u64s in native order)
//
// Trust boundary: views read their image unchecked, so every writer of an image must produce a
// valid one. Images are written only by append_packed_row, append_packed_value and the
// packed_build pieces below (packed_build::value copies a value out of an image already valid), and
// the decoders that build images straight from stored bytes (decode_tagged_scalar_packed,
// decode_row_value_packed, decode_record_payload_packed, RecordImagePlan::decode) hand them
// only what they have already checked; where such a decoder fails, the partial image is dropped
// with its error. Debug builds check every image a row table stores (is_valid_row_image).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "bytes.h"
#include "error.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "schema.h"

namespace quarn {

// The number that opens each value of an image. The image reaches no disk, so no file depends
// on these numbers: they are those of RowValue's alternatives, and for the primitives those of
// Type::Kind and ScalarValue::kind(), to which the static_asserts below hold them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"  // ValueNumber::Bytes beside quarn::Bytes is intended
enum class ValueNumber : std::uint8_t {
  Bool = 0,
  Int64 = 1,
  Uint64 = 2,
  Float64 = 3,
  String = 4,
  Bytes = 5,
  Uuid = 6,
  Timestamp = 7,
  Null = 8,
  List = 9,
  Object = 10,
};
#pragma GCC diagnostic pop

namespace packed_detail {

// A is RowValue's alternative of that number.
template <ValueNumber number, class A>
constexpr bool numbers_alternative() {
  return alternative_index<A, RowValue::Variant>() == static_cast<std::size_t>(number);
}

// ... and ScalarValue's, and kind is the Type::Kind, of that number.
template <ValueNumber number, class A, Type::Kind kind>
constexpr bool numbers_primitive() {
  return numbers_alternative<number, A>() &&
         alternative_index<A, ScalarValue::Variant>() == static_cast<std::size_t>(number) &&
         static_cast<std::uint8_t>(kind) == static_cast<std::uint8_t>(number);
}

using K = Type::Kind;
using S = ScalarValue;
static_assert(numbers_primitive<ValueNumber::Bool, S::Bool, K::Bool>());
static_assert(numbers_primitive<ValueNumber::Int64, S::Int64, K::Int64>());
static_assert(numbers_primitive<ValueNumber::Uint64, S::Uint64, K::Uint64>());
static_assert(numbers_primitive<ValueNumber::Float64, S::Float64, K::Float64>());
static_assert(numbers_primitive<ValueNumber::String, S::String, K::String>());
static_assert(numbers_primitive<ValueNumber::Bytes, S::Bytes, K::Bytes>());
static_assert(numbers_primitive<ValueNumber::Uuid, S::Uuid, K::Uuid>());
static_assert(numbers_primitive<ValueNumber::Timestamp, S::Timestamp, K::Timestamp>());
static_assert(numbers_alternative<ValueNumber::Null, RowValue::Null>());
static_assert(numbers_alternative<ValueNumber::List, RowValue::List>());
static_assert(numbers_alternative<ValueNumber::Object, RowValue::Object>());
// No alternative without a number; Timestamp the last primitive everywhere.
static_assert(std::variant_size_v<RowValue::Variant> ==
              static_cast<std::size_t>(ValueNumber::Object) + 1);
static_assert(std::variant_size_v<S::Variant> ==
              static_cast<std::size_t>(ValueNumber::Timestamp) + 1);
static_assert(static_cast<std::uint8_t>(K::Timestamp) + 1 ==
              static_cast<std::uint8_t>(K::Optional));

}  // namespace packed_detail

// The value number of a primitive type kind, or of a scalar's kind. REQUIRES: a primitive.
constexpr ValueNumber value_number(Type::Kind primitive) {
  return static_cast<ValueNumber>(primitive);
}
inline ValueNumber value_number(const ScalarValue& value) {
  return static_cast<ValueNumber>(value.kind());
}

class RowView;

namespace packed_detail {

inline std::uint64_t read_u64(const std::uint8_t* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace packed_detail

// One value of an image. Cheap to copy; valid while its image is.
class ValueView {
 public:
  explicit ValueView(const std::uint8_t* at) : at_(at) {}

  // What visit hands over, one type per value number, each valid while the image is.
  struct Bool {
    bool value;
  };
  struct Int64 {
    std::int64_t value;
  };
  struct Uint64 {
    std::uint64_t value;
  };
  struct Float64 {
    double value;
  };
  struct String {
    std::string_view value;
  };
  struct Bytes {
    ByteSpan value;
  };
  struct Uuid {
    ByteSpan value;  // 16 bytes
  };
  struct Timestamp {
    std::int64_t value;
  };
  struct Null {};
  struct List;
  struct Object;

  ValueNumber number() const { return static_cast<ValueNumber>(at_[0]); }
  bool is_null() const { return number() == ValueNumber::Null; }
  bool is_primitive() const { return number() <= ValueNumber::Timestamp; }

  // f called with the value as the alternative of its number; every f must return the same
  // type, as for std::visit, and an f that handles not every number does not compile.
  template <class F>
  decltype(auto) visit(F&& f) const;

  // The payload of a fixed-width primitive: bool for Bool, std::int64_t for Int64 and
  // Timestamp, std::uint64_t for Uint64, double for Float64. REQUIRES: the matching number.
  template <class T>
  T fixed() const {
    if constexpr (std::is_same_v<T, bool>) {
      return at_[1] != 0;
    } else {
      T value;
      std::memcpy(&value, at_ + 1, sizeof value);
      return value;
    }
  }
  // The bytes of a String or Bytes value. REQUIRES: number() is String or Bytes.
  ByteSpan bytes() const {
    const std::uint8_t* at = at_ + 1;
    const std::uint64_t length = read_leb128(at);
    return ByteSpan(at, length);
  }
  std::string_view text() const {
    const ByteSpan raw = bytes();
    return std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size());
  }
  // The 16 bytes of a Uuid. REQUIRES: number() is Uuid.
  ByteSpan uuid() const { return ByteSpan(at_ + 1, 16); }

  // The nested row of an Object value. REQUIRES: number() is Object.
  RowView object() const;

  // The elements of a List value. REQUIRES: number() is List.
  class ListRange;
  ListRange list() const;

  // A copy of the primitive, or nothing for Null, List and Object.
  std::optional<ScalarValue> as_scalar() const;
  // The value decoded.
  RowValue to_value() const;

  // One past the value's last byte.
  const std::uint8_t* end() const;
  // The value's bytes in its image, its number first.
  ByteSpan image() const { return ByteSpan(at_, static_cast<std::size_t>(end() - at_)); }

 private:
  const std::uint8_t* at_;
};

// The fields of a row image, in ascending byte order of their names.
class RowView {
 public:
  // A placeholder that must be assigned before it is read.
  RowView() = default;
  // REQUIRES: at points at a valid image (see the trust boundary above).
  explicit RowView(const std::uint8_t* at) : at_(at) {}

  struct Field {
    std::string_view name;
    ValueView value;
  };
  class Iterator {
   public:
    Field operator*() const;
    Iterator& operator++();
    bool operator==(const Iterator& other) const { return left_ == other.left_; }

   private:
    friend class RowView;
    Iterator(const std::uint8_t* at, std::uint64_t left) : at_(at), left_(left) {}
    const std::uint8_t* at_;
    std::uint64_t left_;  // fields from at_ on
  };
  Iterator begin() const;
  Iterator end() const { return Iterator(nullptr, 0); }
  std::size_t size() const;

  // The value of the top-level field name, or nothing.
  std::optional<ValueView> find(std::string_view name) const;
  // The value at path, through nested objects, or nothing for a missing name or a non-object on
  // the way (the rule of row_value_at).
  std::optional<ValueView> at_path(const FieldPath& path) const;
  // A copy of the primitive at path; nothing also for a null, list or object there.
  std::optional<ScalarValue> scalar_at(const FieldPath& path) const;

  // The row decoded.
  Row to_row() const;
  // The whole image.
  ByteSpan image() const;

 private:
  const std::uint8_t* at_ = nullptr;
};

class ValueView::ListRange {
 public:
  class Iterator {
   public:
    ValueView operator*() const { return ValueView(at_); }
    Iterator& operator++() {
      at_ = ValueView(at_).end();
      --left_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return left_ == other.left_; }

   private:
    friend class ListRange;
    Iterator(const std::uint8_t* at, std::uint64_t left) : at_(at), left_(left) {}
    const std::uint8_t* at_;
    std::uint64_t left_;
  };
  Iterator begin() const { return Iterator(first_, size_); }
  Iterator end() const { return Iterator(nullptr, 0); }
  std::size_t size() const { return size_; }

 private:
  friend class ValueView;
  ListRange(const std::uint8_t* first, std::uint64_t size) : first_(first), size_(size) {}
  const std::uint8_t* first_;
  std::uint64_t size_;
};

struct ValueView::List {
  ListRange elements;
  const std::uint8_t* end;  // one past the list's last byte
};

struct ValueView::Object {
  RowView row;
  const std::uint8_t* end;  // one past the object's last byte
};

template <class F>
decltype(auto) ValueView::visit(F&& f) const {
  const std::uint8_t* const body = at_ + 1;
  // List and Object: the u64 length of what follows it.
  auto sized_end = [body] { return body + sizeof(std::uint64_t) + packed_detail::read_u64(body); };
  switch (number()) {
    case ValueNumber::Bool:
      return f(Bool{body[0] != 0});
    case ValueNumber::Int64:
      return f(Int64{fixed<std::int64_t>()});
    case ValueNumber::Uint64:
      return f(Uint64{fixed<std::uint64_t>()});
    case ValueNumber::Float64:
      return f(Float64{fixed<double>()});
    case ValueNumber::String:
      return f(String{text()});
    case ValueNumber::Bytes:
      return f(Bytes{bytes()});
    case ValueNumber::Uuid:
      return f(Uuid{uuid()});
    case ValueNumber::Timestamp:
      return f(Timestamp{fixed<std::int64_t>()});
    case ValueNumber::Null:
      return f(Null{});
    case ValueNumber::List:
      return f(List{list(), sized_end()});
    case ValueNumber::Object:
      return f(Object{object(), sized_end()});
  }
#ifndef NDEBUG
  QUARN_CHECK(false, "row image holds an unknown value number");
#endif
  // The image is trusted (see the trust boundary above): no other number is there to meet, and
  // the dispatch, which every read of a row makes, does without a range check.
  __builtin_unreachable();
}

// A Null value, in an image of its own that lives as long as the program.
ValueView null_value();

// Appends the image of row.
void append_packed_row(Bytes& out, const Row& row);
// Appends the image of one value, as a field of a row holds it; ValueView reads it at its start.
void append_packed_value(Bytes& out, const RowValue& value);

// Appends the key form of a primitive: the bytes ScalarValue::append_canonical_key_bytes writes
// for a copy of it. REQUIRES: value.is_primitive().
void append_canonical_key_bytes(ValueView value, Bytes& out);

// The pieces of an image, for a decoder that writes one straight from another format: an image
// is count(n), then n times name() and one value, names in strictly ascending byte order. The
// caller keeps to that grammar and passes only checked payloads (a String's text valid UTF-8):
// nothing here checks them.
namespace packed_build {
void count(Bytes& out, std::size_t n);
void name(Bytes& out, std::string_view name);
void null(Bytes& out);
// A primitive, its number the scalar's kind.
void scalar(Bytes& out, const ScalarValue& value);
void boolean(Bytes& out, bool value);
// Int64, Uint64, Float64 or Timestamp, from its 8 bits.
void fixed(Bytes& out, ValueNumber number, std::uint64_t bits);
// String or Bytes.
void run(Bytes& out, ValueNumber number, ByteSpan bytes);
void uuid(Bytes& out, ByteSpan sixteen);
// A primitive of that kind written where room was made for it, for a caller that sizes a whole
// image once: primitive_size bytes at `at`; returns where it ends. `stored` is the value as a
// tagged scalar stores it after its kind byte and length: one byte for a Bool (non-zero is
// true), 8 little-endian bytes for Int64, Uint64, Float64 and Timestamp, the String's text or
// the Bytes, the 16 bytes of a Uuid.
std::size_t primitive_size(Type::Kind kind, std::size_t stored_size);
std::uint8_t* put_primitive(std::uint8_t* at, Type::Kind kind, ByteSpan stored);
// A Null the same way.
inline constexpr std::size_t kNullSize = 1;
std::uint8_t* put_null(std::uint8_t* at);
// A list of count elements: the elements follow, then close_list with what open_list gave.
std::size_t open_list(Bytes& out, std::size_t count);
void close_list(Bytes& out, std::size_t at);
// An Object value holding row.
void object(Bytes& out, const Row& row);
// A copy of a value of another image.
void value(Bytes& out, ValueView value);
}  // namespace packed_build

// Whether image is exactly one valid row image: in bounds throughout, known value numbers, Bool
// bytes 0 or 1, Strings valid UTF-8, names strictly ascending, List and Object lengths and List
// counts that match what they cover. For debug checks where images are stored; views never
// call it.
bool is_valid_row_image(ByteSpan image);

inline Bytes pack_row(const Row& row) {
  Bytes out;
  append_packed_row(out, row);
  return out;
}

// Equal as decoded rows (Float64 by IEEE equality, so a NaN is never equal to itself).
bool operator==(RowView a, const Row& b);
bool operator==(RowView a, RowView b);

}  // namespace quarn
