// Transactions on the engine handle: one framed transaction per commit, staged reads, unique
// values released inside the transaction, rollback, failed commits and transaction ids.
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
#include "txn.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using ::quarn::testing::FaultStore;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::LoggedSegment;
using ::quarn::testing::MemDb;
using ::quarn::testing::reopen;
using ::quarn::testing::s_i64;
using ::quarn::testing::segments_from;
using ::quarn::testing::stored_user;
using ::quarn::testing::types_of;
using ::quarn::testing::user;
using ::quarn::testing::user_fields;
using ::quarn::testing::user_indexes;
using ::quarn::testing::users_db;
using ::testing::ElementsAre;
using ::testing::Optional;
using ST = SegmentType;

const std::optional<Row> kNoRow;

TEST(TxnTest, CommitWritesOneFramedTransactionWithTheBeginId) {
  MemDb db = users_db();
  const std::uint64_t before = db.store().bytes().size();
  ASSERT_OK(db.begin_transaction());
  const std::uint64_t id = db.last_txn_id();
  ASSERT_OK(db.insert(1, user(1, "a")));
  ASSERT_OK(db.insert(1, user(2, "b")));
  EXPECT_EQ(db.store().bytes().size(), before);
  EXPECT_EQ(db.last_txn_id(), id);
  ASSERT_OK(db.commit_txn_staging());
  EXPECT_FALSE(db.in_transaction());

  const std::vector<LoggedSegment> logged = segments_from(db.store(), before);
  EXPECT_THAT(types_of(logged), ElementsAre(ST::TxnBegin, ST::Index, ST::Record, ST::Index,
                                            ST::Record, ST::TxnCommit, ST::Manifest));
  EXPECT_THAT(decode_txn_payload_v0(logged.front().payload), IsOkAndHolds(id));
  EXPECT_THAT(decode_txn_payload_v0(logged[5].payload), IsOkAndHolds(id));
  EXPECT_EQ(testing::committed_latest_of(reopen(db)), testing::committed_latest_of(db));
  EXPECT_EQ(db.committed_state().row_count(1), 2u);
}

TEST(TxnTest, EmptyCommitWritesNothingButUsesAnId) {
  MemDb db = users_db();
  const Bytes image = db.snapshot_bytes();
  const std::uint64_t id = db.last_txn_id();
  ASSERT_OK(db.commit_txn_staging());
  EXPECT_EQ(db.last_txn_id(), id);
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.commit_txn_staging());
  EXPECT_EQ(db.last_txn_id(), id + 1);
  EXPECT_EQ(db.snapshot_bytes(), image);
}

TEST(TxnTest, NestedBeginLeavesTheOpenTransactionUsable) {
  MemDb db = users_db();
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.insert(1, user(1, "a")));
  const std::uint64_t id = db.last_txn_id();
  EXPECT_THAT(db.begin_transaction(),
              ErrorRenders("transaction error: nested transactions are not supported"));
  EXPECT_EQ(db.last_txn_id(), id);
  ASSERT_OK(db.insert(1, user(2, "b")));
  ASSERT_OK(db.commit_txn_staging());
  EXPECT_EQ(db.committed_state().row_count(1), 2u);
}

TEST(TxnTest, ReadsSeeStagedWritesUntilRollback) {
  MemDb db = users_db();
  ASSERT_OK(db.insert(1, user(1, "a")));
  const Bytes image = db.snapshot_bytes();
  const std::uint64_t id = db.last_txn_id();

  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.insert(1, user(2, "b")));
  ASSERT_OK(db.delete_row(1, s_i64(1)));
  EXPECT_THAT(db.get(1, s_i64(2)), IsOkAndHolds(Optional(stored_user(2, "b"))));
  EXPECT_THAT(db.get(1, s_i64(1)), IsOkAndHolds(kNoRow));
  EXPECT_TRUE(db.committed_state().get(1, s_i64(1).canonical_key_bytes()).has_value());
  db.rollback_transaction();

  EXPECT_THAT(db.get(1, s_i64(2)), IsOkAndHolds(kNoRow));
  EXPECT_THAT(db.get(1, s_i64(1)), IsOkAndHolds(Optional(stored_user(1, "a"))));
  EXPECT_EQ(db.snapshot_bytes(), image);
  ASSERT_OK(db.begin_transaction());
  EXPECT_EQ(db.last_txn_id(), id + 2);
}

TEST(TxnTest, UniqueValueReleasedEarlierCanBeTaken) {
  MemDb db = users_db();
  ASSERT_OK(db.insert(1, user(1, "x")));
  ASSERT_OK(db.insert(1, user(3, "z")));
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.insert(1, user(1, "y")));
  EXPECT_THAT(db.insert(1, user(2, "y")), ErrorRenders("schema error: unique index violation"));
  ASSERT_OK(db.insert(1, user(2, "x")));
  ASSERT_OK(db.delete_row(1, s_i64(3)));
  ASSERT_OK(db.insert(1, user(4, "z")));
  ASSERT_OK(db.commit_txn_staging());

  MemDb again = reopen(db);
  EXPECT_EQ(testing::committed_latest_of(again), testing::committed_latest_of(db));
  EXPECT_THAT(again.get(1, s_i64(1)), IsOkAndHolds(Optional(stored_user(1, "y"))));
  EXPECT_THAT(again.get(1, s_i64(2)), IsOkAndHolds(Optional(stored_user(2, "x"))));
  EXPECT_THAT(again.insert(1, user(5, "z")), ErrorRenders("schema error: unique index violation"));
}

TEST(TxnTest, FailedWriteKeepsTheTransactionAndItsEarlierWrites) {
  MemDb db = users_db();
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.insert(1, user(1, "a")));
  EXPECT_THAT(db.insert(1, user(2, "a")), ErrorRenders("schema error: unique index violation"));
  EXPECT_TRUE(db.in_transaction());
  ASSERT_EQ(testing::txn_of(db)->pending.count(), 2u);
  ASSERT_OK(db.commit_txn_staging());
  EXPECT_THAT(reopen(db).get(1, s_i64(1)), IsOkAndHolds(Optional(stored_user(1, "a"))));
}

TEST(TxnTest, FailedCommitEndsTheTransactionAndKeepsCommittedState) {
  Database<FaultStore> db = Database<FaultStore>::open_with_store("f", FaultStore()).value();
  db.register_collection_with_indexes("users", user_fields(), user_indexes(), "id").value();
  const Bytes image = db.store().bytes();
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.insert(1, user(1, "a")));
  db.store().fail_write_at(db.store().writes() + 3);
  EXPECT_THAT(db.commit_txn_staging(), ErrorRenders("i/o error: Input/output error (os error 5)"));
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(db.committed_state().row_count(1), 0u);
  EXPECT_EQ(db.store().bytes(), image);
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.insert(1, user(1, "a")));
  ASSERT_OK(db.commit_txn_staging());
  EXPECT_EQ(db.committed_state().row_count(1), 1u);
}

TEST(TxnTest, IdsStartAgainAfterReopen) {
  MemDb db = users_db();
  ASSERT_OK(db.insert(1, user(1, "a")));
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.commit_txn_staging());
  EXPECT_EQ(db.last_txn_id(), 3u);

  MemDb again = reopen(db);
  EXPECT_EQ(again.last_txn_id(), 0u);
  const std::uint64_t before = again.store().bytes().size();
  ASSERT_OK(again.insert(1, user(2, "b")));
  const std::vector<LoggedSegment> logged = segments_from(again.store(), before);
  EXPECT_THAT(decode_txn_payload_v0(logged.front().payload), IsOkAndHolds(1u));
  // Ids repeat in the log across opens and the image still opens.
  EXPECT_EQ(reopen(again).committed_state().row_count(1), 2u);
}

}  // namespace
}  // namespace quarn
