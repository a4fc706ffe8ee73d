// Walking and reading the segment log: the strict scan and the payload read.
#pragma once

#include <cstdint>
#include <vector>

#include "bytes.h"
#include "result.h"
#include "segments/header.h"
#include "storage.h"

namespace quarn {

// Payloads are checksummed through one buffer of this size, whatever their length.
inline constexpr std::size_t kPayloadChunkSize = 8192;

// One segment of a scan: where its header lies, and the header.
struct SegmentMeta {
  std::uint64_t offset = 0;
  SegmentHeader header;

  bool operator==(const SegmentMeta&) const = default;
};

// The CRC-32C of the length bytes at offset, read in chunks of kPayloadChunkSize. Read errors
// are returned.
template <Store S>
Result<std::uint32_t> stream_crc32c(S& store, std::uint64_t offset, std::uint64_t length);

// Every segment from start to the end of the store, in log order; empty when start is at or
// past the end. Strict: the first problem fails the whole scan, a torn tail included
// (TruncatedSegmentHeader with the bytes left, SegmentPayloadPastEof, a header decode error,
// SegmentPayloadChecksumMismatch except for checkpoint and spill segments). Payloads are
// checksummed, not kept.
template <Store S>
Result<std::vector<SegmentMeta>> scan_segments(S& store, std::uint64_t start);

// The complete segments from start on, as scan_segments checks them, up to where the store ends
// or a segment is torn: a header cut short by the end of the store, or a payload reaching past
// it (or past 2^64 - 1), ends the walk without an error. len is the store length the caller
// read. Errors: the store's, a complete header that does not decode,
// SegmentPayloadChecksumMismatch except for checkpoint and spill segments.
template <Store S>
Result<std::vector<SegmentMeta>> scan_complete_segments(S& store, std::uint64_t start,
                                                        std::uint64_t len);

// The payload of a segment, read whole from meta.offset + 32; its CRC is not checked again. A
// payload that would end past the store fails with the store's read-past-end error, before
// anything is allocated for a length read off the disk.
template <Store S>
Result<Bytes> read_segment_payload(S& store, const SegmentMeta& meta);

// read_segment_payload, with the same checks and errors, appending the payload to out; on an
// error out may have grown.
template <Store S>
Status append_segment_payload(S& store, const SegmentMeta& meta, Bytes& out);

// append_segment_payload for a segment that a scan of this store returned: the scan bounded the
// payload by the store's length, so the length is not asked again (for a file, a system call
// per segment). A store cut short since the scan fails the read with the store's error.
template <Store S>
Status append_scanned_segment_payload(S& store, const SegmentMeta& meta, Bytes& out);

}  // namespace quarn
