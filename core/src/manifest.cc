// The manifest payload. Nothing reads it back on open; it records each publish in the log.
//
//   [0, 2)    version, u16: 0
//   [2, 10)   offset of the manifest segment's header, u64
//   [10, 18)  length of the whole manifest segment, u64: 50
#include "manifest.h"

#include <array>

namespace quarn {

// Each field of the table starts where the one before it ends.
static_assert(kManifestSegmentOffsetAt == kManifestVersionAt + 2);
static_assert(kManifestSegmentLenAt == kManifestSegmentOffsetAt + 8);
static_assert(kManifestV0Size == kManifestSegmentLenAt + 8);

Bytes ManifestV0::encode(std::uint64_t segment_offset, std::uint64_t segment_len) {
  Bytes out;
  encode_manifest_v0(ManifestV0{segment_offset, segment_len}, out);
  return out;
}

void encode_manifest_v0(const ManifestV0& manifest, Bytes& out) {
  // Built in place and appended at once: every commit writes one.
  std::array<std::uint8_t, kManifestV0Size> bytes;
  store_le(bytes, kManifestVersionAt, 2, kManifestVersion);
  store_le(bytes, kManifestSegmentOffsetAt, 8, manifest.segment_offset);
  store_le(bytes, kManifestSegmentLenAt, 8, manifest.segment_len);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

Result<ManifestV0> decode_manifest_v0(ByteSpan bytes) {
  if (bytes.size() < kManifestV0Size) {
    return FormatError::TruncatedHeader{bytes.size(), kManifestV0Size};
  }
  const auto version = static_cast<std::uint16_t>(load_le(bytes, kManifestVersionAt, 2));
  ManifestV0 m;
  m.segment_offset = load_le(bytes, kManifestSegmentOffsetAt, 8);
  m.segment_len = load_le(bytes, kManifestSegmentLenAt, 8);
  if (version != kManifestVersion) return FormatError::UnsupportedVersion{0, version};
  return m;
}

}  // namespace quarn
