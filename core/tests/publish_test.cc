// Publish: where the manifest lands, which slot the next superblock goes to, its generation,
// and the fields it carries over.
#include "publish.h"

#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_format.h"
#include "manifest.h"
#include "segments/reader.h"
#include "superblock.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::IsOkAndHolds;

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

Superblock at_generation(std::uint64_t g) {
  Superblock sb;
  sb.generation = g;
  return sb;
}

// A fixed area with the given slot images (4096 bytes each).
Bytes fixed_area(const Bytes& slot_a, const Bytes& slot_b) {
  Bytes image = FileHeader{}.encode();
  image.insert(image.end(), slot_a.begin(), slot_a.end());
  image.insert(image.end(), slot_b.begin(), slot_b.end());
  return image;
}

// The slots as laid out when an image is created: A at generation 1, B at generation 0.
Bytes fresh_fixed_area() {
  return fixed_area(at_generation(1).encode(), at_generation(0).encode());
}

Bytes corrupt(Bytes slot) {
  slot[10] ^= 0xFF;
  return slot;
}

SuperblockSlots slots_of(VecStore& store) { return read_superblock_slots(store).value(); }

Superblock published(std::uint64_t generation, std::uint64_t manifest_offset) {
  Superblock sb = at_generation(generation);
  sb.manifest_offset = manifest_offset;
  sb.manifest_len = 18;
  return sb;
}

TEST(PublishTest, FirstPublishOfNewImageGoesToSlotB) {
  VecStore store(fresh_fixed_area());
  EXPECT_THAT(append_manifest_and_publish_with_checkpoint(store, kDataStart),
              IsOkAndHolds(published(2, 8224)));
  EXPECT_EQ(store.bytes().size(), 8274u);
  const SuperblockSlots slots = slots_of(store);
  EXPECT_EQ(slots.a, at_generation(1));
  EXPECT_EQ(slots.b, published(2, 8224));

  // The manifest segment names itself.
  ASSERT_OK_AND_ASSIGN(const std::vector<SegmentMeta> metas, scan_segments(store, kDataStart));
  ASSERT_EQ(metas.size(), 1u);
  EXPECT_EQ(metas[0].offset, 8224u);
  EXPECT_EQ(metas[0].header.segment_type, SegmentType::Manifest);
  ASSERT_OK_AND_ASSIGN(const Bytes payload, read_segment_payload(store, metas[0]));
  EXPECT_THAT(decode_manifest_v0(payload), IsOkAndHolds(ManifestV0{8224, 50}));
}

TEST(PublishTest, AlternatesSlotsAndKeepsTheTwoLatest) {
  VecStore store(fresh_fixed_area());
  for (std::uint64_t g = 2; g <= 7; ++g) {
    SCOPED_TRACE(g);
    const std::uint64_t manifest_at = store.bytes().size();
    EXPECT_THAT(append_manifest_and_publish_with_checkpoint(store, kDataStart),
                IsOkAndHolds(published(g, manifest_at)));
    const SuperblockSlots slots = slots_of(store);
    // Even generations land in B, odd ones in A; the other slot keeps the one before.
    const Superblock& newer = g % 2 == 0 ? *slots.b : *slots.a;
    const Superblock& older = g % 2 == 0 ? *slots.a : *slots.b;
    EXPECT_EQ(newer, published(g, manifest_at));
    EXPECT_EQ(older.generation, g - 1);
  }
  EXPECT_THAT(scan_segments(store, kDataStart), IsOkAndHolds(::testing::SizeIs(6)));
}

TEST(PublishTest, ManifestGoesAtTheStoreEnd) {
  Bytes image = fresh_fixed_area();
  image.resize(9000, 0x11);
  VecStore store(image);
  EXPECT_THAT(append_manifest_and_publish_with_checkpoint(store, kDataStart),
              IsOkAndHolds(published(2, 9000)));
  EXPECT_EQ(store.bytes().size(), 9050u);
  EXPECT_EQ(store.bytes()[8999], 0x11);  // nothing before the end is touched
}

struct SlotCase {
  const char* name;
  Bytes slot_a;
  Bytes slot_b;
  std::uint64_t generation;
  SuperblockSlot target;
};

class PublishSlotTest : public ::testing::TestWithParam<SlotCase> {};

TEST_P(PublishSlotTest, WritesNextGenerationIntoTarget) {
  const SlotCase& c = GetParam();
  VecStore store(fixed_area(c.slot_a, c.slot_b));
  const Superblock expected = published(c.generation, kDataStart);
  EXPECT_THAT(append_manifest_and_publish_with_checkpoint(store, kDataStart),
              IsOkAndHolds(expected));
  const SuperblockSlots slots = slots_of(store);
  EXPECT_EQ(c.target == SuperblockSlot::A ? slots.a : slots.b, expected);
  // The slot not targeted is left byte for byte as it was.
  const std::uint64_t other =
      c.target == SuperblockSlot::A ? kSuperblockSlotBOffset : kSuperblockSlotAOffset;
  const Bytes& kept = c.target == SuperblockSlot::A ? c.slot_b : c.slot_a;
  EXPECT_EQ(Bytes(store.bytes().begin() + static_cast<std::ptrdiff_t>(other),
                  store.bytes().begin() + static_cast<std::ptrdiff_t>(other + kSuperblockSize)),
            kept);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PublishSlotTest,
    ::testing::Values(SlotCase{"TieWritesB", at_generation(5).encode(), at_generation(5).encode(),
                               6, SuperblockSlot::B},
                      SlotCase{"NewerBWritesA", at_generation(3).encode(),
                               at_generation(4).encode(), 5, SuperblockSlot::A},
                      SlotCase{"CorruptAWritesA", corrupt(at_generation(9).encode()),
                               at_generation(7).encode(), 8, SuperblockSlot::A},
                      SlotCase{"CorruptBWritesB", at_generation(7).encode(),
                               corrupt(at_generation(9).encode()), 8, SuperblockSlot::B},
                      SlotCase{"BothCorruptWritesGenerationOneToB",
                               corrupt(at_generation(4).encode()),
                               corrupt(at_generation(5).encode()), 1, SuperblockSlot::B},
                      SlotCase{"ZeroSlotsWriteGenerationOneToB", Bytes(kSuperblockSize, 0),
                               Bytes(kSuperblockSize, 0), 1, SuperblockSlot::B},
                      SlotCase{"UnsignedGenerations", at_generation(kMaxU64 - 1).encode(),
                               at_generation(1).encode(), kMaxU64, SuperblockSlot::B},
                      SlotCase{"GenerationSaturates", at_generation(3).encode(),
                               at_generation(kMaxU64).encode(), kMaxU64, SuperblockSlot::A}),
    [](const ::testing::TestParamInfo<SlotCase>& param) { return std::string(param.param.name); });

TEST(PublishTest, CarriesTheWinnersCheckpointOver) {
  Superblock winner = at_generation(8);
  winner.checkpoint_offset = 12345;
  winner.checkpoint_len = 678;
  Superblock loser = at_generation(7);
  loser.checkpoint_offset = 99;
  loser.checkpoint_len = 1;
  VecStore store(fixed_area(loser.encode(), winner.encode()));
  ASSERT_OK_AND_ASSIGN(const Superblock next,
                       append_manifest_and_publish_with_checkpoint(store, kDataStart));
  EXPECT_EQ(next.generation, 9u);
  EXPECT_EQ(next.checkpoint_offset, 12345u);
  EXPECT_EQ(next.checkpoint_len, 678u);
  EXPECT_EQ(slots_of(store).a, next);
}

TEST(PublishTest, NoValidSlotMeansNoCheckpoint) {
  Superblock stale = at_generation(3);
  stale.checkpoint_offset = 12345;
  stale.checkpoint_len = 678;
  VecStore store(fixed_area(corrupt(stale.encode()), corrupt(stale.encode())));
  ASSERT_OK_AND_ASSIGN(const Superblock next,
                       append_manifest_and_publish_with_checkpoint(store, kDataStart));
  EXPECT_EQ(next, published(1, kDataStart));
}

}  // namespace
}  // namespace quarn
