// Superblocks: golden bytes, rejections in check order, version 0, and the choice between the
// two slots and of the slot the next publish overwrites.
#include "superblock.h"

#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "checksum.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using ::quarn::testing::IsOkAndHolds;

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

void put_u32_at(Bytes& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Rewrites the CRC a version-1 superblock stores, after a field was changed on purpose.
void reseal_v1(Bytes& b) { put_u32_at(b, 48, crc32c(ByteSpan(b).first(48))); }

Superblock sample() {
  Superblock sb;
  sb.generation = 2;
  sb.manifest_offset = 8224;
  sb.manifest_len = 18;
  return sb;
}

TEST(SuperblockTest, EncodesGoldenBytes) {
  const Bytes b = sample().encode();
  ASSERT_EQ(b.size(), kSuperblockSize);
  const Bytes head = {'Q',  'S',  'B',  '0',  0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x20, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x99, 0x12, 0xdf, 0x21};
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 52), head);
  EXPECT_EQ(Bytes(b.begin() + 52, b.end()), Bytes(kSuperblockSize - 52, 0));
}

TEST(SuperblockTest, RoundTripsEveryField) {
  Superblock sb;
  sb.generation = kMaxU64;
  sb.manifest_offset = 0x1122334455667788;
  sb.manifest_len = 0xA1B2C3D4;
  sb.checkpoint_offset = 0x0102030405060708;
  sb.checkpoint_len = 0xFFFFFFFF;
  EXPECT_THAT(decode_superblock(sb.encode()), IsOkAndHolds(sb));
  Bytes out = {1, 2, 3};
  encode_superblock(sb, out);
  EXPECT_EQ(out.size(), 3 + kSuperblockSize);
  EXPECT_THAT(decode_superblock(ByteSpan(out).subspan(3)), IsOkAndHolds(sb));
}

TEST(SuperblockTest, ZeroAreasAndTrailingBytesAreNotChecked) {
  Bytes b = sample().encode();
  b[6] = 0xAB;
  b[30] = 0xCD;
  reseal_v1(b);
  b[100] = 0xEF;
  b[4095] = 0x01;
  b.push_back(0x55);
  EXPECT_THAT(decode_superblock(b), IsOkAndHolds(sample()));
}

TEST(SuperblockTest, VersionZeroHasNoCheckpoint) {
  Bytes b = sample().encode();
  b[4] = 0;                                           // version 0
  for (std::size_t i = 36; i < 48; ++i) b[i] = 0x5A;  // checkpoint bytes of a version 1
  put_u32_at(b, 32, crc32c(ByteSpan(b).first(32)));
  EXPECT_THAT(decode_superblock(b), IsOkAndHolds(sample()));
}

struct RejectCase {
  const char* name;
  Bytes input;
  const char* text;
};

class SuperblockRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(SuperblockRejectTest, FailsWithExactError) {
  EXPECT_THAT(decode_superblock(GetParam().input), ErrorRenders(GetParam().text));
}

template <class F>
Bytes edited(F edit) {
  Bytes b = sample().encode();
  edit(b);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    InCheckOrder, SuperblockRejectTest,
    ::testing::Values(
        RejectCase{"Empty", {}, "format error: truncated superblock: got 0 bytes, expected 4096"},
        RejectCase{"OneShort", edited([](Bytes& b) { b.pop_back(); }),
                   "format error: truncated superblock: got 4095 bytes, expected 4096"},
        RejectCase{"ZeroMagic", Bytes(kSuperblockSize, 0),
                   "format error: bad superblock magic bytes: expected \"QSB0\", got [00, 00, "
                   "00, 00]"},
        RejectCase{"FileMagic", edited([](Bytes& b) { b[2] = 'D'; }),
                   "format error: bad superblock magic bytes: expected \"QSB0\", got [51, 53, "
                   "44, 30]"},
        // Version 2 wins over bad flags and a stale CRC.
        RejectCase{"VersionTwo", edited([](Bytes& b) {
                     b[4] = 2;
                     b[28] = 3;
                   }),
                   "format error: unsupported format version 0.2"},
        RejectCase{"VersionHighByte", edited([](Bytes& b) { b[5] = 1; }),
                   "format error: unsupported format version 0.257"},
        RejectCase{"FlagsWithGoodCrc", edited([](Bytes& b) {
                     b[28] = 3;
                     reseal_v1(b);
                   }),
                   "format error: unsupported format version 0.3"},
        RejectCase{"FlagsBeforeCrc", edited([](Bytes& b) { b[28] = 0xFF; }),
                   "format error: unsupported format version 0.255"},
        RejectCase{"GenerationBitFlip", edited([](Bytes& b) { b[8] ^= 0x01; }),
                   "format error: superblock checksum mismatch"},
        RejectCase{"CheckpointBitFlip", edited([](Bytes& b) { b[40] ^= 0x80; }),
                   "format error: superblock checksum mismatch"},
        RejectCase{"StoredCrcBitFlip", edited([](Bytes& b) { b[51] ^= 0x10; }),
                   "format error: superblock checksum mismatch"},
        // A version-0 block is checked at 32, not at 48.
        RejectCase{"VersionZeroWithV1Crc", edited([](Bytes& b) {
                     b[4] = 0;
                     reseal_v1(b);
                   }),
                   "format error: superblock checksum mismatch"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) {
      return std::string(param.param.name);
    });

std::optional<Superblock> at_generation(std::uint64_t g) {
  Superblock sb;
  sb.generation = g;
  return sb;
}

struct SelectCase {
  const char* name;
  std::optional<Superblock> a;
  std::optional<Superblock> b;
  std::optional<SuperblockSlot> winner;
  SuperblockSlot target;
};

class SuperblockSelectTest : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SuperblockSelectTest, PicksWinnerAndTarget) {
  const SelectCase& c = GetParam();
  const SuperblockSlots slots{c.a, c.b};
  const std::optional<SelectedSuperblock> newest = newest_superblock(slots);
  ASSERT_EQ(newest.has_value(), c.winner.has_value());
  if (c.winner) {
    EXPECT_EQ(newest->slot, *c.winner);
    EXPECT_EQ(newest->superblock, *c.winner == SuperblockSlot::A ? *c.a : *c.b);
    EXPECT_THAT(select_superblock(slots), IsOkAndHolds(*newest));
  } else {
    EXPECT_THAT(select_superblock(slots),
                ErrorRenders("format error: superblock checksum mismatch"));
  }
  EXPECT_EQ(publish_target_slot(slots), c.target);
}

constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
constexpr auto A = SuperblockSlot::A;
constexpr auto B = SuperblockSlot::B;

INSTANTIATE_TEST_SUITE_P(
    Rules, SuperblockSelectTest,
    ::testing::Values(SelectCase{"TieGoesToA", at_generation(5), at_generation(5), A, B},
                      SelectCase{"NewerA", at_generation(3), at_generation(2), A, B},
                      SelectCase{"NewerB", at_generation(1), at_generation(2), B, A},
                      SelectCase{"UnsignedCompare", at_generation(kHalf), at_generation(kHalf + 1),
                                 B, A},
                      SelectCase{"MaxBeatsZero", at_generation(kMaxU64), at_generation(0), A, B},
                      SelectCase{"OnlyBEvenAtZero", std::nullopt, at_generation(0), B, A},
                      SelectCase{"OnlyA", at_generation(7), std::nullopt, A, B},
                      SelectCase{"NeitherTargetsB", std::nullopt, std::nullopt, std::nullopt, B}),
    [](const ::testing::TestParamInfo<SelectCase>& param) {
      return std::string(param.param.name);
    });

Bytes fixed_area(const Bytes& slot_a, const Bytes& slot_b) {
  Bytes image(kFileHeaderSize, 0);
  image.insert(image.end(), slot_a.begin(), slot_a.end());
  image.insert(image.end(), slot_b.begin(), slot_b.end());
  return image;
}

TEST(SuperblockSlotsTest, ReadsBothSlotsFromTheirOffsets) {
  VecStore store(fixed_area(at_generation(4)->encode(), at_generation(9)->encode()));
  ASSERT_OK_AND_ASSIGN(const SuperblockSlots slots, read_superblock_slots(store));
  ASSERT_TRUE(slots.a && slots.b);
  EXPECT_EQ(slots.a->generation, 4u);
  EXPECT_EQ(slots.b->generation, 9u);
}

TEST(SuperblockSlotsTest, UndecodableSlotIsInvalidNotAnError) {
  Bytes bad_magic = at_generation(9)->encode();
  bad_magic[0] = 'X';
  VecStore store(fixed_area(bad_magic, at_generation(1)->encode()));
  ASSERT_OK_AND_ASSIGN(const SuperblockSlots slots, read_superblock_slots(store));
  EXPECT_FALSE(slots.a.has_value());
  EXPECT_THAT(select_superblock(slots), IsOkAndHolds(SelectedSuperblock{B, *at_generation(1)}));
}

TEST(SuperblockSlotsTest, AllZeroSlotsSelectNothing) {
  VecStore store(Bytes(kDataStart, 0));
  ASSERT_OK_AND_ASSIGN(const SuperblockSlots slots, read_superblock_slots(store));
  EXPECT_THAT(select_superblock(slots), ErrorRenders("format error: superblock checksum mismatch"));
}

TEST(SuperblockSlotsTest, ShortImageIsAReadError) {
  Bytes image = fixed_area(at_generation(1)->encode(), at_generation(2)->encode());
  image.pop_back();
  VecStore store(image);
  EXPECT_THAT(read_superblock_slots(store), ErrorRenders("i/o error: read past end of VecStore"));
}

}  // namespace
}  // namespace quarn
