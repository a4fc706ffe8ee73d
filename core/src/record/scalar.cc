// Scalar values, their tagged encoding and canonical key bytes.
//
// Tagged scalar: one kind byte, then the payload.
//   0 Bool       1 byte, 1 or 0 (any non-zero byte reads as true)
//   1 Int64      8 bytes, signed, little-endian (7 Timestamp the same)
//   2 Uint64     8 bytes, little-endian
//   3 Float64    8 bytes, IEEE-754 bit pattern, little-endian
//   4 String     u32 byte length, then UTF-8 bytes
//   5 Bytes      u32 byte length, then the bytes
//   6 Uuid       16 bytes
#include "record/scalar.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "record/packed_row.h"

namespace quarn {

namespace {

std::string decimal_list(const std::uint8_t* data, std::size_t size) {
  std::string out = "[";
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(data[i]);
  }
  out += "]";
  return out;
}

}  // namespace

quarn::Bytes ScalarValue::canonical_key_bytes() const {
  quarn::Bytes out;
  append_canonical_key_bytes(out);
  return out;
}

void ScalarValue::append_canonical_key_bytes(quarn::Bytes& out) const {
  ByteWriter w(out);
  std::visit(Overloaded{
                 [&](const Bool& v) {
                   w.put_u8(0x00);
                   w.put_u8(v.value ? 0x01 : 0x00);
                 },
                 [&](const Int64& v) { w.put_i64(v.value); },
                 [&](const Uint64& v) { w.put_u64(v.value); },
                 [&](const Float64& v) { w.put_f64(v.value); },
                 [&](const String& v) { w.put_bytes(v.value); },
                 [&](const Bytes& v) { w.put_bytes(ByteSpan(v.value)); },
                 [&](const Uuid& v) { w.put_bytes(ByteSpan(v.value)); },
                 [&](const Timestamp& v) { w.put_i64(v.value); },
             },
             value_);
}

bool ScalarValue::operator==(const ScalarValue& other) const { return value_ == other.value_; }

std::string ScalarValue::debug() const {
  return std::visit(
      Overloaded{
          [](const Bool& v) { return std::string("Bool(") + (v.value ? "true" : "false") + ")"; },
          [](const Int64& v) { return "Int64(" + std::to_string(v.value) + ")"; },
          [](const Uint64& v) { return "Uint64(" + std::to_string(v.value) + ")"; },
          [](const Float64& v) { return "Float64(" + debug_f64(v.value) + ")"; },
          [](const String& v) { return "String(" + debug_string(v.value) + ")"; },
          [](const Bytes& v) {
            return "Bytes(" + decimal_list(v.value.data(), v.value.size()) + ")";
          },
          [](const Uuid& v) {
            return "Uuid(" + decimal_list(v.value.data(), v.value.size()) + ")";
          },
          [](const Timestamp& v) { return "Timestamp(" + std::to_string(v.value) + ")"; },
      },
      value_);
}

std::string debug_f64(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4)) {
    // Shortest round-trip digits; the library writes "1.5e-07" and "1e+16", we want
    // "1.5e-7" and "1e16".
    const auto [end, ec] =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    QUARN_CHECK(ec == std::errc(), "to_chars of a double");
    const std::string text(buf, end);
    const std::size_t e = text.find('e');
    std::string out = text.substr(0, e + 1);
    std::size_t i = e + 1;
    if (text[i] == '-') {
      out += '-';
      ++i;
    } else if (text[i] == '+') {
      ++i;
    }
    while (i + 1 < text.size() && text[i] == '0') ++i;
    out.append(text, i, std::string::npos);
    return out;
  }
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  QUARN_CHECK(ec == std::errc(), "to_chars of a double");
  std::string out(buf, end);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

Status check_encoded_length(std::size_t length) {
  if (static_cast<std::uint64_t>(length) > kMaxEncodedLength) {
    return FormatError::RecordTypeMismatch{};
  }
  return ok_status();
}

Status encode_tagged_scalar(Bytes& out, const ScalarValue& value, const Type& type) {
  // Encoded from its image, so that there is one writer of the format.
  Bytes image;
  packed_build::scalar(image, value);
  return encode_tagged_scalar(out, ValueView(image.data()), type);
}

Status encode_tagged_scalar(Bytes& out, ValueView value, const Type& type) {
  if (!value.is_primitive() || static_cast<std::uint8_t>(value.number()) != type.number()) {
    return FormatError::RecordTypeMismatch{};
  }
  // Lengths are checked before the kind byte so that a refused value writes nothing.
  if (value.number() == ValueNumber::String || value.number() == ValueNumber::Bytes) {
    QUARN_TRY(check_encoded_length(value.bytes().size()));
  }
  ByteWriter w(out);
  w.put_u8(type.number());
  value.visit(Overloaded{
      [&](ValueView::Bool v) { w.put_u8(v.value ? 1 : 0); },
      [&](ValueView::Int64 v) { w.put_i64(v.value); },
      [&](ValueView::Uint64 v) { w.put_u64(v.value); },
      [&](ValueView::Float64 v) { w.put_f64(v.value); },
      [&](ValueView::String v) { w.put_len_prefixed(v.value); },
      [&](ValueView::Bytes v) { w.put_len_prefixed(v.value); },
      [&](ValueView::Uuid v) { w.put_bytes(v.value); },
      [&](ValueView::Timestamp v) { w.put_i64(v.value); },
      // Refused above.
      [](ValueView::Null) {},
      [](const ValueView::List&) {},
      [](const ValueView::Object&) {},
  });
  return ok_status();
}

namespace {

// The one reading of a tagged scalar, its checks in order, handing what it read to a sink that
// builds the value (ScalarSink) or writes its image (ImageSink).
template <class Sink>
Result<typename Sink::Out> decode_tagged(record::scalar::Cursor& reader, const Type& type,
                                         Sink sink) {
  QUARN_ASSIGN_OR_RETURN(const std::uint8_t kind, reader.take_u8());
  if (!type.is_primitive()) return FormatError::UnsupportedTypeInV1{};
  if (kind != type.number()) return FormatError::RecordTypeMismatch{};
  switch (type.kind()) {
    case Type::Kind::Bool: {
      QUARN_ASSIGN_OR_RETURN(const std::uint8_t b, reader.take_u8());
      return sink.boolean(b != 0);
    }
    case Type::Kind::Int64:
    case Type::Kind::Uint64:
    case Type::Kind::Float64:
    case Type::Kind::Timestamp: {
      QUARN_ASSIGN_OR_RETURN(const std::uint64_t bits, reader.take_u64());
      return sink.fixed(type.kind(), bits);
    }
    case Type::Kind::String: {
      QUARN_ASSIGN_OR_RETURN(const std::uint32_t len, reader.take_u32());
      QUARN_ASSIGN_OR_RETURN(const ByteSpan text, reader.take_span(len));
      if (!is_valid_utf8(text)) return FormatError::InvalidRecordUtf8{};
      return sink.text(text);
    }
    case Type::Kind::Bytes: {
      QUARN_ASSIGN_OR_RETURN(const std::uint32_t len, reader.take_u32());
      QUARN_ASSIGN_OR_RETURN(const ByteSpan bytes, reader.take_span(len));
      return sink.bytes(bytes);
    }
    case Type::Kind::Uuid: {
      QUARN_ASSIGN_OR_RETURN(const ByteSpan bytes, reader.take_span(16));
      return sink.uuid(bytes);
    }
    default:
      break;
  }
  return FormatError::UnsupportedTypeInV1{};
}

struct ScalarSink {
  using Out = ScalarValue;
  ScalarValue boolean(bool b) const { return ScalarValue(ScalarValue::Bool{b}); }
  ScalarValue fixed(Type::Kind kind, std::uint64_t bits) const {
    switch (kind) {
      case Type::Kind::Int64:
        return ScalarValue(ScalarValue::Int64{std::bit_cast<std::int64_t>(bits)});
      case Type::Kind::Uint64:
        return ScalarValue(ScalarValue::Uint64{bits});
      case Type::Kind::Float64:
        return ScalarValue(ScalarValue::Float64{std::bit_cast<double>(bits)});
      default:
        return ScalarValue(ScalarValue::Timestamp{std::bit_cast<std::int64_t>(bits)});
    }
  }
  ScalarValue text(ByteSpan text) const {
    return ScalarValue(ScalarValue::String{std::string(text.begin(), text.end())});
  }
  ScalarValue bytes(ByteSpan bytes) const {
    return ScalarValue(ScalarValue::Bytes{quarn::Bytes(bytes.begin(), bytes.end())});
  }
  ScalarValue uuid(ByteSpan bytes) const {
    ScalarValue::Uuid uuid{};
    std::copy(bytes.begin(), bytes.end(), uuid.value.begin());
    return ScalarValue(uuid);
  }
};

// Writes only what decode_tagged has checked (a text after its UTF-8 test), so the image is
// valid whatever the stored bytes held.
struct ImageSink {
  using Out = void;
  quarn::Bytes& out;
  Status boolean(bool b) const {
    packed_build::boolean(out, b);
    return ok_status();
  }
  Status fixed(Type::Kind kind, std::uint64_t bits) const {
    packed_build::fixed(out, value_number(kind), bits);
    return ok_status();
  }
  Status text(ByteSpan text) const {
    packed_build::run(out, ValueNumber::String, text);
    return ok_status();
  }
  Status bytes(ByteSpan bytes) const {
    packed_build::run(out, ValueNumber::Bytes, bytes);
    return ok_status();
  }
  Status uuid(ByteSpan bytes) const {
    packed_build::uuid(out, bytes);
    return ok_status();
  }
};

}  // namespace

Result<ScalarValue> decode_tagged_scalar(record::scalar::Cursor& reader, const Type& type) {
  return decode_tagged(reader, type, ScalarSink{});
}

Status decode_tagged_scalar_packed(record::scalar::Cursor& reader, const Type& type,
                                   quarn::Bytes& out) {
  return decode_tagged(reader, type, ImageSink{out});
}

}  // namespace quarn
