// The manifest: the payload of the segment that every publish appends, naming where it lies.
#pragma once

#include <cstdint>

#include "bytes.h"
#include "result.h"
#include "segments/header.h"

namespace quarn {

inline constexpr std::size_t kManifestV0Size = 18;
// The whole manifest segment: its header and its payload.
inline constexpr std::uint64_t kManifestSegmentLen = kSegmentHeaderSize + kManifestV0Size;
inline constexpr std::uint16_t kManifestVersion = 0;

// Field offsets inside the payload.
inline constexpr std::size_t kManifestVersionAt = 0;
inline constexpr std::size_t kManifestSegmentOffsetAt = 2;
inline constexpr std::size_t kManifestSegmentLenAt = 10;

struct ManifestV0 {
  std::uint64_t segment_offset = 0;  // the manifest segment's own header
  std::uint64_t segment_len = kManifestSegmentLen;

  // The 18 payload bytes of a manifest at segment_offset spanning segment_len bytes.
  static Bytes encode(std::uint64_t segment_offset, std::uint64_t segment_len);

  bool operator==(const ManifestV0&) const = default;
};

// Appends the 18 payload bytes: version 0, segment offset, segment length.
void encode_manifest_v0(const ManifestV0& manifest, Bytes& out);

// Checks, in order: at least 18 bytes (TruncatedHeader {got, 18}), version 0
// (UnsupportedVersion 0.version). Bytes past 18 are ignored; the offsets are returned as found.
Result<ManifestV0> decode_manifest_v0(ByteSpan bytes);

}  // namespace quarn
