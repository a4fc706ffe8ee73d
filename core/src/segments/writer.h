// Appending checksummed segments to the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bytes.h"
#include "result.h"
#include "segments/header.h"
#include "storage.h"

namespace quarn {

// One segment to append: a view of a payload owned by the caller.
struct SegmentView {
  SegmentType type;
  ByteSpan payload;
};

// The header of a segment holding payload, its CRC-32C included.
SegmentHeader segment_header_for(SegmentType type, ByteSpan payload);
// Appends the segment to out as the log holds it: that header, then the payload.
void append_encoded_segment(SegmentType type, ByteSpan payload, Bytes& out);

// Segments encoded as the log holds them (each header, then its payload), back to back in a few
// large pieces: a transaction stages its writes here, so that a large one costs its bytes and
// not an allocation per segment, and its commit writes the pieces as they are.
class EncodedSegments {
 public:
  // Encodes the segment after the ones held, as SegmentWriter::append would write it.
  void append(SegmentType type, ByteSpan payload);
  // The same; a payload of a run or more becomes a piece of its own instead of being copied.
  void append(SegmentType type, Bytes&& payload);
  bool empty() const { return count_ == 0; }
  // Segments held.
  std::size_t count() const { return count_; }
  // The encoded bytes, headers included.
  std::uint64_t bytes() const { return bytes_; }
  // The encoded bytes in order.
  std::span<const Bytes> pieces() const { return pieces_; }

 private:
  // The last piece, first started anew when it has less than `bytes` of room left.
  Bytes& room_for(std::size_t bytes);

  std::vector<Bytes> pieces_;
  std::size_t count_ = 0;
  std::uint64_t bytes_ = 0;
};

// Bytes append_all gathers before it writes.
inline constexpr std::size_t kAppendRunBytes = std::size_t{1} << 20;
// The most a writer's run buffer keeps between commits: enough for any one-row commit.
inline constexpr std::size_t kKeptRunCapacity = std::size_t{64} << 10;

// Appends segments at a running offset. Short-lived: made at the offset to append at (normally
// the store length, never below the data start), dropped after its appends. Borrows the store,
// which must outlive it. Writes are not synced; durability is the caller's business.
template <Store S>
class SegmentWriter {
 public:
  SegmentWriter(S& store, std::uint64_t offset) : store_(store), offset_(offset) {}
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Writes the 32-byte header (with the payload's CRC-32C) and then the payload at offset();
  // returns the header's offset and advances offset() past the payload. InvalidInput "overflow"
  // when the segment would end past 2^64 - 1, before anything is written. A failed header write
  // leaves offset() unchanged; a failed payload write leaves a header without its payload, which
  // the caller treats as the failure of its whole commit.
  Result<std::uint64_t> append(SegmentType type, ByteSpan payload);

  // The segments one after another, as append would write them, in one write per
  // kAppendRunBytes or so: a commit's segments cost a few system calls, not two each. Returns
  // the offset of the first header and advances offset() past the last payload; InvalidInput
  // "overflow" before anything is written when the last would end past 2^64 - 1. A failed write
  // leaves offset() unchanged and may have written any prefix of the bytes, which the caller
  // treats as the failure of its whole commit. Nothing is written for an empty list.
  Result<std::uint64_t> append_all(std::span<const SegmentView> segments);
  // The same for open, the segments of body and close, one after another.
  Result<std::uint64_t> append_framed(SegmentView open, const EncodedSegments& body,
                                      SegmentView close);

  // Where the next segment header goes.
  std::uint64_t offset() const { return offset_; }

 private:
  // append_all over head, then body's bytes (if any), then tail.
  Result<std::uint64_t> append_parts(std::span<const SegmentView> head, const EncodedSegments* body,
                                     std::span<const SegmentView> tail);

  S& store_;
  std::uint64_t offset_;
};

}  // namespace quarn
