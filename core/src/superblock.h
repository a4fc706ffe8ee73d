// Superblocks: the two alternating slots that name the last publish, and the rule that picks the
// newest valid one and the slot the next publish overwrites.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "bytes.h"
#include "file_format.h"
#include "result.h"
#include "storage.h"

namespace quarn {

inline constexpr std::array<std::uint8_t, 4> kSuperblockMagic = {'Q', 'S', 'B', '0'};
// Written as version 1 only; versions 0 and 1 are read.
inline constexpr std::uint16_t kSuperblockVersion = 1;

// Field offsets inside a superblock.
inline constexpr std::size_t kSuperblockMagicAt = 0;
inline constexpr std::size_t kSuperblockVersionAt = 4;
inline constexpr std::size_t kSuperblockZeroAt = 6;
inline constexpr std::size_t kSuperblockGenerationAt = 8;
inline constexpr std::size_t kSuperblockManifestOffsetAt = 16;
inline constexpr std::size_t kSuperblockManifestLenAt = 24;
inline constexpr std::size_t kSuperblockFlagsAt = 28;
inline constexpr std::size_t kSuperblockFlagsZeroAt = 29;
inline constexpr std::size_t kSuperblockCheckpointOffsetAt = 36;
inline constexpr std::size_t kSuperblockCheckpointLenAt = 44;
// Version 1 checksums [0, 48) and stores it at 48; version 0 checksums [0, 32) and stores it at 32.
inline constexpr std::size_t kSuperblockV1CrcAt = 48;
inline constexpr std::size_t kSuperblockV0CrcAt = 32;
inline constexpr std::size_t kSuperblockTailZeroAt = kSuperblockV1CrcAt + 4;

struct Superblock {
  std::uint64_t generation = 0;
  std::uint64_t manifest_offset = 0;  // segment header of the latest manifest; 0 for none
  std::uint32_t manifest_len = 0;     // its payload length: 18, or 0 for none
  std::uint8_t flags = 0;
  std::uint64_t checkpoint_offset = 0;  // 0 for none
  std::uint32_t checkpoint_len = 0;

  // The 4096 bytes of a version-1 superblock.
  Bytes encode() const;

  bool operator==(const Superblock&) const = default;
};

// Appends 4096 bytes: version 1, the CRC-32C of [0, 48) at 48, every other byte zero.
void encode_superblock(const Superblock& superblock, Bytes& out);

// Checks, in order: at least 4096 bytes (TruncatedSuperblock), magic "QSB0"
// (BadSuperblockMagic), version 0 or 1 (UnsupportedVersion 0.version), flags 0
// (UnsupportedVersion 0.flags), the stored CRC (SuperblockChecksumMismatch). Zero areas are not
// checked; a version-0 superblock decodes with no checkpoint.
Result<Superblock> decode_superblock(ByteSpan bytes);

enum class SuperblockSlot : std::uint8_t { A = 0, B = 1 };

inline constexpr std::uint64_t superblock_slot_offset(SuperblockSlot slot) {
  return slot == SuperblockSlot::A ? kSuperblockSlotAOffset : kSuperblockSlotBOffset;
}

// Both slots as decoded; a slot that does not decode, for whatever reason, is empty.
struct SuperblockSlots {
  std::optional<Superblock> a;
  std::optional<Superblock> b;
};

struct SelectedSuperblock {
  SuperblockSlot slot;
  Superblock superblock;

  bool operator==(const SelectedSuperblock&) const = default;
};

// Decodes the two 4096-byte slot images, dropping the reason a slot is invalid.
SuperblockSlots decode_superblock_slots(ByteSpan slot_a, ByteSpan slot_b);

// Reads slot A (4096 bytes at 32) and slot B (4096 bytes at 4128) and decodes them. A read error
// (an image shorter than 8224 bytes) is returned, not taken as an invalid slot.
template <Store S>
Result<SuperblockSlots> read_superblock_slots(S& store);

// The newest valid slot: the larger generation (unsigned), slot A on a tie; nothing when neither
// slot is valid.
std::optional<SelectedSuperblock> newest_superblock(const SuperblockSlots& slots);

// As newest_superblock; SuperblockChecksumMismatch when neither slot is valid.
Result<SelectedSuperblock> select_superblock(const SuperblockSlots& slots);

// The slot the next publish overwrites: the one not holding the newest valid superblock, B when
// neither is valid.
SuperblockSlot publish_target_slot(const SuperblockSlots& slots);

}  // namespace quarn
