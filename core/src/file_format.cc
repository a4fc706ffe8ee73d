// The 32-byte file header. It carries no checksum: a torn header write is not survivable anyway,
// and the header is only rewritten by format upgrades, each synced on its own.
//
//   [0, 4)    magic "QDB0"
//   [4, 6)    major version, u16: 0
//   [6, 8)    minor version, u16: 2 to 6
//   [8, 12)   header length, u32: 32 (not checked)
//   [12, 20)  reserved, u64 (not checked)
//   [20, 32)  zero
#include "file_format.h"

#include <algorithm>

namespace quarn {

Bytes FileHeader::encode() const {
  Bytes out;
  encode_file_header(*this, out);
  return out;
}

void encode_file_header(const FileHeader& header, Bytes& out) {
  out.reserve(out.size() + kFileHeaderSize);
  ByteWriter w(out);
  w.put_bytes(ByteSpan(kFileMagic));
  w.put_u16(header.major);
  w.put_u16(header.minor);
  w.put_u32(header.header_len);
  w.put_u64(header.reserved);
  for (int i = 0; i < 12; ++i) w.put_u8(0);
}

Result<FileHeader> decode_header(ByteSpan bytes) {
  if (bytes.size() < kFileHeaderSize) {
    return FormatError::TruncatedHeader{bytes.size(), kFileHeaderSize};
  }
  ByteReader r(bytes.first(kFileHeaderSize));
  std::array<std::uint8_t, 4> magic{};
  ByteSpan magic_span;
  FileHeader h;
  // The length was checked above, so none of these reads can come up short.
  r.get_span(4, magic_span);
  r.get_u16(h.major);
  r.get_u16(h.minor);
  r.get_u32(h.header_len);
  r.get_u64(h.reserved);
  std::copy(magic_span.begin(), magic_span.end(), magic.begin());
  if (magic != kFileMagic) return FormatError::BadMagic{magic};
  if (h.major != kFormatMajor || h.minor < kOldestFormatMinor || h.minor > kFormatMinor) {
    return FormatError::UnsupportedVersion{h.major, h.minor};
  }
  return h;
}

}  // namespace quarn
