// Row images: building them from rows, reading them back, and checking one in debug builds.
#include "record/packed_row.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>
#include <variant>

#include "error.h"

namespace quarn {
namespace {

using packed_detail::read_u64;

// Room for n more bytes at the end of out, where they start: one resize per piece, which costs
// less than an insert per part of it.
std::uint8_t* extend(Bytes& out, std::size_t n) {
  const std::size_t at = out.size();
  out.resize(at + n);
  return out.data() + at;
}

void append_number(Bytes& out, ValueNumber number) {
  out.push_back(static_cast<std::uint8_t>(number));
}

void append_leb128(Bytes& out, std::uint64_t value) {
  const Leb128 encoded = encode_leb128(value);
  std::memcpy(extend(out, encoded.size), encoded.begin(), encoded.size);
}

// An optional number byte, then the bytes behind their LEB128 length.
void append_run(Bytes& out, ByteSpan bytes, const ValueNumber* number = nullptr) {
  const Leb128 length = encode_leb128(bytes.size());
  std::uint8_t* at = extend(out, (number != nullptr ? 1 : 0) + length.size + bytes.size());
  if (number != nullptr) *at++ = static_cast<std::uint8_t>(*number);
  std::memcpy(at, length.begin(), length.size);
  if (!bytes.empty()) std::memcpy(at + length.size, bytes.data(), bytes.size());
}

// Room for a u64 length, filled in by close_length once what it covers is written.
std::size_t open_length(Bytes& out) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(std::uint64_t));
  return at;
}

void close_length(Bytes& out, std::size_t at) {
  const std::uint64_t length = out.size() - at - sizeof(std::uint64_t);
  std::memcpy(out.data() + at, &length, sizeof length);
}

void append_fields(Bytes& out, const Row& row);

}  // namespace

namespace packed_build {

void count(Bytes& out, std::size_t n) { append_leb128(out, n); }
void name(Bytes& out, std::string_view name) { append_run(out, as_span(name)); }
void null(Bytes& out) { put_null(extend(out, kNullSize)); }
std::size_t primitive_size(Type::Kind kind, std::size_t stored_size) {
  switch (kind) {
    case Type::Kind::Bool:
      return 2;
    case Type::Kind::String:
    case Type::Kind::Bytes:
      return 1 + encode_leb128(stored_size).size + stored_size;
    default:
      return 1 + stored_size;
  }
}
std::uint8_t* put_primitive(std::uint8_t* at, Type::Kind kind, ByteSpan stored) {
  *at++ = static_cast<std::uint8_t>(value_number(kind));
  switch (kind) {
    case Type::Kind::Bool:
      *at++ = stored[0] != 0 ? 1 : 0;
      return at;
    case Type::Kind::String:
    case Type::Kind::Bytes: {
      const Leb128 length = encode_leb128(stored.size());
      std::memcpy(at, length.begin(), length.size);
      at += length.size;
      break;
    }
    case Type::Kind::Uuid:
      break;
    default: {
      // The image holds the 8 bytes in native order.
      const std::uint64_t bits = load_le(stored, 0, 8);
      std::memcpy(at, &bits, sizeof bits);
      return at + sizeof bits;
    }
  }
  if (!stored.empty()) std::memcpy(at, stored.data(), stored.size());
  return at + stored.size();
}
std::uint8_t* put_null(std::uint8_t* at) {
  *at = static_cast<std::uint8_t>(ValueNumber::Null);
  return at + kNullSize;
}
void boolean(Bytes& out, bool value) {
  const std::uint8_t stored = value ? 1 : 0;
  put_primitive(extend(out, 2), Type::Kind::Bool, ByteSpan(&stored, 1));
}
void fixed(Bytes& out, ValueNumber number, std::uint64_t bits) {
  std::uint8_t* at = extend(out, 1 + sizeof bits);
  at[0] = static_cast<std::uint8_t>(number);
  std::memcpy(at + 1, &bits, sizeof bits);
}
void run(Bytes& out, ValueNumber number, ByteSpan bytes) { append_run(out, bytes, &number); }
void uuid(Bytes& out, ByteSpan sixteen) {
  put_primitive(extend(out, 17), Type::Kind::Uuid, sixteen);
}
std::size_t open_list(Bytes& out, std::size_t count) {
  append_number(out, ValueNumber::List);
  const std::size_t at = open_length(out);
  append_leb128(out, count);
  return at;
}
void close_list(Bytes& out, std::size_t at) { close_length(out, at); }
void object(Bytes& out, const Row& row) {
  append_number(out, ValueNumber::Object);
  const std::size_t at = open_length(out);
  append_fields(out, row);
  close_length(out, at);
}
void value(Bytes& out, ValueView value) {
  const ByteSpan bytes = value.image();
  out.insert(out.end(), bytes.begin(), bytes.end());
}

namespace {

// The primitive alternatives, shared by ScalarValue and RowValue.
auto scalar_writer(Bytes& out) {
  return Overloaded{
      [&](const ScalarValue::Bool& v) { boolean(out, v.value); },
      [&](const ScalarValue::Int64& v) {
        fixed(out, ValueNumber::Int64, std::bit_cast<std::uint64_t>(v.value));
      },
      [&](const ScalarValue::Uint64& v) { fixed(out, ValueNumber::Uint64, v.value); },
      [&](const ScalarValue::Float64& v) {
        fixed(out, ValueNumber::Float64, std::bit_cast<std::uint64_t>(v.value));
      },
      [&](const ScalarValue::String& v) { run(out, ValueNumber::String, as_span(v.value)); },
      [&](const ScalarValue::Bytes& v) { run(out, ValueNumber::Bytes, v.value); },
      [&](const ScalarValue::Uuid& v) { uuid(out, v.value); },
      [&](const ScalarValue::Timestamp& v) {
        fixed(out, ValueNumber::Timestamp, std::bit_cast<std::uint64_t>(v.value));
      },
  };
}

}  // namespace

void scalar(Bytes& out, const ScalarValue& value) { std::visit(scalar_writer(out), value.value()); }

}  // namespace packed_build

namespace {

void append_value(Bytes& out, const RowValue& value) {
  std::visit(Overloaded{
                 packed_build::scalar_writer(out),
                 [&](const RowValue::Null&) { packed_build::null(out); },
                 [&](const RowValue::List& list) {
                   const std::size_t at = packed_build::open_list(out, list.size());
                   for (const RowValue& element : list) append_value(out, element);
                   packed_build::close_list(out, at);
                 },
                 [&](const RowValue::Object& object) { packed_build::object(out, *object.row); },
             },
             value.value());
}

void append_fields(Bytes& out, const Row& row) {
  append_leb128(out, row.size());
  for (const auto& [name, value] : row) {
    append_run(out, as_span(name));
    append_value(out, value);
  }
}

// The ScalarValue alternative holding a copy of a primitive's payload; there is one for every
// primitive and for nothing else.
ScalarValue::Bool owned(ValueView::Bool v) { return {v.value}; }
ScalarValue::Int64 owned(ValueView::Int64 v) { return {v.value}; }
ScalarValue::Uint64 owned(ValueView::Uint64 v) { return {v.value}; }
ScalarValue::Float64 owned(ValueView::Float64 v) { return {v.value}; }
ScalarValue::String owned(ValueView::String v) { return {std::string(v.value)}; }
ScalarValue::Bytes owned(ValueView::Bytes v) { return {Bytes(v.value.begin(), v.value.end())}; }
ScalarValue::Uuid owned(ValueView::Uuid v) {
  ScalarValue::Uuid out{};
  std::memcpy(out.value.data(), v.value.data(), out.value.size());
  return out;
}
ScalarValue::Timestamp owned(ValueView::Timestamp v) { return {v.value}; }

// One past a name and its value.
const std::uint8_t* skip_field(const std::uint8_t* at) {
  const std::uint64_t length = read_leb128(at);
  return ValueView(at + length).end();
}

}  // namespace

const std::uint8_t* ValueView::end() const {
  const std::uint8_t* const body = at_ + 1;
  constexpr std::size_t kFixed = sizeof(std::uint64_t);
  return visit(Overloaded{
      [&](Bool) { return body + 1; },
      [&](Int64) { return body + kFixed; },
      [&](Uint64) { return body + kFixed; },
      [&](Float64) { return body + kFixed; },
      [&](String v) {
        return reinterpret_cast<const std::uint8_t*>(v.value.data()) + v.value.size();
      },
      [&](Bytes v) { return v.value.data() + v.value.size(); },
      [&](Uuid v) { return v.value.data() + v.value.size(); },
      [&](Timestamp) { return body + kFixed; },
      [&](Null) { return body; },
      [&](const List& v) { return v.end; },
      [&](const Object& v) { return v.end; },
  });
}

RowView ValueView::object() const { return RowView(at_ + 1 + sizeof(std::uint64_t)); }

ValueView::ListRange ValueView::list() const {
  const std::uint8_t* at = at_ + 1 + sizeof(std::uint64_t);
  const std::uint64_t count = read_leb128(at);
  return ListRange(at, count);
}

std::optional<ScalarValue> ValueView::as_scalar() const {
  using Out = std::optional<ScalarValue>;
  return visit(Overloaded{
      [](Null) -> Out { return std::nullopt; },
      [](const List&) -> Out { return std::nullopt; },
      [](const Object&) -> Out { return std::nullopt; },
      [](auto primitive) -> Out { return ScalarValue(owned(primitive)); },
  });
}

RowValue ValueView::to_value() const {
  return visit(Overloaded{
      [](Null) { return RowValue(RowValue::Null{}); },
      [](const List& v) {
        RowValue::List out;
        out.reserve(v.elements.size());
        for (const ValueView element : v.elements) out.push_back(element.to_value());
        return RowValue(std::move(out));
      },
      [](const Object& v) { return RowValue::object(v.row.to_row()); },
      [](auto primitive) { return RowValue(owned(primitive)); },
  });
}

RowView::Field RowView::Iterator::operator*() const {
  const std::uint8_t* at = at_;
  const std::uint64_t length = read_leb128(at);
  return Field{std::string_view(reinterpret_cast<const char*>(at), length), ValueView(at + length)};
}

RowView::Iterator& RowView::Iterator::operator++() {
  at_ = skip_field(at_);
  --left_;
  return *this;
}

RowView::Iterator RowView::begin() const {
  const std::uint8_t* at = at_;
  const std::uint64_t count = read_leb128(at);
  return Iterator(at, count);
}

std::size_t RowView::size() const {
  const std::uint8_t* at = at_;
  return read_leb128(at);
}

std::optional<ValueView> RowView::find(std::string_view name) const {
  // Scans call this for every row, so it compares a first byte before calling memcmp.
  const auto* wanted = reinterpret_cast<const std::uint8_t*>(name.data());
  const std::uint8_t* at = at_;
  for (std::uint64_t left = read_leb128(at); left > 0; --left) {
    const std::uint64_t length = read_leb128(at);
    const ValueView value(at + length);
    if (name.empty() || length == 0) {
      if (length == name.size()) return value;
      // The empty name is the least; past it, a search for it has failed.
      if (name.empty()) return std::nullopt;
    } else {
      if (at[0] == wanted[0] && length == name.size() &&
          std::memcmp(at + 1, wanted + 1, length - 1) == 0) {
        return value;
      }
      // Names ascend bytewise, so a greater first byte ends the search.
      if (at[0] > wanted[0]) return std::nullopt;
    }
    at = value.end();
  }
  return std::nullopt;
}

std::optional<ValueView> RowView::at_path(const FieldPath& path) const {
  const std::vector<std::string>& segments = path.segments();
  if (segments.empty()) return std::nullopt;
  std::optional<ValueView> value = find(segments.front());
  for (std::size_t i = 1; value && i < segments.size(); ++i) {
    if (value->number() != ValueNumber::Object) return std::nullopt;
    value = value->object().find(segments[i]);
  }
  return value;
}

std::optional<ScalarValue> RowView::scalar_at(const FieldPath& path) const {
  const std::optional<ValueView> value = at_path(path);
  if (!value) return std::nullopt;
  return value->as_scalar();
}

Row RowView::to_row() const {
  Row row;
  for (const Field field : *this) {
    row.emplace_hint(row.end(), std::string(field.name), field.value.to_value());
  }
  return row;
}

ByteSpan RowView::image() const {
  const std::uint8_t* at = at_;
  for (std::uint64_t left = read_leb128(at); left > 0; --left) at = skip_field(at);
  return ByteSpan(at_, static_cast<std::size_t>(at - at_));
}

ValueView null_value() {
  static constexpr std::uint8_t kNull = static_cast<std::uint8_t>(ValueNumber::Null);
  return ValueView(&kNull);
}

void append_packed_row(Bytes& out, const Row& row) { append_fields(out, row); }

void append_packed_value(Bytes& out, const RowValue& value) { append_value(out, value); }

void append_canonical_key_bytes(ValueView value, Bytes& out) {
  const auto raw = [&](ByteSpan bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); };
  // Numbers little-endian whatever the image's native order.
  const auto le = [&](std::uint64_t bits) {
    std::array<std::uint8_t, sizeof bits> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    raw(bytes);
  };
  value.visit(Overloaded{
      [&](ValueView::Bool v) {
        out.push_back(0x00);
        out.push_back(v.value ? 0x01 : 0x00);
      },
      [&](ValueView::Int64 v) { le(std::bit_cast<std::uint64_t>(v.value)); },
      [&](ValueView::Uint64 v) { le(v.value); },
      [&](ValueView::Float64 v) { le(std::bit_cast<std::uint64_t>(v.value)); },
      [&](ValueView::String v) { raw(as_span(v.value)); },
      [&](ValueView::Bytes v) { raw(v.value); },
      [&](ValueView::Uuid v) { raw(v.value); },
      [&](ValueView::Timestamp v) { le(std::bit_cast<std::uint64_t>(v.value)); },
      [](ValueView::Null) { QUARN_CHECK(false, "key bytes of a null"); },
      [](const ValueView::List&) { QUARN_CHECK(false, "key bytes of a list"); },
      [](const ValueView::Object&) { QUARN_CHECK(false, "key bytes of an object"); },
  });
}

bool operator==(RowView a, const Row& b) { return a.to_row() == b; }
bool operator==(RowView a, RowView b) { return a.to_row() == b.to_row(); }

namespace {

// The image checker reads with bounds, never through the views: every read below first tests
// that its bytes lie before end.
class ImageChecker {
 public:
  ImageChecker(const std::uint8_t* at, const std::uint8_t* end) : at_(at), end_(end) {}

  bool row() {
    std::uint64_t count = 0;
    if (!take_leb128(count)) return false;
    ByteSpan previous;
    for (std::uint64_t i = 0; i < count; ++i) {
      ByteSpan name;
      if (!run(name)) return false;
      if (i > 0 && !std::ranges::lexicographical_compare(previous, name)) return false;
      previous = name;
      if (!value()) return false;
    }
    return true;
  }

  bool value() {
    if (at_ == end_) return false;
    const std::uint8_t number = *at_++;
    if (number > static_cast<std::uint8_t>(ValueNumber::Object)) return false;
    // By the number alone: ValueView::visit would read the payload before it is checked.
    switch (static_cast<ValueNumber>(number)) {
      case ValueNumber::Bool:
        return take(1) && at_[-1] <= 1;
      case ValueNumber::Int64:
      case ValueNumber::Uint64:
      case ValueNumber::Float64:
      case ValueNumber::Timestamp:
        return take(sizeof(std::uint64_t));
      case ValueNumber::String: {
        ByteSpan text;
        return run(text) && is_valid_utf8(text);
      }
      case ValueNumber::Bytes: {
        ByteSpan bytes;
        return run(bytes);
      }
      case ValueNumber::Uuid:
        return take(16);
      case ValueNumber::Null:
        return true;
      case ValueNumber::List: {
        const std::uint8_t* covered_end = nullptr;
        std::uint64_t count = 0;
        if (!sized(covered_end) || !take_leb128(count)) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
          if (!value()) return false;
        }
        return at_ == covered_end;
      }
      case ValueNumber::Object: {
        const std::uint8_t* covered_end = nullptr;
        return sized(covered_end) && row() && at_ == covered_end;
      }
    }
    return false;
  }

  const std::uint8_t* at() const { return at_; }

 private:
  std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

  bool take(std::size_t n) {
    if (left() < n) return false;
    at_ += n;
    return true;
  }

  // A LEB128 number, once a whole one that fits in 64 bits is seen to lie before end.
  bool take_leb128(std::uint64_t& value) {
    std::size_t size = 0;
    while (size < left() && size < kMaxLeb128Size && (at_[size] & 0x80) != 0) ++size;
    if (size == left() || size == kMaxLeb128Size) return false;
    if (size == kMaxLeb128Size - 1 && at_[size] > 1) return false;
    value = read_leb128(at_);
    return true;
  }

  bool run(ByteSpan& bytes) {
    std::uint64_t length = 0;
    if (!take_leb128(length) || length > left()) return false;
    bytes = ByteSpan(at_, static_cast<std::size_t>(length));
    at_ += length;
    return true;
  }

  // A u64 length and where what it covers ends.
  bool sized(const std::uint8_t*& covered_end) {
    if (left() < sizeof(std::uint64_t)) return false;
    const std::uint64_t length = read_u64(at_);
    at_ += sizeof(std::uint64_t);
    if (length > left()) return false;
    covered_end = at_ + length;
    return true;
  }

  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

}  // namespace

bool is_valid_row_image(ByteSpan image) {
  ImageChecker checker(image.data(), image.data() + image.size());
  return checker.row() && checker.at() == image.data() + image.size();
}

}  // namespace quarn
