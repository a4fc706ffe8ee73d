// The 32-byte segment header that frames every payload of the log, and the segment types.
#pragma once

#include <array>
#include <cstdint>

#include "bytes.h"
#include "result.h"

namespace quarn {

// The kind of a segment. These numbers are on disk: frozen, never reuse or renumber.
enum class SegmentType : std::uint16_t {
  Catalog = 1,
  Record = 2,
  Manifest = 3,
  Checkpoint = 4,
  Index = 5,
  TxnBegin = 6,
  TxnCommit = 7,
  TxnAbort = 8,
  TempSpill = 9,
};

inline constexpr std::uint16_t kMinSegmentType = 1;
inline constexpr std::uint16_t kMaxSegmentType = 9;

// Checkpoint and spill payloads are not checked by the scan: a bad one is passed over, not fatal.
inline constexpr bool payload_crc_checked(SegmentType type) {
  return type != SegmentType::Checkpoint && type != SegmentType::TempSpill;
}

// Catalog, record and index segments carry the state that replay rebuilds.
inline constexpr bool is_data_segment(SegmentType type) {
  return type == SegmentType::Catalog || type == SegmentType::Record || type == SegmentType::Index;
}

// Begin, commit and abort segments frame transactions in a 0.6 log.
inline constexpr bool is_txn_marker(SegmentType type) {
  return type == SegmentType::TxnBegin || type == SegmentType::TxnCommit ||
         type == SegmentType::TxnAbort;
}

inline constexpr std::size_t kSegmentHeaderSize = 32;
inline constexpr std::array<std::uint8_t, 4> kSegmentMagic = {'Q', 'S', 'G', '0'};
inline constexpr std::uint16_t kSegmentVersion = 0;

// Field offsets inside the header.
inline constexpr std::size_t kSegmentMagicAt = 0;
inline constexpr std::size_t kSegmentVersionAt = 4;
inline constexpr std::size_t kSegmentTypeAt = 6;
inline constexpr std::size_t kSegmentHeaderLenAt = 8;
inline constexpr std::size_t kSegmentPayloadLenAt = 12;
inline constexpr std::size_t kSegmentPayloadCrcAt = 20;
inline constexpr std::size_t kSegmentFlagsAt = 24;
inline constexpr std::size_t kSegmentZeroAt = 25;
inline constexpr std::size_t kSegmentHeaderCrcAt = 28;

struct SegmentHeader {
  std::uint64_t payload_len = 0;
  std::uint32_t payload_crc = 0;  // crc32c of the payload; 0 for an empty one
  SegmentType segment_type = SegmentType::Catalog;

  // The 32 header bytes; the caller supplies payload_crc.
  Bytes encode() const;

  bool operator==(const SegmentHeader&) const = default;
};

// Appends the 32 header bytes: magic, version 0, the type, 32, the payload length and CRC,
// flags 0, three zero bytes, and the CRC-32C of the first 28 bytes.
void encode_segment_header(const SegmentHeader& header, Bytes& out);

// Checks, in order: at least 32 bytes (TruncatedSegmentHeader), magic "QSG0" (BadSegmentMagic),
// then UnsupportedVersion 0.x for version not 0, type outside 1 to 9, header length not 32 (its
// low 16 bits) and flags not 0, and last the header CRC (SegmentHeaderChecksumMismatch). The
// payload CRC is the scan's business, not the decoder's.
Result<SegmentHeader> decode_segment_header(ByteSpan bytes);

}  // namespace quarn
