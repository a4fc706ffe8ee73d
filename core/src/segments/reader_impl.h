// The store-generic bodies of the segment scan and payload reads. reader.cc instantiates them for
// the engine's stores; a test instantiates them for its own.
#pragma once

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>

#include "checksum.h"
#include "segments/reader.h"

namespace quarn {
namespace reader_detail {

// pos + 32 + payload_len, or nothing when that passes 2^64 - 1.
inline std::optional<std::uint64_t> segment_end(std::uint64_t pos, std::uint64_t payload_len) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (pos > kMax - kSegmentHeaderSize) return std::nullopt;
  const std::uint64_t payload_at = pos + kSegmentHeaderSize;
  if (payload_len > kMax - payload_at) return std::nullopt;
  return payload_at + payload_len;
}

}  // namespace reader_detail

template <Store S>
Result<std::uint32_t> stream_crc32c(S& store, std::uint64_t offset, std::uint64_t length) {
  std::array<std::uint8_t, kPayloadChunkSize> buffer;
  std::uint32_t crc = 0;
  std::uint64_t done = 0;
  while (done < length) {
    const auto chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(length - done, buffer.size()));
    const std::span<std::uint8_t> piece(buffer.data(), chunk);
    QUARN_TRY(store.read_exact_at(offset + done, piece));
    crc = crc32c_append(crc, piece);
    done += chunk;
  }
  return crc;
}

namespace reader_detail {

// What a walk does at a torn tail: the strict scan fails, recovery stops there.
enum class TornTail { Fail, Stop };

// The one walk of the log: the segments from start up to len, each header decoded and each
// payload checksummed (also those whose checksum is not enforced, so that a read error anywhere
// in the log surfaces here).
template <Store S>
Result<std::vector<SegmentMeta>> walk_segments(S& store, std::uint64_t start, std::uint64_t len,
                                               TornTail torn) {
  std::vector<SegmentMeta> segments;
  // Room for as many segments as the bytes could hold (each is at least a header), so the list
  // is not copied as it grows; capped, since an untouched reservation costs address space only
  // up to a point.
  constexpr std::uint64_t kMaxReserved = std::uint64_t{1} << 20;
  if (len > start) {
    segments.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>((len - start) / kSegmentHeaderSize, kMaxReserved)));
  }
  std::uint64_t pos = start;
  std::array<std::uint8_t, kSegmentHeaderSize> header_bytes;
  while (pos < len) {
    if (len - pos < kSegmentHeaderSize) {
      if (torn == TornTail::Stop) break;
      return FormatError::TruncatedSegmentHeader{len - pos, kSegmentHeaderSize};
    }
    QUARN_TRY(store.read_exact_at(pos, header_bytes));
    QUARN_ASSIGN_OR_RETURN(const SegmentHeader header, decode_segment_header(header_bytes));
    const std::optional<std::uint64_t> end = reader_detail::segment_end(pos, header.payload_len);
    if (!end || *end > len) {
      // A length reaching past the store (or past 2^64) is a segment still being written.
      if (torn == TornTail::Stop) break;
      return FormatError::SegmentPayloadPastEof{};
    }
    std::uint32_t crc;
    if constexpr (InMemoryStore<S>) {
      // The bytes are in memory, and within the store: checksummed where they lie.
      crc = crc32c(ByteSpan(store.bytes().data() + pos + kSegmentHeaderSize,
                            static_cast<std::size_t>(header.payload_len)));
    } else {
      QUARN_ASSIGN_OR_RETURN(crc,
                             stream_crc32c(store, pos + kSegmentHeaderSize, header.payload_len));
    }
    if (payload_crc_checked(header.segment_type) && crc != header.payload_crc) {
      return FormatError::SegmentPayloadChecksumMismatch{};
    }
    segments.push_back(SegmentMeta{pos, header});
    pos = *end;
  }
  return segments;
}

}  // namespace reader_detail

template <Store S>
Result<std::vector<SegmentMeta>> scan_segments(S& store, std::uint64_t start) {
  // The length is taken once: the scan describes the store as it was when it began.
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  return reader_detail::walk_segments(store, start, len, reader_detail::TornTail::Fail);
}

template <Store S>
Result<std::vector<SegmentMeta>> scan_complete_segments(S& store, std::uint64_t start,
                                                        std::uint64_t len) {
  return reader_detail::walk_segments(store, start, len, reader_detail::TornTail::Stop);
}

template <Store S>
Status append_segment_payload(S& store, const SegmentMeta& meta, Bytes& out) {
  // The length comes off the disk: bound it by the store before allocating for it. A range past
  // the end is reported by the store in its own words, through a one-byte read at its end.
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  const std::optional<std::uint64_t> end =
      reader_detail::segment_end(meta.offset, meta.header.payload_len);
  if (!end || *end > len) {
    std::array<std::uint8_t, 1> past_end;
    QUARN_TRY(store.read_exact_at(len, past_end));
    return FormatError::SegmentPayloadPastEof{};
  }
  return append_scanned_segment_payload(store, meta, out);
}

template <Store S>
Status append_scanned_segment_payload(S& store, const SegmentMeta& meta, Bytes& out) {
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(meta.header.payload_len));
  return store.read_exact_at(meta.offset + kSegmentHeaderSize,
                             std::span<std::uint8_t>(out.data() + at, out.size() - at));
}

template <Store S>
Result<Bytes> read_segment_payload(S& store, const SegmentMeta& meta) {
  Bytes payload;
  QUARN_TRY(append_segment_payload(store, meta, payload));
  return payload;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_SEGMENTS_READER(S)                                             \
  template Result<std::uint32_t> stream_crc32c<S>(S&, std::uint64_t, std::uint64_t);     \
  template Result<std::vector<SegmentMeta>> scan_segments<S>(S&, std::uint64_t);         \
  template Result<std::vector<SegmentMeta>> scan_complete_segments<S>(S&, std::uint64_t, \
                                                                      std::uint64_t);    \
  template Result<Bytes> read_segment_payload<S>(S&, const SegmentMeta&);                \
  template Status append_segment_payload<S>(S&, const SegmentMeta&, Bytes&);             \
  template Status append_scanned_segment_payload<S>(S&, const SegmentMeta&, Bytes&);
