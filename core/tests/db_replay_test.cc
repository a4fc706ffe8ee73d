// Log replay: order of application, framed and unframed logs, schema versions, old payloads.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "catalog/codec.h"
#include "db/database.h"
#include "db/recover.h"
#include "db/replay.h"
#include "db/write.h"
#include "testing/db_state.h"
#include "testing/log_images.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using testing::cat;
using testing::ErrorRenders;

Bytes seg(SegmentType type, const Bytes& payload) { return testing::segment(type, payload); }
Bytes catalog_seg(const Bytes& payload) { return seg(SegmentType::Catalog, payload); }
Bytes record_seg(const Bytes& payload) { return seg(SegmentType::Record, payload); }
Bytes index_seg(const Bytes& payload) { return seg(SegmentType::Index, payload); }
Bytes framed(std::uint64_t id, std::vector<Bytes> segments,
             SegmentType close = SegmentType::TxnCommit) {
  Bytes out = testing::marker(SegmentType::TxnBegin, id);
  for (const Bytes& s : segments) testing::append(out, s);
  testing::append(out, testing::marker(close, id));
  return out;
}

Result<ReplayedState> replay(std::uint16_t minor, const Bytes& log) {
  VecStore store(testing::image_with_log(minor, log));
  return load_catalog_latest_and_indexes(store, kDataStart, minor);
}

std::optional<Row> row_of(const ReplayedState& state, std::int64_t id) {
  const std::optional<RowView> row = state.latest.get(1, testing::user_key(id));
  if (!row) return std::nullopt;
  return row->to_row();
}

TEST(ReplayTest, EmptyDataAreaGivesEmptyState) {
  for (const std::uint16_t minor : std::vector<std::uint16_t>{3, 6}) {
    ASSERT_OK_AND_ASSIGN(const ReplayedState state, replay(minor, {}));
    EXPECT_EQ(state.catalog.next_id(), 1u);
    EXPECT_EQ(state.latest.size(), 0u);
    EXPECT_FALSE(state.indexes.unique_lookup(1, "by_name", testing::name_key("a")));
  }
}

TEST(ReplayTest, LaterRecordsReplaceAndDeleteInLogOrder) {
  const Bytes log = cat({
      framed(1, {catalog_seg(testing::create_users())}),
      framed(2, {index_seg(testing::by_name_payload("a", 1)),
                 record_seg(testing::user_record(1, "a"))}),
      framed(3,
             {record_seg(testing::user_record(2, "b")), record_seg(testing::user_record(3, "c"))}),
      framed(4, {index_seg(encode_index_payload({testing::by_name_entry("a", 1, IndexOp::Delete),
                                                 testing::by_name_entry("z", 1)})),
                 record_seg(testing::user_record(1, "z", 2))}),
      framed(5, {record_seg(testing::user_record(2, "", 3))}),
      // A delete of a key that holds no row changes nothing.
      framed(6, {record_seg(testing::user_record(9, "", 3))}),
  });
  ASSERT_OK_AND_ASSIGN(const ReplayedState state, replay(6, log));
  EXPECT_EQ(state.latest.size(), 2u);
  ASSERT_TRUE(row_of(state, 1).has_value());
  EXPECT_EQ(*row_of(state, 1), testing::user_row(1, "z"));
  EXPECT_FALSE(row_of(state, 2).has_value());
  EXPECT_EQ(*row_of(state, 3), testing::user_row(3, "c"));
  EXPECT_FALSE(state.indexes.unique_lookup(1, "by_name", testing::name_key("a")));
  EXPECT_TRUE(state.indexes.unique_lookup(1, "by_name", testing::name_key("z")));
}

TEST(ReplayTest, AbortedTransactionContributesNothing) {
  const Bytes log = cat({
      framed(1, {catalog_seg(testing::create_users())}),
      framed(
          2,
          {index_seg(testing::by_name_payload("a", 1)), record_seg(testing::user_record(1, "a"))},
          SegmentType::TxnAbort),
      framed(3, {record_seg(testing::user_record(2, "b"))}),
  });
  ASSERT_OK_AND_ASSIGN(const ReplayedState state, replay(6, log));
  EXPECT_EQ(state.latest.size(), 1u);
  EXPECT_EQ(*row_of(state, 2), testing::user_row(2, "b"));
  EXPECT_FALSE(state.indexes.unique_lookup(1, "by_name", testing::name_key("a")));
}

TEST(ReplayTest, Minor5IgnoresMarkers) {
  const Bytes log = cat({
      catalog_seg(testing::create_users()),
      testing::marker(SegmentType::TxnBegin, 1),
      record_seg(testing::user_record(1, "a")),
      testing::marker(SegmentType::TxnAbort, 1),
      testing::marker(SegmentType::TxnBegin, 2),
      record_seg(testing::user_record(2, "b")),
  });
  ASSERT_OK_AND_ASSIGN(const ReplayedState state, replay(5, log));
  EXPECT_EQ(state.latest.size(), 2u);
}

TEST(ReplayTest, RowsKeepTheSchemaVersionTheyWereWrittenUnder) {
  const Bytes log = cat({
      framed(1, {catalog_seg(testing::create_users())}),
      framed(2, {record_seg(testing::user_record(1, "a"))}),
      framed(3, {catalog_seg(testing::users_version_2())}),
      framed(4, {record_seg(testing::user_record_v2(2, "b", 40))}),
  });
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db,
                       Database<VecStore>::from_snapshot_bytes(testing::image_with_log(6, log)));
  EXPECT_EQ(db.catalog().get(1)->schema_version, 2u);
  EXPECT_EQ(db.state().get(1, testing::user_key(1))->to_row(), testing::user_row(1, "a"));
  Row second = testing::user_row(2, "b");
  second["age"] = RowValue(ScalarValue::Uint64{40});
  EXPECT_EQ(db.state().get(1, testing::user_key(2))->to_row(), second);
}

TEST(ReplayTest, UnframedSegmentsBeforeTheFirstTransactionCountAsCommitted) {
  // What the first commit leaves on a 0.5 image: its segments stay in front, unframed.
  VecStore store(testing::image_with_log(
      5, cat({catalog_seg(testing::create_users()), record_seg(testing::user_record(1, "a"))})));
  std::uint16_t minor = 5;
  const Bytes row = testing::user_record(2, "b");
  const std::array<SegmentView, 1> segments = {SegmentView{SegmentType::Record, row}};
  ASSERT_OK(commit_write_txn_v6(store, kDataStart, minor, 1, segments));
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db,
                       Database<VecStore>::from_snapshot_bytes(store.take_bytes()));
  EXPECT_EQ(db.format_minor(), 6);
  EXPECT_EQ(testing::latest_of(db).size(), 2u);
}

// A 0.3 image written by old code (catalog payloads of versions 1 to 3, record and index
// payloads of version 1) keeps its state through the upgrade of its first commit.
TEST(ReplayTest, OldPayloadsReplayBeforeAndAfterTheUpgradeTo6) {
  const std::vector<FieldDef> fields = testing::users_fields();
  const Bytes log = cat({
      catalog_seg(testing::create_collection_old(1, 1, "legacy", fields, "")),
      catalog_seg(testing::create_collection_old(2, 2, "two", fields, "id")),
      catalog_seg(testing::create_collection_old(3, 3, "three", fields, "id")),
      // Collection 1 has no primary field: its rows are passed over.
      record_seg(testing::user_record_v1(1, "skipped", 1, 1)),
      record_seg(testing::user_record_v1(1, "a", 1, 2)),
      record_seg(testing::user_record_v1(2, "b", 1, 3)),
      record_seg(testing::user_record_v1(1, "", 3, 3)),
      index_seg(testing::index_payload_v1(
          {IndexEntry{"i", Bytes{1}, Bytes{2}, 2, IndexKind::NonUnique, IndexOp::Insert}})),
  });
  Bytes image = testing::image_with_log(3, log);
  ASSERT_OK_AND_ASSIGN(Database<VecStore> old, Database<VecStore>::from_snapshot_bytes(image));
  const LatestRows before = testing::latest_of(old);
  EXPECT_EQ(before.size(), 2u);
  EXPECT_EQ(before.size_of(1), 0u);
  EXPECT_EQ(old.catalog().collection_names(), (std::vector<std::string>{"legacy", "three", "two"}));
  EXPECT_TRUE(old.state().non_unique_lookup(2, "i", Bytes{1}));

  VecStore store(image);
  std::uint16_t minor = 3;
  const Bytes row = testing::user_record(5, "e", 1, 1, 2);
  const std::array<SegmentView, 1> segments = {SegmentView{SegmentType::Record, row}};
  ASSERT_OK(commit_write_txn_v6(store, kDataStart, minor, 1, segments));
  ASSERT_OK_AND_ASSIGN(Database<VecStore> upgraded,
                       Database<VecStore>::from_snapshot_bytes(store.take_bytes()));
  EXPECT_EQ(upgraded.format_minor(), 6);
  EXPECT_EQ(testing::latest_of(upgraded).size(), 3u);
  EXPECT_EQ(upgraded.catalog().collections(), old.catalog().collections());
  EXPECT_TRUE(upgraded.state().non_unique_lookup(2, "i", Bytes{1}));
}

struct ReplayFailure {
  const char* name;
  std::uint16_t minor;
  Bytes log;
  const char* error;
};

Bytes create_nested() {
  return encode_catalog_payload(CatalogRecordWire::CreateCollection{
      1,
      "nested",
      1,
      {testing::field("id", Type::Kind::Int64),
       FieldDef{FieldPath::make({"a", "b"}).value(), Type(Type::Kind::Int64), {}}},
      {},
      std::string("id")});
}

class ReplayFailsTest : public ::testing::TestWithParam<ReplayFailure> {};

TEST_P(ReplayFailsTest, WithItsError) {
  EXPECT_THAT(replay(GetParam().minor, GetParam().log), ErrorRenders(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Logs, ReplayFailsTest,
    ::testing::Values(
        ReplayFailure{"UnknownCollection", 5, record_seg(testing::user_record(1, "a")),
                      "schema error: unknown collection id 1"},
        ReplayFailure{"FiveByteRecord", 5,
                      cat({catalog_seg(testing::create_users()), record_seg(Bytes{2, 0, 1, 0, 0})}),
                      "format error: truncated record payload"},
        ReplayFailure{"NestedFieldPath", 5,
                      cat({catalog_seg(create_nested()), record_seg(testing::user_record(1, "a"))}),
                      "not implemented"},
        ReplayFailure{"RecordOfAnotherSchemaVersion", 6,
                      framed(1, {catalog_seg(testing::create_users()),
                                 record_seg(testing::user_record(1, "a", 1, 2))}),
                      "schema error: invalid schema version: expected 1, got 2"},
        ReplayFailure{"CatalogRefusesEntry", 6,
                      framed(1, {catalog_seg(testing::create_users(1)),
                                 catalog_seg(testing::create_users(2))}),
                      "schema error: duplicate collection name: \"users\""},
        ReplayFailure{"UniqueIndexViolation", 5,
                      cat({index_seg(testing::by_name_payload("a", 1)),
                           index_seg(testing::by_name_payload("a", 2))}),
                      "schema error: unique index violation"},
        ReplayFailure{"NestedBegin", 6,
                      cat({testing::marker(SegmentType::TxnBegin, 1),
                           testing::marker(SegmentType::TxnBegin, 2)}),
                      "format error: invalid transaction marker payload: nested TxnBegin in "
                      "replay"},
        ReplayFailure{"CommitOutsideTransaction", 6, testing::marker(SegmentType::TxnCommit, 1),
                      "format error: invalid transaction marker payload: TxnCommit outside "
                      "transaction in replay"},
        ReplayFailure{"CommitIdMismatch", 6,
                      cat({testing::marker(SegmentType::TxnBegin, 1),
                           testing::marker(SegmentType::TxnCommit, 2)}),
                      "format error: invalid transaction marker payload: TxnCommit txn_id "
                      "mismatch in replay"},
        ReplayFailure{"UnclosedTransaction", 6, testing::marker(SegmentType::TxnBegin, 1),
                      "format error: invalid transaction marker payload: unclosed transaction "
                      "at end of log (recovery should truncate)"},
        ReplayFailure{"TornTail", 6, Bytes(10, 0),
                      "format error: truncated segment header: got 10 bytes, expected 32"}),
    [](const ::testing::TestParamInfo<ReplayFailure>& p) { return std::string(p.param.name); });

TEST(ReplayTest, FramingErrorAppliesNothingBeforeIt) {
  // The catalog entry would be applied first in log order; the framing check comes before.
  const Bytes log = cat({framed(1, {catalog_seg(testing::create_users())}),
                         testing::marker(SegmentType::TxnCommit, 5)});
  VecStore store(testing::image_with_log(6, log));
  Catalog catalog;
  LatestRows latest;
  IndexState indexes;
  EXPECT_FALSE(replay_tail_into(store, kDataStart, 6, catalog, latest, indexes).ok());
  EXPECT_TRUE(catalog.collections().empty());
}

TEST(ReplayTest, TailReplayFromInsideATransactionFails) {
  const Bytes begin = testing::marker(SegmentType::TxnBegin, 1);
  const Bytes log = framed(1, {catalog_seg(testing::create_users())});
  VecStore store(testing::image_with_log(6, log));
  Catalog catalog;
  LatestRows latest;
  IndexState indexes;
  EXPECT_THAT(replay_tail_into(store, kDataStart + kSegmentHeaderSize + 18 + begin.size(), 6,
                               catalog, latest, indexes),
              ErrorRenders("format error: invalid transaction marker payload: TxnCommit outside "
                           "transaction in replay"));
}

// Open hands the segments recovery walked to the replay instead of scanning again: from any
// start, that gives what a fresh scan gives, state or error.
TEST(ReplayTest, SegmentsRecoveryKeptReplayAsAFreshScan) {
  const Bytes first = framed(1, {catalog_seg(testing::create_users())});
  const Bytes second = framed(
      2, {index_seg(testing::by_name_payload("a", 1)), record_seg(testing::user_record(1, "a"))});
  const Bytes log = cat({first, second, framed(3, {record_seg(testing::user_record(2, "b"))}),
                         testing::marker(SegmentType::TxnBegin, 4)});  // cut by recovery
  VecStore store(testing::image_with_log(6, log));
  std::vector<SegmentMeta> kept;
  ASSERT_OK_AND_ASSIGN(const std::uint64_t end,
                       truncate_end_for_recovery(store, kDataStart, 6, kept));
  ASSERT_OK(store.truncate(end));
  const std::uint64_t second_at = kDataStart + first.size();
  // A boundary, the start of the log, and an offset inside a segment, which no kept segment has.
  for (const std::uint64_t start : {kDataStart, second_at, second_at + 1}) {
    SCOPED_TRACE(start);
    Catalog catalog[2];
    LatestRows latest[2];
    IndexState indexes[2];
    if (start == second_at) {
      for (Catalog& c : catalog) {
        ASSERT_OK(c.apply_record(decode_catalog_payload(testing::create_users()).value()));
      }
    }
    const Status fresh = replay_tail_into(store, start, 6, catalog[0], latest[0], indexes[0]);
    const Status reused =
        replay_tail_into(store, start, 6, catalog[1], latest[1], indexes[1], kept);
    ASSERT_EQ(fresh.ok(), reused.ok());
    if (!fresh.ok()) {
      EXPECT_EQ(fresh.error().render(), reused.error().render());
      continue;
    }
    EXPECT_EQ(latest[0].size(), 2u);
    EXPECT_TRUE(latest[0] == latest[1]);
    EXPECT_EQ(catalog[0].collection_names(), catalog[1].collection_names());
    EXPECT_EQ(indexes[1].unique_lookup(1, "by_name", testing::name_key("a")).has_value(), true);
  }
}

TEST(ApplyRecordSegmentTest, RecordOfCollectionWithoutPrimaryFieldIsSkipped) {
  Catalog catalog;
  ASSERT_OK(
      catalog.apply_record(decode_catalog_payload(testing::create_collection_old(
                                                      1, 1, "legacy", testing::users_fields(), ""))
                               .value()));
  LatestRows latest;
  // Not even decoded: a payload that would not decode is passed over too.
  EXPECT_OK(apply_record_segment(Bytes{2, 0, 1, 0, 0, 0, 0xFF}, catalog, latest));
  EXPECT_EQ(latest.size(), 0u);
}

// A long log applies its index segments beside the rest: the state is that of one pass, and
// of two failures the one earlier in the log is the replay's.
class LongReplayTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kRows = 9000;
  static_assert(2 * kRows >= kReplayLanesFrom, "a log long enough for two lanes");
  static std::string name_of(std::int64_t id) { return "n" + std::to_string(id); }

  static Bytes long_log(std::vector<Bytes> last_txn = {}) {
    std::vector<Bytes> rows;
    for (std::int64_t id = 0; id < kRows; ++id) {
      rows.push_back(index_seg(testing::by_name_payload(name_of(id), id)));
      rows.push_back(record_seg(testing::user_record(id, name_of(id))));
    }
    // Each later row replaces the one before it, name and all.
    std::vector<Bytes> changes;
    for (std::int64_t id = 0; id < kRows; id += 2) {
      changes.push_back(
          index_seg(encode_index_payload({testing::by_name_entry(name_of(id), id, IndexOp::Delete),
                                          testing::by_name_entry("m" + name_of(id), id)})));
      changes.push_back(record_seg(testing::user_record(id, "m" + name_of(id))));
    }
    std::vector<Bytes> txns = {framed(1, {catalog_seg(testing::create_users())}),
                               framed(2, std::move(rows)), framed(3, std::move(changes))};
    if (!last_txn.empty()) txns.push_back(framed(4, std::move(last_txn)));
    return cat(std::move(txns));
  }
};

TEST_F(LongReplayTest, StateIsThatOfOnePass) {
  ASSERT_OK_AND_ASSIGN(const ReplayedState state, replay(6, long_log()));
  EXPECT_EQ(state.latest.size(), static_cast<std::size_t>(kRows));
  for (std::int64_t id = 0; id < kRows; ++id) {
    const std::string name = id % 2 == 0 ? "m" + name_of(id) : name_of(id);
    ASSERT_EQ(row_of(state, id), testing::user_row(id, name)) << id;
    const std::optional<ByteSpan> owner =
        state.indexes.unique_lookup(1, "by_name", testing::name_key(name));
    ASSERT_TRUE(owner && std::ranges::equal(*owner, testing::user_key(id))) << id;
  }
  EXPECT_FALSE(state.indexes.unique_lookup(1, "by_name", testing::name_key(name_of(0))));
}

TEST_F(LongReplayTest, TheEarlierOfAnIndexAndARecordFailureIsReported) {
  // Name "n1" is row 1's: a claim by row 2 breaks the unique index.
  const Bytes bad_index = index_seg(testing::by_name_payload(name_of(1), 2));
  const Bytes bad_record = record_seg(testing::user_record(5, "x", 1, 1, 99));
  const Bytes fine_index = index_seg(testing::by_name_payload("fresh", 7));
  EXPECT_THAT(replay(6, long_log({bad_index, bad_record})),
              ErrorRenders("schema error: unique index violation"));
  EXPECT_THAT(replay(6, long_log({bad_record, bad_index})),
              ErrorRenders("schema error: unknown collection id 99"));
  EXPECT_THAT(replay(6, long_log({fine_index, bad_record})),
              ErrorRenders("schema error: unknown collection id 99"));
  EXPECT_THAT(replay(6, long_log({bad_record, fine_index, bad_index})),
              ErrorRenders("schema error: unknown collection id 99"));
}

}  // namespace
}  // namespace quarn
