// Backfill and index rebuild: each one framed transaction or nothing, refused inside a
// transaction, and undone whole by a failing row, a unique conflict or a failed commit.
#include <cstdint>
#include <optional>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/database.h"
#include "testing/db.h"
#include "testing/db_state.h"
#include "testing/fault_store.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::FaultStore;
using ::quarn::testing::i64;
using ::quarn::testing::index_def;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::MemDb;
using ::quarn::testing::null;
using ::quarn::testing::opt;
using ::quarn::testing::reopen;
using ::quarn::testing::s_i64;
using ::quarn::testing::segments_from;
using ::quarn::testing::str;
using ::quarn::testing::ty;
using ::quarn::testing::types_of;
using ::quarn::testing::unique_owner;
using ::testing::ElementsAre;
using ::testing::Optional;
using K = Type::Kind;
using ST = SegmentType;

std::vector<FieldDef> score_fields() {
  return {def("id", ty(K::Int64)), def("score", ty(K::Int64)), def("nick", opt(ty(K::String)))};
}

std::vector<FieldDef> with_age() {
  std::vector<FieldDef> fields = score_fields();
  fields.push_back(def("age", ty(K::Int64)));
  return fields;
}

std::vector<IndexDef> score_indexes() {
  return {index_def("by_score", {"score"}), index_def("by_nick", {"nick"})};
}

Row scored(std::int64_t id, std::int64_t score) {
  return Row{{"id", i64(id)}, {"score", i64(score)}};
}

// "scores" (id 1) at version 1 without indexes, holding the given rows.
template <Store S>
std::optional<Bytes> score_owner(const Database<S>& db, std::int64_t score) {
  return unique_owner(testing::committed_indexes_of(db), 1, "by_score",
                      s_i64(score).canonical_key_bytes());
}

template <Store S>
void fill(Database<S>& db, const std::vector<Row>& rows) {
  db.register_collection_with_indexes("scores", score_fields(), {}, "id").value();
  for (const Row& row : rows) db.insert(1, row).value();
}

MemDb scores_db(const std::vector<Row>& rows) {
  MemDb db = MemDb::open_in_memory().value();
  fill(db, rows);
  return db;
}

TEST(BackfillTest, FillsRowsLackingTheFieldInOneTransaction) {
  MemDb db = scores_db({scored(1, 10), scored(2, 20)});
  ASSERT_OK(db.register_schema_version_with_indexes_force(1, with_age(), score_indexes()));
  Row third = scored(3, 30);
  third.emplace("age", i64(99));
  ASSERT_OK(db.insert(1, third));
  const std::uint64_t before = db.store().bytes().size();

  ASSERT_OK(db.backfill_top_level_field_with_value(1, "age", i64(7)));
  EXPECT_THAT(types_of(segments_from(db.store(), before)),
              ElementsAre(ST::TxnBegin, ST::Index, ST::Record, ST::Index, ST::Record, ST::TxnCommit,
                          ST::Manifest));
  Row first = scored(1, 10);
  first.emplace("nick", null());
  first.emplace("age", i64(7));
  EXPECT_THAT(db.get(1, s_i64(1)), IsOkAndHolds(Optional(first)));
  EXPECT_THAT(db.get(1, s_i64(3)),
              IsOkAndHolds(Optional(::testing::Contains(::testing::Pair("age", i64(99))))));
  // The replacements indexed the backfilled rows under the new definitions.
  EXPECT_EQ(score_owner(db, 10), s_i64(1).canonical_key_bytes());
  EXPECT_EQ(testing::committed_latest_of(reopen(db)), testing::committed_latest_of(db));
}

TEST(BackfillTest, NothingToFillWritesNothingButUsesAnId) {
  MemDb db = scores_db({scored(1, 10)});
  ASSERT_OK(db.register_collection_with_indexes("empty", score_fields(), {}, "id"));
  const Bytes image = db.snapshot_bytes();
  const std::uint64_t id = db.last_txn_id();
  ASSERT_OK(db.backfill_top_level_field_with_value(1, "nick", str("x")));  // present as null
  ASSERT_OK(db.backfill_top_level_field_with_value(2, "age", i64(1)));     // no rows
  EXPECT_EQ(db.snapshot_bytes(), image);
  EXPECT_EQ(db.last_txn_id(), id + 2);
}

TEST(BackfillTest, FailingRowChangesNoRow) {
  MemDb db = scores_db({scored(1, 10), scored(2, 20)});
  ASSERT_OK(db.register_schema_version_with_indexes_force(1, with_age(), {}));
  const Bytes image = db.snapshot_bytes();
  const LatestRows rows = testing::committed_latest_of(db);
  EXPECT_THAT(db.backfill_top_level_field_with_value(1, "age", str("old")),
              ErrorRenders("validation error at age: expected int64"));
  EXPECT_THAT(db.backfill_top_level_field_with_value(1, "unknown", i64(1)),
              ErrorRenders("validation error at unknown: unknown field"));
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(db.snapshot_bytes(), image);
  EXPECT_EQ(testing::committed_latest_of(db), rows);
}

TEST(BackfillTest, UniqueConflictBetweenFilledRowsChangesNoRow) {
  MemDb db = scores_db({scored(1, 10), scored(2, 20)});
  std::vector<IndexDef> indexes = score_indexes();
  indexes.push_back(index_def("by_age", {"age"}));
  ASSERT_OK(db.register_schema_version_with_indexes_force(1, with_age(), indexes));
  const Bytes image = db.snapshot_bytes();
  EXPECT_THAT(db.backfill_top_level_field_with_value(1, "age", i64(5)),
              ErrorRenders("schema error: unique index violation"));
  EXPECT_EQ(db.snapshot_bytes(), image);
  EXPECT_EQ(db.committed_state().get(1, s_i64(1).canonical_key_bytes())->find("age").has_value(),
            false);
}

TEST(MaintenanceTest, RefusedInsideATransactionAndForUnknownCollections) {
  MemDb db = scores_db({scored(1, 10)});
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.insert(1, scored(2, 20)));
  const std::uint64_t id = db.last_txn_id();
  EXPECT_THAT(db.backfill_top_level_field_with_value(1, "nick", str("x")),
              ErrorRenders("transaction error: nested transactions are not supported"));
  EXPECT_THAT(db.rebuild_indexes_for_collection(1),
              ErrorRenders("transaction error: nested transactions are not supported"));
  EXPECT_TRUE(db.in_transaction());
  EXPECT_EQ(testing::txn_of(db)->pending.count(), 1u);
  EXPECT_EQ(db.last_txn_id(), id);
  db.rollback_transaction();

  EXPECT_THAT(db.backfill_top_level_field_with_value(4, "nick", str("x")),
              ErrorRenders("schema error: unknown collection id 4"));
  EXPECT_THAT(db.rebuild_indexes_for_collection(4),
              ErrorRenders("schema error: unknown collection id 4"));
}

TEST(RebuildTest, IndexesRowsWrittenBeforeTheIndexExisted) {
  MemDb db = scores_db({scored(1, 10), scored(2, 20)});
  ASSERT_OK(db.register_schema_version_with_indexes_force(1, score_fields(), score_indexes()));
  ASSERT_EQ(score_owner(db, 10), std::nullopt);
  const std::uint64_t before = db.store().bytes().size();

  ASSERT_OK(db.rebuild_indexes_for_collection(1));
  const auto logged = segments_from(db.store(), before);
  EXPECT_THAT(types_of(logged), ElementsAre(ST::TxnBegin, ST::Index, ST::TxnCommit, ST::Manifest));
  // Absent nicks get no entry: two score entries only.
  EXPECT_THAT(decode_index_payload(logged[1].payload), IsOkAndHolds(::testing::SizeIs(2)));
  EXPECT_EQ(score_owner(db, 10), s_i64(1).canonical_key_bytes());
  EXPECT_EQ(score_owner(db, 20), s_i64(2).canonical_key_bytes());
  EXPECT_THAT(db.insert(1, scored(3, 20)), ErrorRenders("schema error: unique index violation"));

  // Again: the same entries are logged, and change nothing.
  const std::uint64_t second = db.store().bytes().size();
  ASSERT_OK(db.rebuild_indexes_for_collection(1));
  const auto again = segments_from(db.store(), second);
  ASSERT_EQ(again.size(), 4u);
  EXPECT_EQ(decode_index_payload(again[1].payload).value().size(), 2u);
  MemDb reopened = reopen(db);
  EXPECT_EQ(score_owner(reopened, 20), s_i64(2).canonical_key_bytes());
}

TEST(RebuildTest, SharedUniqueValueDiscardsTheWholeRebuild) {
  MemDb db = scores_db({scored(1, 10), scored(2, 10), scored(3, 30)});
  ASSERT_OK(db.register_schema_version_with_indexes_force(1, score_fields(), score_indexes()));
  const Bytes image = db.snapshot_bytes();
  EXPECT_THAT(db.rebuild_indexes_for_collection(1),
              ErrorRenders("schema error: unique index violation"));
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(db.snapshot_bytes(), image);
  EXPECT_EQ(score_owner(db, 30), std::nullopt);
}

TEST(RebuildTest, NoIndexesWritesNothing) {
  MemDb db = scores_db({scored(1, 10)});
  const Bytes image = db.snapshot_bytes();
  ASSERT_OK(db.rebuild_indexes_for_collection(1));
  EXPECT_EQ(db.snapshot_bytes(), image);
}

TEST(MaintenanceTest, FailedCommitLeavesStateAndStore) {
  Database<FaultStore> db = Database<FaultStore>::open_with_store("f", FaultStore()).value();
  fill(db, {scored(1, 10), scored(2, 20)});
  ASSERT_OK(db.register_schema_version_with_indexes_force(1, with_age(), score_indexes()));
  const Bytes image = db.store().bytes();
  const LatestRows rows = testing::committed_latest_of(db);

  db.store().fail_write_at(db.store().writes() + 1);
  EXPECT_THAT(db.backfill_top_level_field_with_value(1, "age", i64(1)),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  db.store().fail_write_at(db.store().writes() + 2);
  EXPECT_THAT(db.rebuild_indexes_for_collection(1),
              ErrorRenders("i/o error: Input/output error (os error 5)"));

  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(db.store().bytes(), image);
  EXPECT_EQ(testing::committed_latest_of(db), rows);
  EXPECT_EQ(score_owner(db, 10), std::nullopt);
}

}  // namespace
}  // namespace quarn
