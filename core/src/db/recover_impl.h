// The store-generic body of tail recovery. recover.cc instantiates it for the engine's stores; a
// test instantiates it for its own.
#pragma once

#include <array>
#include <limits>
#include <vector>

#include "db/recover.h"
#include "segments/header.h"
#include "segments/reader.h"
#include "txn.h"

namespace quarn {
namespace recover_detail {

inline DbError framing_error(const char* what) { return FormatError::InvalidTxnPayload{what}; }

template <Store S>
Result<std::uint64_t> read_marker(S& store, const SegmentMeta& meta) {
  QUARN_ASSIGN_OR_RETURN(const Bytes payload, read_segment_payload(store, meta));
  return decode_txn_payload_v0(payload);
}

inline std::uint64_t segment_end(const SegmentMeta& meta) {
  return meta.offset + kSegmentHeaderSize + meta.header.payload_len;
}

}  // namespace recover_detail

template <Store S>
Result<std::uint64_t> truncate_end_for_recovery(S& store, std::uint64_t data_start,
                                                std::uint16_t format_minor) {
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());

  std::vector<SegmentMeta> segments;
  std::uint64_t off = data_start;
  std::array<std::uint8_t, kSegmentHeaderSize> header_bytes;
  while (off < len && len - off >= kSegmentHeaderSize) {
    QUARN_TRY(store.read_exact_at(off, header_bytes));
    QUARN_ASSIGN_OR_RETURN(const SegmentHeader header, decode_segment_header(header_bytes));
    const std::uint64_t payload_at = off + kSegmentHeaderSize;
    // A length reaching past the store (or past 2^64) is a segment still being written.
    if (header.payload_len > len - payload_at) break;
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t crc,
                           stream_crc32c(store, payload_at, header.payload_len));
    if (payload_crc_checked(header.segment_type) && crc != header.payload_crc) {
      return FormatError::SegmentPayloadChecksumMismatch{};
    }
    segments.push_back(SegmentMeta{off, header});
    off = payload_at + header.payload_len;
  }

  std::uint64_t candidate = data_start;
  if (format_minor < 6) {
    if (!segments.empty()) candidate = recover_detail::segment_end(segments.back());
    return candidate >= len ? len : candidate;
  }

  bool open = false;
  std::uint64_t open_id = 0;
  std::uint64_t open_at = 0;
  for (const SegmentMeta& meta : segments) {
    switch (meta.header.segment_type) {
      case SegmentType::TxnBegin: {
        if (open) return recover_detail::framing_error("nested TxnBegin before TxnCommit");
        QUARN_ASSIGN_OR_RETURN(open_id, recover_detail::read_marker(store, meta));
        open = true;
        open_at = meta.offset;
        candidate = meta.offset;
        break;
      }
      case SegmentType::TxnCommit: {
        QUARN_ASSIGN_OR_RETURN(const std::uint64_t id, recover_detail::read_marker(store, meta));
        if (!open) return recover_detail::framing_error("TxnCommit outside transaction");
        if (id != open_id)
          return recover_detail::framing_error("TxnCommit txn_id does not match TxnBegin");
        open = false;
        candidate = recover_detail::segment_end(meta);
        break;
      }
      case SegmentType::TxnAbort: {
        QUARN_TRY(recover_detail::read_marker(store, meta));
        open = false;
        candidate = recover_detail::segment_end(meta);
        break;
      }
      default:
        if (!open) candidate = recover_detail::segment_end(meta);
        break;
    }
  }
  if (open) return open_at;
  return candidate >= len ? len : candidate;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_RECOVER(S) \
  template Result<std::uint64_t> truncate_end_for_recovery<S>(S&, std::uint64_t, std::uint16_t);
