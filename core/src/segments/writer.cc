// Appending checksummed segments: header first, then payload, both written as they are.
#include "segments/writer.h"

#include <algorithm>

#include "checksum.h"
#include "segments/writer_impl.h"
#include "store_instances.h"

namespace quarn {

namespace {

// A transaction's first piece fits a few rows; later ones double up to about a run.
constexpr std::size_t kFirstPieceBytes = std::size_t{4} << 10;

}  // namespace

SegmentHeader segment_header_for(SegmentType type, ByteSpan payload) {
  return SegmentHeader{payload.size(), crc32c(payload), type};
}

void append_encoded_segment(SegmentType type, ByteSpan payload, Bytes& out) {
  encode_segment_header(segment_header_for(type, payload), out);
  out.insert(out.end(), payload.begin(), payload.end());
}

Bytes& EncodedSegments::room_for(std::size_t bytes) {
  if (pieces_.empty() || pieces_.back().capacity() - pieces_.back().size() < bytes) {
    const std::size_t grown = pieces_.empty()
                                  ? kFirstPieceBytes
                                  : std::min(pieces_.back().capacity() * 2, kAppendRunBytes);
    pieces_.emplace_back().reserve(std::max(bytes, grown));
  }
  return pieces_.back();
}

void EncodedSegments::append(SegmentType type, ByteSpan payload) {
  const std::size_t need = kSegmentHeaderSize + payload.size();
  // Within the reserved room: a piece never moves, so it never copies what it holds.
  append_encoded_segment(type, payload, room_for(need));
  bytes_ += need;
  ++count_;
}

void EncodedSegments::append(SegmentType type, Bytes&& payload) {
  if (payload.size() < kAppendRunBytes) return append(type, ByteSpan(payload));
  encode_segment_header(segment_header_for(type, payload), room_for(kSegmentHeaderSize));
  bytes_ += kSegmentHeaderSize + payload.size();
  ++count_;
  pieces_.push_back(std::move(payload));
}

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_SEGMENTS_WRITER)

}  // namespace quarn
