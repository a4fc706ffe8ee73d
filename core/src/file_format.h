// The 32-byte file header that opens every image, and the layout of the fixed area behind it.
#pragma once

#include <array>
#include <cstdint>

#include "bytes.h"
#include "result.h"

namespace quarn {

// Image layout: file header [0, 32), superblock slot A [32, 4128), slot B [4128, 8224),
// segments from 8224.
inline constexpr std::uint64_t kFileHeaderSize = 32;
inline constexpr std::uint64_t kSuperblockSize = 4096;
inline constexpr std::uint64_t kSuperblockSlotAOffset = kFileHeaderSize;
inline constexpr std::uint64_t kSuperblockSlotBOffset = kSuperblockSlotAOffset + kSuperblockSize;
inline constexpr std::uint64_t kDataStart = kSuperblockSlotBOffset + kSuperblockSize;
static_assert(kDataStart == 8224);

inline constexpr std::array<std::uint8_t, 4> kFileMagic = {'Q', 'D', 'B', '0'};
inline constexpr std::uint16_t kFormatMajor = 0;
// Minor 6 frames the log in transactions; 3 to 5 are unframed; a minor-2 image is the header
// alone.
inline constexpr std::uint16_t kFormatMinor = 6;
inline constexpr std::uint16_t kOldestFormatMinor = 2;

// Field offsets inside the header.
inline constexpr std::size_t kFileHeaderMagicAt = 0;
inline constexpr std::size_t kFileHeaderMajorAt = 4;
inline constexpr std::size_t kFileHeaderMinorAt = 6;
inline constexpr std::size_t kFileHeaderLenAt = 8;
inline constexpr std::size_t kFileHeaderReservedAt = 12;

struct FileHeader {
  std::uint64_t reserved = 0;
  std::uint32_t header_len = static_cast<std::uint32_t>(kFileHeaderSize);
  std::uint16_t major = kFormatMajor;
  std::uint16_t minor = kFormatMinor;

  // The 32 header bytes.
  Bytes encode() const;

  bool operator==(const FileHeader&) const = default;
};

// Appends the 32 header bytes to out; bytes 20 to 31 are zero.
void encode_file_header(const FileHeader& header, Bytes& out);

// Checks, in order: at least 32 bytes (TruncatedHeader), magic "QDB0" (BadMagic), major 0 and
// minor 2 to 6 (UnsupportedVersion with both as found). Bytes past 32 are ignored; header_len and
// reserved come back as found.
Result<FileHeader> decode_header(ByteSpan bytes);

}  // namespace quarn
