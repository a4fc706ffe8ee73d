// The manifest payload. Nothing reads it back on open; it records each publish in the log.
//
//   [0, 2)    version, u16: 0
//   [2, 10)   offset of the manifest segment's header, u64
//   [10, 18)  length of the whole manifest segment, u64: 50
#include "manifest.h"

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
  const std::size_t start = out.size();
  out.reserve(start + kManifestV0Size);
  ByteWriter w(out);
  w.put_u16(kManifestVersion);
  w.put_u64(manifest.segment_offset);
  w.put_u64(manifest.segment_len);
  QUARN_CHECK(out.size() - start == kManifestV0Size, "manifest encoded off its layout");
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
