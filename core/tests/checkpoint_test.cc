// Checkpoint payloads, the state rebuilt from them, and how the open uses or passes them over.
#include "checkpoint.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/database.h"
#include "manifest.h"
#include "superblock.h"
#include "testing/log_images.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using testing::ErrorRenders;
using testing::IsOk;
using testing::IsOkAndHolds;

Bytes checkpoint_payload(std::uint64_t replay_offset, const std::vector<Bytes>& catalog,
                         const std::vector<Bytes>& records, const Bytes& index,
                         std::uint16_t version = 0) {
  Bytes out;
  ByteWriter w(out);
  w.put_u16(version);
  w.put_u64(replay_offset);
  w.put_u32(static_cast<std::uint32_t>(catalog.size()));
  for (const Bytes& c : catalog) w.put_len_prefixed(c);
  w.put_u32(static_cast<std::uint32_t>(records.size()));
  for (const Bytes& r : records) w.put_len_prefixed(r);
  w.put_len_prefixed(index);
  return out;
}

Bytes users_checkpoint(std::uint64_t replay_offset) {
  return checkpoint_payload(replay_offset, {testing::create_users()},
                            {testing::user_record(1, "cp")}, testing::by_name_payload("cp", 1));
}

TEST(CheckpointPayloadTest, DecodesItsLists) {
  ASSERT_OK_AND_ASSIGN(const CheckpointPayload p,
                       decode_checkpoint_payload(users_checkpoint(9000)));
  EXPECT_EQ(p.replay_offset, 9000u);
  ASSERT_EQ(p.catalog_records.size(), 1u);
  EXPECT_EQ(p.record_payloads, std::vector<Bytes>{testing::user_record(1, "cp")});
  EXPECT_EQ(p.index_entries, std::vector<IndexEntry>{testing::by_name_entry("cp", 1)});
}

struct BadPayload {
  const char* name;
  Bytes payload;
  const char* error;
};

Bytes with_trailing_byte() {
  Bytes p = users_checkpoint(0);
  p.push_back(0);
  return p;
}
Bytes forged_counts() {
  Bytes p;
  ByteWriter w(p);
  w.put_u16(0);
  w.put_u64(0);
  w.put_u32(0xFFFFFFFF);  // catalog entries
  w.put_u32(0xFFFFFFF0);  // length of the first
  return p;
}

class CheckpointPayloadRejectsTest : public ::testing::TestWithParam<BadPayload> {};

TEST_P(CheckpointPayloadRejectsTest, WithItsError) {
  EXPECT_THAT(decode_checkpoint_payload(GetParam().payload), ErrorRenders(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, CheckpointPayloadRejectsTest,
    ::testing::Values(
        BadPayload{"OneByte", Bytes{0}, "format error: invalid catalog payload: unexpected eof"},
        BadPayload{"Version1", checkpoint_payload(0, {}, {}, encode_index_payload({}), 1),
                   "format error: unsupported format version 0.1"},
        BadPayload{"NineBytes", Bytes(9, 0),
                   "format error: invalid catalog payload: unexpected eof"},
        BadPayload{"NoIndexPayload", Bytes(18, 0),
                   "format error: invalid catalog payload: unexpected eof"},
        BadPayload{"ForgedCounts", forged_counts(),
                   "format error: invalid catalog payload: unexpected eof"},
        BadPayload{"TrailingByte", with_trailing_byte(),
                   "format error: invalid catalog payload: trailing bytes in checkpoint payload"}),
    [](const ::testing::TestParamInfo<BadPayload>& p) { return std::string(p.param.name); });

TEST(CheckpointStateTest, RecordsAreLiveRowsTheLaterOneWinning) {
  ASSERT_OK_AND_ASSIGN(const CheckpointState state,
                       state_from_checkpoint_payload(checkpoint_payload(
                           8224, {testing::create_users()},
                           {testing::user_record(1, "a"), testing::user_record(1, "b"),
                            testing::user_record(2, "", 3)},
                           encode_index_payload({}))));
  EXPECT_EQ(state.replay_offset, 8224u);
  EXPECT_EQ(state.latest.size(), 2u);
  EXPECT_EQ(state.latest.get(1, testing::user_key(1))->to_row(), testing::user_row(1, "b"));
  // Operation 3 is not a delete here: it leaves a row of the key alone.
  EXPECT_EQ(state.latest.get(1, testing::user_key(2))->to_row(),
            (Row{{"id", RowValue(ScalarValue::Int64{2})}}));
}

TEST(CheckpointStateTest, StateTheRulesRefuseFails) {
  EXPECT_THAT(state_from_checkpoint_payload(
                  checkpoint_payload(0, {testing::create_users(2)}, {}, encode_index_payload({}))),
              ErrorRenders("schema error: unexpected collection id in catalog replay: expected 1, "
                           "got 2"));
  EXPECT_THAT(state_from_checkpoint_payload(checkpoint_payload(
                  0, {}, {testing::user_record(1, "a")}, encode_index_payload({}))),
              ErrorRenders("schema error: unknown collection id 1"));
  EXPECT_THAT(state_from_checkpoint_payload(checkpoint_payload(
                  0, {testing::create_users()}, {Bytes{2, 0, 1}}, encode_index_payload({}))),
              ErrorRenders("format error: truncated record payload"));
  EXPECT_THAT(state_from_checkpoint_payload(checkpoint_payload(
                  0, {testing::create_collection_old(1, 1, "legacy", testing::users_fields(), "")},
                  {testing::user_record(1, "a")}, encode_index_payload({}))),
              ErrorRenders("schema error: collection 1 has no primary key (upgrade catalog or "
                           "re-register)"));
}

// An image whose log holds: users created, a checkpoint segment, then a row committed behind
// it; slot A points at the checkpoint with the given fields.
struct CheckpointImage {
  Bytes image;
  std::uint64_t checkpoint_at = 0;
  std::uint64_t tail_at = 0;  // the framed transaction behind the checkpoint
};

CheckpointImage checkpoint_image(bool point_at_tail, bool bad_crc = false) {
  CheckpointImage out;
  Bytes log = testing::marker(SegmentType::TxnBegin, 1);
  testing::append(log, testing::segment(SegmentType::Catalog, testing::create_users()));
  testing::append(log, testing::marker(SegmentType::TxnCommit, 1));
  const std::uint64_t log_at = kDataStart + kManifestSegmentLen;
  out.checkpoint_at = log_at + log.size();
  // The checkpoint's own segment length is fixed whatever offset it names.
  const std::uint64_t cp_len = kSegmentHeaderSize + users_checkpoint(0).size();
  out.tail_at = out.checkpoint_at + cp_len;
  const std::uint64_t image_end = out.tail_at + 56 + 32 + testing::user_record(2, "b").size() + 56;
  testing::append(
      log, testing::segment(SegmentType::Checkpoint,
                            users_checkpoint(point_at_tail ? out.tail_at : image_end), bad_crc));
  testing::append(log, testing::marker(SegmentType::TxnBegin, 2));
  testing::append(log, testing::segment(SegmentType::Record, testing::user_record(2, "b")));
  testing::append(log, testing::marker(SegmentType::TxnCommit, 2));
  out.image = testing::image_with_log(6, log);
  EXPECT_EQ(out.image.size(), image_end);
  return out;
}

void point_slot_a_at(Bytes& image, std::uint64_t offset, std::uint32_t length) {
  Superblock sb;
  sb.generation = 100;
  sb.checkpoint_offset = offset;
  sb.checkpoint_len = length;
  const Bytes slot = sb.encode();
  std::copy(slot.begin(), slot.end(), image.begin() + kSuperblockSlotAOffset);
}

std::vector<std::string> names_of_rows(const Database<VecStore>& db) {
  std::vector<std::string> names;
  for (const auto entry : db.state().rows_of(1)) {
    names.push_back(std::get<ScalarValue::String>(entry.row.to_row().at("name").value()).value);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CheckpointOpenTest, LoadedCheckpointIsExtendedByTheTailBehindIt) {
  CheckpointImage cp = checkpoint_image(true);
  point_slot_a_at(cp.image, cp.checkpoint_at, 1);
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db, Database<VecStore>::from_snapshot_bytes(cp.image));
  EXPECT_EQ(names_of_rows(db), (std::vector<std::string>{"b", "cp"}));
  EXPECT_TRUE(db.state().unique_lookup(1, "by_name", testing::name_key("cp")));
}

TEST(CheckpointOpenTest, ReplayOffsetAtTheEndUsesTheCheckpointAlone) {
  CheckpointImage cp = checkpoint_image(false);
  point_slot_a_at(cp.image, cp.checkpoint_at, 1);
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db, Database<VecStore>::from_snapshot_bytes(cp.image));
  EXPECT_EQ(names_of_rows(db), (std::vector<std::string>{"cp"}));
}

TEST(CheckpointOpenTest, PointersThatLeadToNoUsableCheckpointFallBackToFullReplay) {
  const CheckpointImage cp = checkpoint_image(true);
  struct Pointer {
    const char* name;
    std::uint64_t offset;
    std::uint32_t length;
    bool bad_crc;
  };
  const std::vector<Pointer> pointers = {
      {"OffsetZero", 0, 1, false},
      {"LengthZero", cp.checkpoint_at, 0, false},
      {"Offset8223", 8223, 1, false},
      {"OffsetAtEnd", cp.image.size(), 1, false},
      {"OtherSegmentType", cp.tail_at, 1, false},
      {"NotAHeader", cp.checkpoint_at + 1, 1, false},
      {"PayloadChecksum", cp.checkpoint_at, 1, true},
  };
  for (const Pointer& p : pointers) {
    SCOPED_TRACE(p.name);
    Bytes image = checkpoint_image(true, p.bad_crc).image;
    point_slot_a_at(image, p.offset, p.length);
    ASSERT_OK_AND_ASSIGN(Database<VecStore> db, Database<VecStore>::from_snapshot_bytes(image));
    EXPECT_EQ(names_of_rows(db), (std::vector<std::string>{"b"}));
  }
}

TEST(CheckpointLoadTest, ReportsWhyAPointerDoesNotLoad) {
  CheckpointImage cp = checkpoint_image(true, true);
  VecStore store(cp.image);
  EXPECT_THAT(try_load_checkpoint_state(store, cp.checkpoint_at, 1),
              ErrorRenders("format error: segment payload checksum mismatch"));
  EXPECT_THAT(try_load_checkpoint_state(store, cp.tail_at, 1),
              IsOkAndHolds(::testing::Eq(std::nullopt)));
}

TEST(CheckpointLoadTest, ForgedPayloadLengthIsRefusedBeforeAllocating) {
  // A checkpoint header hidden in a spill payload, claiming a terabyte.
  Bytes forged;
  encode_segment_header(SegmentHeader{std::uint64_t{1} << 40, 0, SegmentType::Checkpoint}, forged);
  const Bytes log = testing::segment(SegmentType::TempSpill, forged);
  Bytes image = testing::image_with_log(6, log);
  const std::uint64_t hidden_at = kDataStart + kManifestSegmentLen + kSegmentHeaderSize;
  VecStore store(image);
  EXPECT_THAT(try_load_checkpoint_state(store, hidden_at, 1),
              ErrorRenders("i/o error: read past end of VecStore"));
  point_slot_a_at(image, hidden_at, 1);
  EXPECT_THAT(Database<VecStore>::from_snapshot_bytes(image), IsOk());
}

}  // namespace
}  // namespace quarn
