// The store-generic body of checkpoint loading. checkpoint.cc instantiates it for the engine's
// stores; a test instantiates it for its own.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "checkpoint.h"
#include "checksum.h"
#include "file_format.h"
#include "record/payload_v2.h"
#include "segments/header.h"
#include "segments/reader.h"

namespace quarn {

template <Store S>
Result<std::optional<CheckpointState>> try_load_checkpoint_state(S& store, std::uint64_t offset,
                                                                 std::uint32_t length) {
  if (offset == 0 || length == 0) return std::optional<CheckpointState>();
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t store_len, store.len());
  if (offset < kDataStart || offset >= store_len) return std::optional<CheckpointState>();
  std::array<std::uint8_t, kSegmentHeaderSize> header_bytes;
  QUARN_TRY(store.read_exact_at(offset, header_bytes));
  QUARN_ASSIGN_OR_RETURN(const SegmentHeader header, decode_segment_header(header_bytes));
  if (header.segment_type != SegmentType::Checkpoint) return std::optional<CheckpointState>();
  // read_segment_payload bounds the header's length by the store before allocating, so a forged
  // length cannot make the open allocate more than the file holds.
  QUARN_ASSIGN_OR_RETURN(const Bytes payload,
                         read_segment_payload(store, SegmentMeta{offset, header}));
  if (crc32c(payload) != header.payload_crc) return FormatError::SegmentPayloadChecksumMismatch{};
  QUARN_ASSIGN_OR_RETURN(CheckpointState state, state_from_checkpoint_payload(payload));
  return std::optional<CheckpointState>(std::move(state));
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_CHECKPOINT(S)                                                           \
  template Result<std::optional<CheckpointState>> try_load_checkpoint_state<S>(S&, std::uint64_t, \
                                                                               std::uint32_t);
