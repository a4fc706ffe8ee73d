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

// Each field of the table starts where the one before it ends.
static_assert(kFileHeaderMajorAt == kFileHeaderMagicAt + kFileMagic.size());
static_assert(kFileHeaderMinorAt == kFileHeaderMajorAt + 2);
static_assert(kFileHeaderLenAt == kFileHeaderMinorAt + 2);
static_assert(kFileHeaderReservedAt == kFileHeaderLenAt + 4);
static_assert(kFileHeaderZeroAt == kFileHeaderReservedAt + 8);
static_assert(kFileHeaderZeroAt < kFileHeaderSize);

Bytes FileHeader::encode() const {
  Bytes out;
  encode_file_header(*this, out);
  return out;
}

void encode_file_header(const FileHeader& header, Bytes& out) {
  const std::size_t start = out.size();
  out.reserve(start + kFileHeaderSize);
  ByteWriter w(out);
  w.put_bytes(ByteSpan(kFileMagic));
  w.put_u16(header.major);
  w.put_u16(header.minor);
  w.put_u32(header.header_len);
  w.put_u64(header.reserved);
  w.put_zeros(kFileHeaderSize - kFileHeaderZeroAt);
  QUARN_CHECK(out.size() - start == kFileHeaderSize, "file header encoded off its layout");
}

Result<FileHeader> decode_header(ByteSpan bytes) {
  if (bytes.size() < kFileHeaderSize) {
    return FormatError::TruncatedHeader{bytes.size(), kFileHeaderSize};
  }
  std::array<std::uint8_t, kFileMagic.size()> magic{};
  std::copy_n(bytes.begin() + kFileHeaderMagicAt, magic.size(), magic.begin());
  FileHeader h;
  h.major = static_cast<std::uint16_t>(load_le(bytes, kFileHeaderMajorAt, 2));
  h.minor = static_cast<std::uint16_t>(load_le(bytes, kFileHeaderMinorAt, 2));
  h.header_len = static_cast<std::uint32_t>(load_le(bytes, kFileHeaderLenAt, 4));
  h.reserved = load_le(bytes, kFileHeaderReservedAt, 8);
  if (magic != kFileMagic) return FormatError::BadMagic{magic};
  if (h.major != kFormatMajor || h.minor < kOldestFormatMinor || h.minor > kFormatMinor) {
    return FormatError::UnsupportedVersion{h.major, h.minor};
  }
  return h;
}

}  // namespace quarn
