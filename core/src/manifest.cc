// The manifest payload. Nothing reads it back on open; it records each publish in the log.
//
//   [0, 2)    version, u16: 0
//   [2, 10)   offset of the manifest segment's header, u64
//   [10, 18)  length of the whole manifest segment, u64: 50
#include "manifest.h"

namespace quarn {

Bytes ManifestV0::encode(std::uint64_t segment_offset, std::uint64_t segment_len) {
  Bytes out;
  encode_manifest_v0(ManifestV0{segment_offset, segment_len}, out);
  return out;
}

void encode_manifest_v0(const ManifestV0& manifest, Bytes& out) {
  out.reserve(out.size() + kManifestV0Size);
  ByteWriter w(out);
  w.put_u16(kManifestVersion);
  w.put_u64(manifest.segment_offset);
  w.put_u64(manifest.segment_len);
}

Result<ManifestV0> decode_manifest_v0(ByteSpan bytes) {
  if (bytes.size() < kManifestV0Size) {
    return FormatError::TruncatedHeader{bytes.size(), kManifestV0Size};
  }
  ByteReader r(bytes.first(kManifestV0Size));
  std::uint16_t version = 0;
  ManifestV0 m;
  // The length was checked above: these reads cannot come up short.
  r.get_u16(version);
  r.get_u64(m.segment_offset);
  r.get_u64(m.segment_len);
  if (version != kManifestVersion) return FormatError::UnsupportedVersion{0, version};
  return m;
}

}  // namespace quarn
