// The 32-byte segment header and the segment types.
//
//   [0, 4)    magic "QSG0"
//   [4, 6)    version, u16: 0
//   [6, 8)    segment type, u16: 1 to 9
//   [8, 12)   header length, u32: 32
//   [12, 20)  payload length, u64
//   [20, 24)  CRC-32C of the payload, u32
//   [24, 25)  flags, u8: 0
//   [25, 28)  zero (covered by the header CRC only)
//   [28, 32)  CRC-32C of [0, 28), u32
#include "segments/header.h"

#include <algorithm>
#include <array>

#include "checksum.h"

namespace quarn {

// Each field of the table starts where the one before it ends.
static_assert(kSegmentVersionAt == kSegmentMagicAt + kSegmentMagic.size());
static_assert(kSegmentTypeAt == kSegmentVersionAt + 2);
static_assert(kSegmentHeaderLenAt == kSegmentTypeAt + 2);
static_assert(kSegmentPayloadLenAt == kSegmentHeaderLenAt + 4);
static_assert(kSegmentPayloadCrcAt == kSegmentPayloadLenAt + 8);
static_assert(kSegmentFlagsAt == kSegmentPayloadCrcAt + 4);
static_assert(kSegmentZeroAt == kSegmentFlagsAt + 1);
static_assert(kSegmentHeaderSize == kSegmentHeaderCrcAt + 4);

Bytes SegmentHeader::encode() const {
  Bytes out;
  encode_segment_header(*this, out);
  return out;
}

void encode_segment_header(const SegmentHeader& header, Bytes& out) {
  // Built in place and appended at once: every segment of the log has one.
  std::array<std::uint8_t, kSegmentHeaderSize> bytes{};  // the flags and the zero bytes stay 0
  std::copy(kSegmentMagic.begin(), kSegmentMagic.end(), bytes.begin() + kSegmentMagicAt);
  store_le(bytes, kSegmentVersionAt, 2, kSegmentVersion);
  store_le(bytes, kSegmentTypeAt, 2, static_cast<std::uint16_t>(header.segment_type));
  store_le(bytes, kSegmentHeaderLenAt, 4, kSegmentHeaderSize);
  store_le(bytes, kSegmentPayloadLenAt, 8, header.payload_len);
  store_le(bytes, kSegmentPayloadCrcAt, 4, header.payload_crc);
  store_le(bytes, kSegmentHeaderCrcAt, 4, crc32c(ByteSpan(bytes).first(kSegmentHeaderCrcAt)));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

Result<SegmentHeader> decode_segment_header(ByteSpan bytes) {
  if (bytes.size() < kSegmentHeaderSize) {
    return FormatError::TruncatedSegmentHeader{bytes.size(), kSegmentHeaderSize};
  }
  std::array<std::uint8_t, kSegmentMagic.size()> magic{};
  std::copy_n(bytes.begin() + kSegmentMagicAt, magic.size(), magic.begin());
  if (magic != kSegmentMagic) return FormatError::BadSegmentMagic{magic};
  const auto version = static_cast<std::uint16_t>(load_le(bytes, kSegmentVersionAt, 2));
  if (version != kSegmentVersion) return FormatError::UnsupportedVersion{0, version};
  const auto type = static_cast<std::uint16_t>(load_le(bytes, kSegmentTypeAt, 2));
  if (type < kMinSegmentType || type > kMaxSegmentType) {
    return FormatError::UnsupportedVersion{0, type};
  }
  const auto header_len = load_le(bytes, kSegmentHeaderLenAt, 4);
  if (header_len != kSegmentHeaderSize) {
    return FormatError::UnsupportedVersion{0, static_cast<std::uint16_t>(header_len & 0xFFFF)};
  }
  const std::uint8_t flags = bytes[kSegmentFlagsAt];
  if (flags != 0) return FormatError::UnsupportedVersion{0, flags};
  const auto stored = static_cast<std::uint32_t>(load_le(bytes, kSegmentHeaderCrcAt, 4));
  if (stored != crc32c(bytes.first(kSegmentHeaderCrcAt))) {
    return FormatError::SegmentHeaderChecksumMismatch{};
  }
  SegmentHeader h;
  h.payload_len = load_le(bytes, kSegmentPayloadLenAt, 8);
  h.payload_crc = static_cast<std::uint32_t>(load_le(bytes, kSegmentPayloadCrcAt, 4));
  h.segment_type = static_cast<SegmentType>(type);
  return h;
}

}  // namespace quarn
