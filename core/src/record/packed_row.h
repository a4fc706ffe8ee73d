// Rows as the engine holds them in memory: one contiguous, self-describing image of a Row,
// read in place. A stored row then costs one allocation of about its encoded size instead of
// a tree node per field, and a scan reads the fields it tests without building the row.
//
// The image is never written to a file, so its layout is free to change:
//   row   := varint count, then count fields in ascending byte order of their names
//   field := varint name length, name bytes, value
//   value := u8 RowValue number, then by number
//              Bool                          1 byte (0 or 1)
//              Int64, Uint64, Float64,
//              Timestamp                     8 bytes in native order
//              String, Bytes                 varint length, bytes
//              Uuid                          16 bytes
//              Null                          nothing
//              List                          u64 byte length of the rest, varint count, values
//              Object                        u64 byte length of the rest, row
//            (u64s in native order)
// Views trust their image: it is built by append_packed_row and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "bytes.h"
#include "record/row_value.h"
#include "schema.h"

namespace quarn {

class RowView;

namespace packed_detail {

inline std::uint64_t read_varint(const std::uint8_t*& at) {
  std::uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    const std::uint8_t byte = *at++;
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value;
  }
}

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

  std::uint8_t number() const { return at_[0]; }
  bool is_null() const { return number() == 8; }
  bool is_primitive() const { return number() <= 7; }

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
  // The bytes of a String or Bytes value. REQUIRES: number() is 4 or 5.
  ByteSpan bytes() const {
    const std::uint8_t* at = at_ + 1;
    const std::uint64_t length = packed_detail::read_varint(at);
    return ByteSpan(at, length);
  }
  std::string_view text() const {
    const ByteSpan raw = bytes();
    return std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size());
  }
  // The 16 bytes of a Uuid. REQUIRES: number() is 6.
  ByteSpan uuid() const { return ByteSpan(at_ + 1, 16); }

  // The nested row of an Object value. REQUIRES: number() is 10.
  RowView object() const;

  // The elements of a List value. REQUIRES: number() is 9.
  class ListRange;
  ListRange list() const;

  // A copy of the primitive, or nothing for Null, List and Object.
  std::optional<ScalarValue> as_scalar() const;
  // The value decoded.
  RowValue to_value() const;

  // One past the value's last byte.
  const std::uint8_t* end() const;

 private:
  const std::uint8_t* at_;
};

// The fields of a row image, in ascending byte order of their names.
class RowView {
 public:
  // A placeholder that must be assigned before it is read.
  RowView() = default;
  // REQUIRES: at points at an image built by append_packed_row.
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

// Appends the image of row.
void append_packed_row(Bytes& out, const Row& row);

// The pieces of an image, for a decoder that writes one straight from another format: an image
// is count(n), then n times name() and one value, names in ascending byte order.
namespace packed_build {
void count(Bytes& out, std::size_t n);
void name(Bytes& out, std::string_view name);
void null(Bytes& out);
// A primitive, its number the scalar's kind.
void scalar(Bytes& out, const ScalarValue& value);
void boolean(Bytes& out, bool value);
// Int64 (1), Uint64 (2), Float64 (3) or Timestamp (7), from its 8 bits.
void fixed(Bytes& out, std::uint8_t number, std::uint64_t bits);
// String (4) or Bytes (5).
void run(Bytes& out, std::uint8_t number, ByteSpan bytes);
void uuid(Bytes& out, ByteSpan sixteen);
// A list of count elements: the elements follow, then close_list with what open_list gave.
std::size_t open_list(Bytes& out, std::size_t count);
void close_list(Bytes& out, std::size_t at);
void value(Bytes& out, const RowValue& value);
}  // namespace packed_build

inline Bytes pack_row(const Row& row) {
  Bytes out;
  append_packed_row(out, row);
  return out;
}

// Equal as decoded rows (Float64 by IEEE equality, so a NaN is never equal to itself).
bool operator==(RowView a, const Row& b);
bool operator==(RowView a, RowView b);

}  // namespace quarn
