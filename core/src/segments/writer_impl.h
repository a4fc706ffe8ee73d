// The store-generic body of the segment writer. writer.cc instantiates it for the engine's stores;
// a test instantiates it for its own.
#pragma once

#include <algorithm>
#include <limits>

#include "checksum.h"
#include "segments/writer.h"

namespace quarn {

template <Store S>
Result<std::uint64_t> SegmentWriter<S>::append(SegmentType type, ByteSpan payload) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (offset_ > kMax - kSegmentHeaderSize ||
      payload.size() > kMax - (offset_ + kSegmentHeaderSize)) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  const SegmentHeader header{payload.size(), crc32c(payload), type};
  Bytes header_bytes;
  encode_segment_header(header, header_bytes);

  const std::uint64_t at = offset_;
  QUARN_TRY(store_.write_all_at(at, header_bytes));
  offset_ = at + kSegmentHeaderSize;
  QUARN_TRY(store_.write_all_at(offset_, payload));
  offset_ += payload.size();
  return at;
}

template <Store S>
Result<std::uint64_t> SegmentWriter<S>::append_all(std::span<const SegmentView> segments) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t end = offset_;
  for (const SegmentView& segment : segments) {
    if (end > kMax - kSegmentHeaderSize ||
        segment.payload.size() > kMax - (end + kSegmentHeaderSize)) {
      return io_error(IoErrorKind::InvalidInput, "overflow");
    }
    end += kSegmentHeaderSize + segment.payload.size();
  }
  // Gathered into runs of about kAppendRunBytes, so a large transaction costs a few calls and
  // no second copy of itself in memory.
  // Reused by each call on this thread: a commit of one row would otherwise allocate and grow
  // a buffer for a few hundred bytes.
  thread_local Bytes bytes;
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(end - offset_, kAppendRunBytes)));
  const std::uint64_t at = offset_;
  std::uint64_t written = at;
  for (const SegmentView& segment : segments) {
    encode_segment_header(
        SegmentHeader{segment.payload.size(), crc32c(segment.payload), segment.type}, bytes);
    bytes.insert(bytes.end(), segment.payload.begin(), segment.payload.end());
    if (bytes.size() >= kAppendRunBytes) {
      QUARN_TRY(store_.write_all_at(written, bytes));
      written += bytes.size();
      bytes.clear();
    }
  }
  if (!bytes.empty()) QUARN_TRY(store_.write_all_at(written, bytes));
  // A large commit's run is not held on to for the life of the thread.
  if (bytes.capacity() > kKeptRunCapacity) Bytes().swap(bytes);
  offset_ = end;
  return at;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_SEGMENTS_WRITER(S) template class SegmentWriter<S>;
