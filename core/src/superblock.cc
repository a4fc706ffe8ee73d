// Superblocks and the choice of slot. Publish alternates between the two slots so that a torn
// superblock write always leaves the previous one intact.
//
// Version 1 (written), 4096 bytes:
//   [0, 4)      magic "QSB0"
//   [4, 6)      version, u16: 1
//   [6, 8)      zero
//   [8, 16)     generation, u64
//   [16, 24)    manifest offset, u64
//   [24, 28)    manifest payload length, u32
//   [28, 29)    flags, u8: 0
//   [29, 36)    zero
//   [36, 44)    checkpoint offset, u64
//   [44, 48)    checkpoint payload length, u32
//   [48, 52)    CRC-32C of [0, 48), u32
//   [52, 4096)  zero
// Version 0 (read only): the same [0, 29), the CRC-32C of [0, 32) at [32, 36), no checkpoint.
#include "superblock.h"

#include <algorithm>

#include "checksum.h"
#include "pager.h"
#include "store_instances.h"
#include "superblock_impl.h"

namespace quarn {

// Each field of the version-1 table starts where the one before it ends.
static_assert(kSuperblockVersionAt == kSuperblockMagicAt + kSuperblockMagic.size());
static_assert(kSuperblockZeroAt == kSuperblockVersionAt + 2);
static_assert(kSuperblockGenerationAt == kSuperblockZeroAt + 2);
static_assert(kSuperblockManifestOffsetAt == kSuperblockGenerationAt + 8);
static_assert(kSuperblockManifestLenAt == kSuperblockManifestOffsetAt + 8);
static_assert(kSuperblockFlagsAt == kSuperblockManifestLenAt + 4);
static_assert(kSuperblockFlagsZeroAt == kSuperblockFlagsAt + 1);
static_assert(kSuperblockCheckpointOffsetAt > kSuperblockFlagsZeroAt);
static_assert(kSuperblockCheckpointLenAt == kSuperblockCheckpointOffsetAt + 8);
static_assert(kSuperblockV1CrcAt == kSuperblockCheckpointLenAt + 4);
static_assert(kSuperblockTailZeroAt < kSuperblockSize);
// Version 0 stores its CRC inside the zero bytes version 1 keeps after the flags.
static_assert(kSuperblockV0CrcAt >= kSuperblockFlagsZeroAt &&
              kSuperblockV0CrcAt + 4 <= kSuperblockCheckpointOffsetAt);

Bytes Superblock::encode() const {
  Bytes out;
  encode_superblock(*this, out);
  return out;
}

void encode_superblock(const Superblock& sb, Bytes& out) {
  const std::size_t start = out.size();
  out.reserve(start + kSuperblockSize);
  ByteWriter w(out);
  w.put_bytes(ByteSpan(kSuperblockMagic));
  w.put_u16(kSuperblockVersion);
  w.put_zeros(kSuperblockGenerationAt - kSuperblockZeroAt);
  w.put_u64(sb.generation);
  w.put_u64(sb.manifest_offset);
  w.put_u32(sb.manifest_len);
  w.put_u8(sb.flags);
  w.put_zeros(kSuperblockCheckpointOffsetAt - kSuperblockFlagsZeroAt);
  w.put_u64(sb.checkpoint_offset);
  w.put_u32(sb.checkpoint_len);
  w.put_u32(crc32c(ByteSpan(out).subspan(start, kSuperblockV1CrcAt)));
  w.put_zeros(kSuperblockSize - kSuperblockTailZeroAt);
  QUARN_CHECK(out.size() - start == kSuperblockSize, "superblock encoded off its layout");
}

Result<Superblock> decode_superblock(ByteSpan bytes) {
  if (bytes.size() < kSuperblockSize) {
    return FormatError::TruncatedSuperblock{bytes.size(), kSuperblockSize};
  }
  std::array<std::uint8_t, kSuperblockMagic.size()> magic{};
  std::copy_n(bytes.begin() + kSuperblockMagicAt, magic.size(), magic.begin());
  if (magic != kSuperblockMagic) return FormatError::BadSuperblockMagic{magic};
  const auto version = static_cast<std::uint16_t>(load_le(bytes, kSuperblockVersionAt, 2));
  if (version > kSuperblockVersion) return FormatError::UnsupportedVersion{0, version};
  const std::uint8_t flags = bytes[kSuperblockFlagsAt];
  if (flags != 0) return FormatError::UnsupportedVersion{0, flags};

  const std::size_t crc_at = version == 0 ? kSuperblockV0CrcAt : kSuperblockV1CrcAt;
  const auto stored = static_cast<std::uint32_t>(load_le(bytes, crc_at, 4));
  if (stored != crc32c(bytes.first(crc_at))) return FormatError::SuperblockChecksumMismatch{};

  Superblock sb;
  sb.generation = load_le(bytes, kSuperblockGenerationAt, 8);
  sb.manifest_offset = load_le(bytes, kSuperblockManifestOffsetAt, 8);
  sb.manifest_len = static_cast<std::uint32_t>(load_le(bytes, kSuperblockManifestLenAt, 4));
  sb.flags = flags;
  if (version == 1) {
    sb.checkpoint_offset = load_le(bytes, kSuperblockCheckpointOffsetAt, 8);
    sb.checkpoint_len = static_cast<std::uint32_t>(load_le(bytes, kSuperblockCheckpointLenAt, 4));
  }
  return sb;
}

SuperblockSlots decode_superblock_slots(ByteSpan slot_a, ByteSpan slot_b) {
  SuperblockSlots slots;
  // The reason a slot is invalid does not matter: the other slot may still serve.
  if (auto a = decode_superblock(slot_a); a.ok()) slots.a = std::move(a).value();
  if (auto b = decode_superblock(slot_b); b.ok()) slots.b = std::move(b).value();
  return slots;
}

std::optional<SelectedSuperblock> newest_superblock(const SuperblockSlots& slots) {
  if (slots.a && slots.b) {
    if (slots.b->generation > slots.a->generation) {
      return SelectedSuperblock{SuperblockSlot::B, *slots.b};
    }
    return SelectedSuperblock{SuperblockSlot::A, *slots.a};
  }
  if (slots.a) return SelectedSuperblock{SuperblockSlot::A, *slots.a};
  if (slots.b) return SelectedSuperblock{SuperblockSlot::B, *slots.b};
  return std::nullopt;
}

Result<SelectedSuperblock> select_superblock(const SuperblockSlots& slots) {
  std::optional<SelectedSuperblock> newest = newest_superblock(slots);
  if (!newest) return FormatError::SuperblockChecksumMismatch{};
  return *newest;
}

SuperblockSlot publish_target_slot(const SuperblockSlots& slots) {
  std::optional<SelectedSuperblock> newest = newest_superblock(slots);
  if (newest && newest->slot == SuperblockSlot::B) return SuperblockSlot::A;
  return SuperblockSlot::B;
}

QUARN_FOR_EACH_READ_STORE(QUARN_INSTANTIATE_SUPERBLOCK)

}  // namespace quarn
