// The store-generic body of the segment writer. writer.cc instantiates it for the engine's stores;
// a test instantiates it for its own.
#pragma once

#include <algorithm>
#include <limits>

#include "segments/writer.h"

namespace quarn {

template <Store S>
Result<std::uint64_t> SegmentWriter<S>::append(SegmentType type, ByteSpan payload) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (offset_ > kMax - kSegmentHeaderSize ||
      payload.size() > kMax - (offset_ + kSegmentHeaderSize)) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  Bytes header_bytes;
  encode_segment_header(segment_header_for(type, payload), header_bytes);

  const std::uint64_t at = offset_;
  QUARN_TRY(store_.write_all_at(at, header_bytes));
  offset_ = at + kSegmentHeaderSize;
  QUARN_TRY(store_.write_all_at(offset_, payload));
  offset_ += payload.size();
  return at;
}

template <Store S>
Result<std::uint64_t> SegmentWriter<S>::append_all(std::span<const SegmentView> segments) {
  return append_parts(segments, nullptr, {});
}

template <Store S>
Result<std::uint64_t> SegmentWriter<S>::append_framed(SegmentView open, const EncodedSegments& body,
                                                      SegmentView close) {
  return append_parts(std::span(&open, 1), &body, std::span(&close, 1));
}

template <Store S>
Result<std::uint64_t> SegmentWriter<S>::append_parts(std::span<const SegmentView> head,
                                                     const EncodedSegments* body,
                                                     std::span<const SegmentView> tail) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t end = offset_;
  // Whether `bytes` more still end at or below 2^64 - 1; if so, counts them.
  auto fits = [&](std::uint64_t bytes) {
    if (bytes > kMax - end) return false;
    end += bytes;
    return true;
  };
  auto segments_fit = [&](std::span<const SegmentView> segments) {
    for (const SegmentView& segment : segments) {
      if (!fits(kSegmentHeaderSize) || !fits(segment.payload.size())) return false;
    }
    return true;
  };
  if (!segments_fit(head) || (body != nullptr && !fits(body->bytes())) || !segments_fit(tail)) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  // Gathered into runs of about kAppendRunBytes, so a large transaction costs a few calls and
  // no second copy of itself in memory.
  // Reused by each call on this thread: a commit of one row would otherwise allocate and grow
  // a buffer for a few hundred bytes.
  thread_local Bytes run;
  struct Release {
    // A large commit's run is not held on to for the life of the thread.
    ~Release() {
      if (run.capacity() > kKeptRunCapacity) Bytes().swap(run);
    }
  } release;
  run.clear();
  run.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(end - offset_, kAppendRunBytes)));
  const std::uint64_t at = offset_;
  std::uint64_t written = at;
  auto write = [&](ByteSpan bytes) -> Status {
    QUARN_TRY(store_.write_all_at(written, bytes));
    written += bytes.size();
    return ok_status();
  };
  auto flush = [&]() -> Status {
    if (run.empty()) return ok_status();
    QUARN_TRY(write(run));
    run.clear();
    return ok_status();
  };
  auto add_segments = [&](std::span<const SegmentView> segments) -> Status {
    for (const SegmentView& segment : segments) {
      append_encoded_segment(segment.type, segment.payload, run);
      if (run.size() >= kAppendRunBytes) QUARN_TRY(flush());
    }
    return ok_status();
  };
  QUARN_TRY(add_segments(head));
  if (body != nullptr) {
    for (const Bytes& piece : body->pieces()) {
      if (run.size() + piece.size() <= kAppendRunBytes) {
        run.insert(run.end(), piece.begin(), piece.end());
        continue;
      }
      // A piece is about a run already: written where it lies.
      QUARN_TRY(flush());
      QUARN_TRY(write(piece));
    }
  }
  QUARN_TRY(add_segments(tail));
  QUARN_TRY(flush());
  offset_ = end;
  return at;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_SEGMENTS_WRITER(S) template class SegmentWriter<S>;
