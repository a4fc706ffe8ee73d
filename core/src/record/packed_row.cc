// Row images: building them from rows, and reading them back.
#include "record/packed_row.h"

#include <bit>
#include <iterator>
#include <type_traits>
#include <utility>
#include <variant>

#include "error.h"

namespace quarn {
namespace {

using packed_detail::read_u64;
using packed_detail::read_varint;

constexpr std::uint8_t kNull = 8;
constexpr std::uint8_t kList = 9;
constexpr std::uint8_t kObject = 10;

void append_varint(Bytes& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

template <class T>
void append_native(Bytes& out, T value) {
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
  out.insert(out.end(), raw, raw + sizeof value);
}

void append_run(Bytes& out, ByteSpan bytes) {
  append_varint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
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

}  // namespace

namespace packed_build {

void count(Bytes& out, std::size_t n) { append_varint(out, n); }
void name(Bytes& out, std::string_view name) { append_run(out, as_span(name)); }
void null(Bytes& out) { out.push_back(kNull); }
void boolean(Bytes& out, bool value) {
  out.push_back(0);
  out.push_back(value ? 1 : 0);
}
void fixed(Bytes& out, std::uint8_t number, std::uint64_t bits) {
  out.push_back(number);
  append_native(out, bits);
}
void run(Bytes& out, std::uint8_t number, ByteSpan bytes) {
  out.push_back(number);
  append_run(out, bytes);
}
void uuid(Bytes& out, ByteSpan sixteen) {
  out.push_back(6);
  out.insert(out.end(), sixteen.begin(), sixteen.end());
}
std::size_t open_list(Bytes& out, std::size_t count) {
  out.push_back(kList);
  const std::size_t at = open_length(out);
  append_varint(out, count);
  return at;
}
void close_list(Bytes& out, std::size_t at) { close_length(out, at); }

namespace {

// The primitive alternatives, shared by ScalarValue and RowValue.
auto scalar_writer(Bytes& out) {
  return Overloaded{
      [&](const ScalarValue::Bool& v) { boolean(out, v.value); },
      [&](const ScalarValue::Int64& v) { fixed(out, 1, std::bit_cast<std::uint64_t>(v.value)); },
      [&](const ScalarValue::Uint64& v) { fixed(out, 2, v.value); },
      [&](const ScalarValue::Float64& v) { fixed(out, 3, std::bit_cast<std::uint64_t>(v.value)); },
      [&](const ScalarValue::String& v) { run(out, 4, as_span(v.value)); },
      [&](const ScalarValue::Bytes& v) { run(out, 5, v.value); },
      [&](const ScalarValue::Uuid& v) { uuid(out, v.value); },
      [&](const ScalarValue::Timestamp& v) {
        fixed(out, 7, std::bit_cast<std::uint64_t>(v.value));
      },
  };
}

}  // namespace

void scalar(Bytes& out, const ScalarValue& value) { std::visit(scalar_writer(out), value.value()); }

}  // namespace packed_build

namespace {

void append_value(Bytes& out, const RowValue& value);

void append_field(Bytes& out, std::string_view name, const RowValue& value) {
  append_run(out, as_span(name));
  append_value(out, value);
}

void append_fields(Bytes& out, const Row& row) {
  append_varint(out, row.size());
  for (const auto& [name, value] : row) append_field(out, name, value);
}

void append_value(Bytes& out, const RowValue& value) {
  std::visit(Overloaded{
                 packed_build::scalar_writer(out),
                 [&](const RowValue::Null&) { packed_build::null(out); },
                 [&](const RowValue::List& list) {
                   const std::size_t at = packed_build::open_list(out, list.size());
                   for (const RowValue& element : list) append_value(out, element);
                   packed_build::close_list(out, at);
                 },
                 [&](const RowValue::Object& object) {
                   out.push_back(kObject);
                   const std::size_t at = open_length(out);
                   append_fields(out, *object.row);
                   close_length(out, at);
                 },
             },
             value.value());
}

}  // namespace

void packed_build::value(Bytes& out, const RowValue& value) { append_value(out, value); }

namespace {

// One past a name and its value.
const std::uint8_t* skip_field(const std::uint8_t* at) {
  const std::uint64_t length = read_varint(at);
  return ValueView(at + length).end();
}

}  // namespace

const std::uint8_t* ValueView::end() const {
  const std::uint8_t* at = at_ + 1;
  switch (number()) {
    case 0:
      return at + 1;
    case 1:
    case 2:
    case 3:
    case 7:
      return at + 8;
    case 4:
    case 5: {
      const std::uint64_t length = read_varint(at);
      return at + length;
    }
    case 6:
      return at + 16;
    case kNull:
      return at;
    default:  // List, Object
      return at + sizeof(std::uint64_t) + read_u64(at);
  }
}

RowView ValueView::object() const { return RowView(at_ + 1 + sizeof(std::uint64_t)); }

ValueView::ListRange ValueView::list() const {
  const std::uint8_t* at = at_ + 1 + sizeof(std::uint64_t);
  const std::uint64_t count = read_varint(at);
  return ListRange(at, count);
}

std::optional<ScalarValue> ValueView::as_scalar() const {
  switch (number()) {
    case 0:
      return ScalarValue(ScalarValue::Bool{fixed<bool>()});
    case 1:
      return ScalarValue(ScalarValue::Int64{fixed<std::int64_t>()});
    case 2:
      return ScalarValue(ScalarValue::Uint64{fixed<std::uint64_t>()});
    case 3:
      return ScalarValue(ScalarValue::Float64{fixed<double>()});
    case 4:
      return ScalarValue(ScalarValue::String{std::string(text())});
    case 5: {
      const ByteSpan raw = bytes();
      return ScalarValue(ScalarValue::Bytes{Bytes(raw.begin(), raw.end())});
    }
    case 6: {
      ScalarValue::Uuid uuid_value{};
      std::memcpy(uuid_value.value.data(), at_ + 1, 16);
      return ScalarValue(uuid_value);
    }
    case 7:
      return ScalarValue(ScalarValue::Timestamp{fixed<std::int64_t>()});
    default:
      return std::nullopt;
  }
}

RowValue ValueView::to_value() const {
  if (std::optional<ScalarValue> scalar = as_scalar()) return RowValue(*scalar);
  switch (number()) {
    case kNull:
      return RowValue(RowValue::Null{});
    case kList: {
      const ListRange elements = list();
      RowValue::List out;
      out.reserve(elements.size());
      for (const ValueView element : elements) out.push_back(element.to_value());
      return RowValue(std::move(out));
    }
    default:
      QUARN_CHECK(number() == kObject, "row image holds an unknown value number");
      return RowValue::object(object().to_row());
  }
}

RowView::Field RowView::Iterator::operator*() const {
  const std::uint8_t* at = at_;
  const std::uint64_t length = read_varint(at);
  return Field{std::string_view(reinterpret_cast<const char*>(at), length), ValueView(at + length)};
}

RowView::Iterator& RowView::Iterator::operator++() {
  at_ = skip_field(at_);
  --left_;
  return *this;
}

RowView::Iterator RowView::begin() const {
  const std::uint8_t* at = at_;
  const std::uint64_t count = read_varint(at);
  return Iterator(at, count);
}

std::size_t RowView::size() const {
  const std::uint8_t* at = at_;
  return read_varint(at);
}

std::optional<ValueView> RowView::find(std::string_view name) const {
  // Scans call this for every row, so it compares a first byte before calling memcmp.
  const auto* wanted = reinterpret_cast<const std::uint8_t*>(name.data());
  const std::uint8_t* at = at_;
  for (std::uint64_t left = read_varint(at); left > 0; --left) {
    const std::uint64_t length = read_varint(at);
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
    if (value->number() != kObject) return std::nullopt;
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
  for (std::uint64_t left = read_varint(at); left > 0; --left) at = skip_field(at);
  return ByteSpan(at_, static_cast<std::size_t>(at - at_));
}

void append_packed_row(Bytes& out, const Row& row) { append_fields(out, row); }

bool operator==(RowView a, const Row& b) { return a.to_row() == b; }
bool operator==(RowView a, RowView b) { return a.to_row() == b.to_row(); }

}  // namespace quarn
