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
// The format minors read (frozen numbers). An image's minor only grows, one synced header
// rewrite per step.
// The header alone; the open rewrites it as kFormatMinorFixedArea.
inline constexpr std::uint16_t kFormatMinorHeaderOnly = 2;
// Header, superblocks and an unframed log, where transaction markers mean nothing.
inline constexpr std::uint16_t kFormatMinorFixedArea = 3;
// The same layout: the step a commit takes between 3 and 5.
inline constexpr std::uint16_t kFormatMinorUpgradeStep = 4;
// The same layout: insert and delete raise an older image to it before they plan.
inline constexpr std::uint16_t kFormatMinorRowWrites = 5;
// The log is framed in transactions; every commit brings an image to it.
inline constexpr std::uint16_t kFormatMinorFramed = 6;
// What a new image is written as, and the range of minors read.
inline constexpr std::uint16_t kFormatMinor = kFormatMinorFramed;
inline constexpr std::uint16_t kOldestFormatMinor = kFormatMinorHeaderOnly;

// Field offsets inside the header.
inline constexpr std::size_t kFileHeaderMagicAt = 0;
inline constexpr std::size_t kFileHeaderMajorAt = 4;
inline constexpr std::size_t kFileHeaderMinorAt = 6;
inline constexpr std::size_t kFileHeaderLenAt = 8;
inline constexpr std::size_t kFileHeaderReservedAt = 12;
inline constexpr std::size_t kFileHeaderZeroAt = 20;

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
