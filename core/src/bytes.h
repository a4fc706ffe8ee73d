// Byte buffers and the little-endian writer and reader every codec is built on.
// Includes nothing of quarn, so every layer may use it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

inline ByteSpan as_span(std::string_view text) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Hash and equality of maps keyed by Bytes; transparent, so a ByteSpan finds an entry without
// a copy.
struct ByteSpanHash {
  using is_transparent = void;
  std::size_t operator()(ByteSpan bytes) const {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
};
struct ByteSpanEq {
  using is_transparent = void;
  bool operator()(ByteSpan a, ByteSpan b) const { return std::ranges::equal(a, b); }
};

// The little-endian number in bytes [at, at + width). REQUIRES: width <= 8, in range.
inline std::uint64_t load_le(ByteSpan bytes, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
  return v;
}

// Writes v little-endian into bytes [at, at + width): for fixed records built in place and
// appended at once. REQUIRES: width <= 8, in range.
inline void store_le(std::span<std::uint8_t> bytes, std::size_t at, std::size_t width,
                     std::uint64_t v) {
  for (std::size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// LEB128, for lengths and counts held in memory: seven bits a byte, low bits first, the top bit
// set on every byte but the last. At most kMaxLeb128Size bytes for a 64-bit number.
inline constexpr std::size_t kMaxLeb128Size = 10;

struct Leb128 {
  std::array<std::uint8_t, kMaxLeb128Size> bytes;
  std::size_t size = 0;

  const std::uint8_t* begin() const { return bytes.data(); }
  const std::uint8_t* end() const { return bytes.data() + size; }
};

// Hands value's LEB128 bytes to put(std::uint8_t), first byte first.
template <class Put>
void encode_leb128(std::uint64_t value, Put put) {
  for (; value >= 0x80; value >>= 7) put(static_cast<std::uint8_t>(value | 0x80));
  put(static_cast<std::uint8_t>(value));
}

inline Leb128 encode_leb128(std::uint64_t value) {
  Leb128 out;
  encode_leb128(value, [&out](std::uint8_t byte) { out.bytes[out.size++] = byte; });
  return out;
}

// The number at `at`, which it moves past. REQUIRES: a whole number lies there; nothing is
// checked, so only bytes this process wrote are read this way.
inline std::uint64_t read_leb128(const std::uint8_t*& at) {
  std::uint64_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t byte = *at++;
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return value;
  }
}

// The number at offset at of bytes, as read_leb128 reads it; at moves past it.
inline std::size_t read_leb128_at(ByteSpan bytes, std::size_t& at) {
  const std::uint8_t* const start = bytes.data();
  const std::uint8_t* p = start + at;
  const std::uint64_t n = read_leb128(p);
  at = static_cast<std::size_t>(p - start);
  return static_cast<std::size_t>(n);
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool is_valid_utf8(ByteSpan s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const std::uint8_t b = s[i];
    std::size_t n = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (s.size() - i - 1 < n) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k <= n; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    }
    i += n + 1;
  }
  return true;
}

// Appends little-endian fixed-width integers and length-prefixed strings to a buffer it does
// not own.
class ByteWriter {
 public:
  explicit ByteWriter(Bytes& out) : out_(out) {}

  void put_u8(std::uint8_t v) { out_.push_back(v); }
  void put_u16(std::uint16_t v) { put_le<2>(v); }
  void put_u32(std::uint32_t v) { put_le<4>(v); }
  void put_u64(std::uint64_t v) { put_le<8>(v); }
  void put_i64(std::int64_t v) { put_le<8>(static_cast<std::uint64_t>(v)); }
  void put_f64(double v) { put_le<8>(std::bit_cast<std::uint64_t>(v)); }
  void put_zeros(std::size_t n) { out_.insert(out_.end(), n, std::uint8_t{0}); }
  void put_bytes(ByteSpan bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
  void put_bytes(std::string_view bytes) { put_bytes(as_span(bytes)); }
  // REQUIRES: bytes.size() fits in 32 bits (callers check and report their own error).
  void put_len_prefixed(ByteSpan bytes) {
    put_u32(static_cast<std::uint32_t>(bytes.size()));
    put_bytes(bytes);
  }
  void put_len_prefixed(std::string_view text) { put_len_prefixed(as_span(text)); }

  std::size_t size() const { return out_.size(); }

 private:
  // Byte by byte: for a few bytes, push_back's inline path costs less than a call to insert.
  template <std::size_t N>
  void put_le(std::uint64_t v) {
    for (std::size_t i = 0; i < N; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  Bytes& out_;
};

// Reads little-endian values off a span. A get_* short of bytes returns false and consumes
// nothing; the codec turns that into its own exact error.
class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) : data_(data) {}

  std::size_t remaining() const { return data_.size() - pos_; }
  std::size_t position() const { return pos_; }
  bool at_end() const { return pos_ == data_.size(); }

  bool get_u8(std::uint8_t& v) {
    std::uint64_t x;
    if (!get_le(x, 1)) return false;
    v = static_cast<std::uint8_t>(x);
    return true;
  }
  bool get_u16(std::uint16_t& v) {
    std::uint64_t x;
    if (!get_le(x, 2)) return false;
    v = static_cast<std::uint16_t>(x);
    return true;
  }
  bool get_u32(std::uint32_t& v) {
    std::uint64_t x;
    if (!get_le(x, 4)) return false;
    v = static_cast<std::uint32_t>(x);
    return true;
  }
  bool get_u64(std::uint64_t& v) { return get_le(v, 8); }
  bool get_i64(std::int64_t& v) {
    std::uint64_t x;
    if (!get_le(x, 8)) return false;
    v = static_cast<std::int64_t>(x);
    return true;
  }
  bool get_f64(double& v) {
    std::uint64_t x;
    if (!get_le(x, 8)) return false;
    v = std::bit_cast<double>(x);
    return true;
  }
  // A view of the next n bytes, valid as long as the underlying data.
  bool get_span(std::size_t n, ByteSpan& v) {
    if (remaining() < n) return false;
    v = data_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  bool get_bytes(std::size_t n, Bytes& v) {
    ByteSpan s;
    if (!get_span(n, s)) return false;
    v.assign(s.begin(), s.end());
    return true;
  }
  bool skip(std::size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }
  ByteSpan rest() const { return data_.subspan(pos_); }

 private:
  bool get_le(std::uint64_t& v, std::size_t n) {
    if (remaining() < n) return false;
    v = load_le(data_, pos_, n);
    pos_ += n;
    return true;
  }
  ByteSpan data_;
  std::size_t pos_ = 0;
};

// ByteReader's reads as results, for codecs built on QUARN_ASSIGN_OR_RETURN: each take_* returns
// the value, or, consuming nothing, the one error its codec reports for a short read. A length
// read off the data is tested against the remaining bytes before anything is allocated for it.
// The codec names that error once, in its adaptor:
//   struct Adaptor {
//     template <class T> using Result = ...;  // the codec's result type
//     Error short_read() const;               // convertible to every Result<T>
//   };
template <class Adaptor>
class ByteCursor {
 public:
  template <class T>
  using Result = typename Adaptor::template Result<T>;

  // Reads from `position` on; a position past the end leaves nothing to read.
  explicit ByteCursor(ByteSpan data, std::size_t position = 0, Adaptor adaptor = {})
      : reader_(data.subspan(position < data.size() ? position : data.size())),
        start_(position),
        adaptor_(std::move(adaptor)) {}

  std::size_t position() const { return start_ + reader_.position(); }
  std::size_t remaining() const { return reader_.remaining(); }
  bool at_end() const { return reader_.at_end(); }
  ByteSpan rest() const { return reader_.rest(); }

  Result<std::uint8_t> take_u8() { return take(&ByteReader::get_u8); }
  Result<std::uint16_t> take_u16() { return take(&ByteReader::get_u16); }
  Result<std::uint32_t> take_u32() { return take(&ByteReader::get_u32); }
  Result<std::uint64_t> take_u64() { return take(&ByteReader::get_u64); }
  Result<std::int64_t> take_i64() { return take(&ByteReader::get_i64); }
  Result<double> take_f64() { return take(&ByteReader::get_f64); }
  // A view of the next n bytes, valid as long as the data.
  Result<ByteSpan> take_span(std::size_t n) {
    ByteSpan v;
    if (!reader_.get_span(n, v)) return adaptor_.short_read();
    return v;
  }
  // A copy of the next n bytes.
  Result<Bytes> take_bytes(std::size_t n) {
    ByteSpan v;
    if (!reader_.get_span(n, v)) return adaptor_.short_read();
    return Bytes(v.begin(), v.end());
  }
  // A u32 length and a view of that many bytes, as ByteWriter::put_len_prefixed writes them; a
  // short length and a short body are the same error.
  Result<ByteSpan> take_len_prefixed() {
    const ByteSpan rest = reader_.rest();
    if (rest.size() < 4 || rest.size() - 4 < load_le(rest, 0, 4)) return adaptor_.short_read();
    std::uint32_t n = 0;
    reader_.get_u32(n);
    return take_span(n);
  }

 private:
  template <class T>
  Result<T> take(bool (ByteReader::*get)(T&)) {
    T v{};
    if (!(reader_.*get)(v)) return adaptor_.short_read();
    return v;
  }

  ByteReader reader_;
  std::size_t start_;
  [[no_unique_address]] Adaptor adaptor_;
};

}  // namespace quarn
