// Insert, get and delete on the engine handle: what each write logs, replacement and unique
// checks, refusals that write nothing, commit failures, the format upgrade before planning, and
// results kept across writes.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/database.h"
#include "file_format.h"
#include "index.h"
#include "query/ast.h"
#include "record/payload.h"
#include "record/payload_v2.h"
#include "spill.h"
#include "testing/db.h"
#include "testing/db_state.h"
#include "testing/fault_store.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using ::quarn::testing::def_at;
using ::quarn::testing::ErrorCategoryIs;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::FaultStore;
using ::quarn::testing::i64;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::LoggedSegment;
using ::quarn::testing::MemDb;
using ::quarn::testing::path;
using ::quarn::testing::reopen;
using ::quarn::testing::s_i64;
using ::quarn::testing::s_str;
using ::quarn::testing::segments_from;
using ::quarn::testing::stored_user;
using ::quarn::testing::str;
using ::quarn::testing::types_of;
using ::quarn::testing::unique_owner;
using ::quarn::testing::user;
using ::quarn::testing::user_fields;
using ::quarn::testing::user_indexes;
using ::quarn::testing::users_db;
using ::testing::ElementsAre;
using ::testing::Optional;
using K = Type::Kind;
using ST = SegmentType;

template <Store S>
void register_users(Database<S>& db) {
  db.register_collection_with_indexes("users", user_fields(), user_indexes(), "id").value();
}

RecordPayload decode_user_record(const Bytes& payload) {
  const std::vector<FieldDef> fields = user_fields();
  return decode_record_payload(payload, "id", fields.front(), fields).value();
}

IndexEntry email_entry(std::string email, std::int64_t id, IndexOp op) {
  return IndexEntry{"by_email",
                    Bytes(email.begin(), email.end()),
                    s_i64(id).canonical_key_bytes(),
                    1,
                    IndexKind::Unique,
                    op};
}

TEST(RowsTest, InsertIsDurableAndGetReturnsTheCompleteRow) {
  MemDb db = users_db();
  const std::uint64_t before = db.store().bytes().size();
  ASSERT_OK(db.insert(1, user(1, "a@x")));
  EXPECT_THAT(db.get(1, s_i64(1)), IsOkAndHolds(Optional(stored_user(1, "a@x"))));
  EXPECT_THAT(db.get(1, s_i64(2)), IsOkAndHolds(std::optional<Row>()));

  const std::vector<LoggedSegment> logged = segments_from(db.store(), before);
  EXPECT_THAT(types_of(logged),
              ElementsAre(ST::TxnBegin, ST::Index, ST::Record, ST::TxnCommit, ST::Manifest));
  EXPECT_THAT(decode_index_payload(logged[1].payload),
              IsOkAndHolds(ElementsAre(email_entry("a@x", 1, IndexOp::Insert))));
  EXPECT_EQ(decode_user_record(logged[2].payload).op, static_cast<std::uint8_t>(RecordOp::Insert));
  EXPECT_EQ(db.last_txn_id(), 2u);  // the registration, then the insert

  MemDb again = reopen(db);
  EXPECT_THAT(again.get(1, s_i64(1)), IsOkAndHolds(Optional(stored_user(1, "a@x"))));
  EXPECT_EQ(unique_owner(testing::committed_indexes_of(again), 1, "by_email", "a@x"),
            s_i64(1).canonical_key_bytes());
}

TEST(RowsTest, ReplacementDeletesOldEntriesBeforeInsertingNewOnes) {
  MemDb db = users_db();
  ASSERT_OK(db.insert(1, user(1, "a@x")));
  const std::uint64_t before = db.store().bytes().size();
  ASSERT_OK(db.insert(1, user(1, "a@x")));
  ASSERT_OK(db.insert(1, user(1, "b@x")));

  const std::vector<LoggedSegment> logged = segments_from(db.store(), before);
  ASSERT_EQ(logged.size(), 10u);
  EXPECT_THAT(decode_index_payload(logged[1].payload),
              IsOkAndHolds(ElementsAre(email_entry("a@x", 1, IndexOp::Delete),
                                       email_entry("a@x", 1, IndexOp::Insert))));
  EXPECT_EQ(decode_user_record(logged[2].payload).op, static_cast<std::uint8_t>(RecordOp::Replace));
  EXPECT_THAT(decode_index_payload(logged[6].payload),
              IsOkAndHolds(ElementsAre(email_entry("a@x", 1, IndexOp::Delete),
                                       email_entry("b@x", 1, IndexOp::Insert))));
  // The old value is free again; the new one is taken.
  ASSERT_OK(db.insert(1, user(2, "a@x")));
  EXPECT_THAT(db.insert(1, user(3, "b@x")), ErrorRenders("schema error: unique index violation"));
  EXPECT_EQ(testing::committed_latest_of(reopen(db)), testing::committed_latest_of(db));
}

TEST(RowsTest, RefusedWritesLeaveStoreAndCounterAlone) {
  MemDb db = users_db();
  ASSERT_OK(db.insert(1, user(1, "a@x")));
  const Bytes image = db.store().bytes();
  const std::uint64_t id = db.last_txn_id();

  EXPECT_THAT(db.insert(1, user(2, "a@x")), ErrorRenders("schema error: unique index violation"));
  EXPECT_THAT(db.insert(1, Row{{"id", i64(2)}}),
              ErrorRenders("validation error at email: missing field"));
  EXPECT_THAT(db.insert(7, user(2, "b@x")), ErrorRenders("schema error: unknown collection id 7"));
  EXPECT_OK(db.delete_row(1, s_i64(99)));
  EXPECT_THAT(db.delete_row(1, s_str("1")),
              ErrorRenders("format error: record payload type does not match schema"));

  EXPECT_EQ(db.store().bytes(), image);
  EXPECT_EQ(db.last_txn_id(), id);
  EXPECT_THAT(db.get(1, s_i64(1)), IsOkAndHolds(Optional(stored_user(1, "a@x"))));
}

TEST(RowsTest, AbsentOptionalUniqueValuesCoexist) {
  MemDb db = users_db();
  ASSERT_OK(db.insert(1, user(1, "a")));
  ASSERT_OK(db.insert(1, user(2, "b")));
  ASSERT_OK(db.insert(1, user(3, "c", "nick")));
  EXPECT_THAT(db.insert(1, user(4, "d", "nick")),
              ErrorRenders("schema error: unique index violation"));
  EXPECT_EQ(db.committed_state().row_count(1), 3u);
}

TEST(RowsTest, CollectionWithoutIndexesLogsOnlyTheRecord) {
  MemDb db = MemDb::open_in_memory().value();
  ASSERT_OK(db.register_collection_with_indexes("plain", user_fields(), {}, "id"));
  const std::uint64_t before = db.store().bytes().size();
  ASSERT_OK(db.insert(1, user(1, "a")));
  ASSERT_OK(db.delete_row(1, s_i64(1)));
  EXPECT_THAT(types_of(segments_from(db.store(), before)),
              ElementsAre(ST::TxnBegin, ST::Record, ST::TxnCommit, ST::Manifest, ST::TxnBegin,
                          ST::Record, ST::TxnCommit, ST::Manifest));
}

TEST(RowsTest, DeleteLogsIndexDeletionsAndFreesUniqueValues) {
  MemDb db = users_db();
  ASSERT_OK(db.insert(1, user(1, "a@x")));
  const std::uint64_t before = db.store().bytes().size();
  ASSERT_OK(db.delete_row(1, s_i64(1)));

  const std::vector<LoggedSegment> logged = segments_from(db.store(), before);
  ASSERT_EQ(logged.size(), 5u);
  EXPECT_THAT(decode_index_payload(logged[1].payload),
              IsOkAndHolds(ElementsAre(email_entry("a@x", 1, IndexOp::Delete))));
  const RecordPayload record = decode_user_record(logged[2].payload);
  EXPECT_EQ(record.op, static_cast<std::uint8_t>(RecordOp::Delete));
  EXPECT_TRUE(record.fields.empty());

  EXPECT_THAT(db.get(1, s_i64(1)), IsOkAndHolds(std::optional<Row>()));
  ASSERT_OK(db.insert(1, user(2, "a@x")));
  MemDb again = reopen(db);
  EXPECT_THAT(again.get(1, s_i64(1)), IsOkAndHolds(std::optional<Row>()));
  EXPECT_THAT(again.get(1, s_i64(2)), IsOkAndHolds(Optional(stored_user(2, "a@x"))));
}

struct KeyErrorCase {
  const char* name;
  std::uint32_t collection_id;
  ScalarValue pk;
  const char* expected;
};

class RowKeyErrorTest : public ::testing::TestWithParam<KeyErrorCase> {};

TEST_P(RowKeyErrorTest, GetAndDeleteRefuseTheSame) {
  MemDb db = users_db();
  ASSERT_OK(db.register_collection_with_indexes("listed", {def("id", Type::list(Type(K::Int64)))},
                                                {}, "id"));
  const KeyErrorCase& c = GetParam();
  EXPECT_THAT(db.get(c.collection_id, c.pk), ErrorRenders(c.expected));
  EXPECT_THAT(db.delete_row(c.collection_id, c.pk), ErrorRenders(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RowKeyErrorTest,
    ::testing::Values(KeyErrorCase{"UnknownCollection", 5, s_i64(1),
                                   "schema error: unknown collection id 5"},
                      KeyErrorCase{"OtherKind", 1, s_str("1"),
                                   "format error: record payload type does not match schema"},
                      KeyErrorCase{"NonPrimitivePrimary", 2, s_i64(1),
                                   "format error: record payload type does not match schema"}),
    [](const ::testing::TestParamInfo<KeyErrorCase>& param) {
      return std::string(param.param.name);
    });

TEST(RowsTest, NestedPathSchemaRefusesOnlyInsert) {
  MemDb db = MemDb::open_in_memory().value();
  ASSERT_OK(db.register_collection_with_indexes(
      "nested", {def("id", Type(K::Int64)), def_at({"a", "b"}, Type(K::Int64))}, {}, "id"));
  EXPECT_THAT(db.insert(1, Row{{"id", i64(1)}}), ErrorRenders("not implemented"));
  EXPECT_THAT(db.get(1, s_i64(1)), IsOkAndHolds(std::optional<Row>()));
  EXPECT_OK(db.delete_row(1, s_i64(1)));
}

TEST(RowsTest, FailedCommitChangesNoMemoryAndConsumesItsId) {
  Database<FaultStore> db = Database<FaultStore>::open_with_store("f", FaultStore()).value();
  register_users(db);
  ASSERT_OK(db.insert(1, user(1, "a@x")));
  const std::uint64_t length = db.store().bytes().size();
  const std::uint64_t id = db.last_txn_id();

  db.store().fail_sync_at(db.store().syncs() + 1);
  EXPECT_THAT(db.insert(1, user(1, "b@x")),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  db.store().fail_write_at(db.store().writes() + 2);
  EXPECT_THAT(db.delete_row(1, s_i64(1)),
              ErrorRenders("i/o error: Input/output error (os error 5)"));

  EXPECT_EQ(db.last_txn_id(), id + 2);
  EXPECT_EQ(db.store().bytes().size(), length);
  EXPECT_THAT(db.get(1, s_i64(1)), IsOkAndHolds(Optional(stored_user(1, "a@x"))));
  EXPECT_EQ(unique_owner(testing::committed_indexes_of(db), 1, "by_email", "b@x"), std::nullopt);
  // The handle still writes, and the image reopens to what memory shows.
  ASSERT_OK(db.insert(1, user(2, "b@x")));
  Database<FaultStore> again =
      Database<FaultStore>::open_with_store("f", FaultStore(db.store().bytes())).value();
  EXPECT_EQ(testing::committed_latest_of(again), testing::committed_latest_of(db));
}

TEST(RowsTest, PoisonedHandleRefusesWritesBeforeTakingAnId) {
  Database<FaultStore> db = Database<FaultStore>::open_with_store("f", FaultStore()).value();
  register_users(db);
  db.store().fail_write_at(db.store().writes() + 1);
  db.store().fail_truncate_at(db.store().truncates() + 1);
  EXPECT_THAT(db.insert(1, user(1, "a")),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  const Bytes image = db.store().bytes();
  const std::uint64_t id = db.last_txn_id();

  EXPECT_THAT(db.insert(1, user(1, "a")), ErrorCategoryIs(ErrorCategory::Io));
  EXPECT_THAT(db.delete_row(1, s_i64(1)), ErrorCategoryIs(ErrorCategory::Io));
  EXPECT_THAT(db.register_collection_with_indexes("more", user_fields(), {}, "id"),
              ErrorCategoryIs(ErrorCategory::Io));
  EXPECT_EQ(db.last_txn_id(), id);
  EXPECT_EQ(db.store().bytes(), image);
  EXPECT_EQ(db.catalog().get(2), nullptr);
}

TEST(RowsTest, OldImageIsRaisedToMinor5BeforePlanning) {
  Bytes image = MemDb::open_in_memory().value().snapshot_bytes();
  FileHeader header;
  header.minor = 4;
  const Bytes encoded = header.encode();
  std::copy(encoded.begin(), encoded.end(), image.begin());
  MemDb db = MemDb::from_snapshot_bytes(image).value();
  ASSERT_EQ(db.format_minor(), 4u);

  EXPECT_THAT(db.insert(1, user(1, "a")), ErrorRenders("schema error: unknown collection id 1"));
  EXPECT_EQ(db.format_minor(), 5u);
  EXPECT_EQ(db.snapshot_bytes()[kFileHeaderMinorAt], 5u);
}

// How a reader keeps a result past the mutex: rows found through a share of the committed state
// stay as they were, and stay valid (ASan fails a use-after-free), while the handle writes and
// after it is gone.
TEST(RowsTest, ResultRowsReadThroughASharedStateOutliveLaterWrites) {
  MemDb db = users_db();
  ASSERT_OK(db.insert(1, user(1, "a")));
  ASSERT_OK(db.insert(1, user(2, "b")));
  const StateView committed = db.committed_state();
  const SharedRows kept = committed.share_rows();
  Query query;
  query.collection_id = 1;
  query.order_by = OrderBy{path({"id"}), OrderDirection::Desc};
  ASSERT_OK_AND_ASSIGN(const std::vector<RowView> rows,
                       query_result_rows(committed.reading(kept), query, spill_temp_dir()));

  ASSERT_OK(db.insert(1, user(2, "changed")));
  ASSERT_OK(db.delete_row(1, s_i64(1)));
  ASSERT_OK(db.begin_transaction());
  for (std::int64_t id = 3; id < 2000; ++id) ASSERT_OK(db.insert(1, user(id, std::to_string(id))));
  ASSERT_OK(db.commit_txn_staging());
  EXPECT_EQ(db.committed_state().row_count(1), 1998u);
  { const MemDb closed = std::move(db); }

  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].to_row(), stored_user(2, "b"));
  EXPECT_EQ(rows[1].to_row(), stored_user(1, "a"));
}

}  // namespace
}  // namespace quarn
