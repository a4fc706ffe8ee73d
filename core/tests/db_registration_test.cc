// Collection registration, name resolution, schema-change plans and schema versions: trimming,
// refusals that write nothing, staging inside a transaction, failed commits.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/database.h"
#include "db/registration.h"
#include "migration.h"
#include "testing/db.h"
#include "testing/db_state.h"
#include "testing/fault_store.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using ::quarn::testing::def_at;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::FaultStore;
using ::quarn::testing::index_def;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::MemDb;
using ::quarn::testing::opt;
using ::quarn::testing::reopen;
using ::quarn::testing::ty;
using ::quarn::testing::user;
using ::quarn::testing::user_fields;
using ::quarn::testing::user_indexes;
using ::quarn::testing::users_db;
using ::testing::ElementsAre;
using ::testing::Pair;
using K = Type::Kind;

using Registered = std::pair<std::uint32_t, std::uint32_t>;

std::vector<FieldDef> with_field(FieldDef extra) {
  std::vector<FieldDef> fields = user_fields();
  fields.push_back(std::move(extra));
  return fields;
}

TEST(NormalizeCollectionNameTest, TrimsAndBoundsTheName) {
  EXPECT_THAT(normalize_collection_name("\xE3\x80\x80 users\n"), IsOkAndHolds("users"));
  EXPECT_THAT(normalize_collection_name(" a b "), IsOkAndHolds("a b"));
  EXPECT_THAT(normalize_collection_name(std::string(1023, 'n')),
              IsOkAndHolds(std::string(1023, 'n')));
  EXPECT_THAT(normalize_collection_name(" " + std::string(1024, 'n') + " "),
              ErrorRenders("schema error: invalid collection name"));
  EXPECT_THAT(normalize_collection_name(" \t\r\n"),
              ErrorRenders("schema error: invalid collection name"));
}

TEST(RegistrationTest, TrimsNameAndPrimaryField) {
  MemDb db = MemDb::open_in_memory().value();
  EXPECT_THAT(db.register_collection_with_indexes("  users  ", user_fields(), {}, " id "),
              IsOkAndHolds(Pair(1u, 1u)));
  const CollectionInfo* info = db.catalog().get(1);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->name, "users");
  EXPECT_EQ(info->primary_field, "id");
  EXPECT_EQ(info->schema_version, 1u);
  EXPECT_THAT(db.collection_id_named("\n users \n"), IsOkAndHolds(1u));
  EXPECT_THAT(db.collection_id_named(" orders\t"),
              ErrorRenders("schema error: unknown collection name \"orders\""));
  EXPECT_EQ(reopen(db).committed_state().catalog().collections(),
            db.committed_state().catalog().collections());
}

struct RefusalCase {
  const char* name;
  std::string collection;
  std::vector<FieldDef> fields;
  std::vector<IndexDef> indexes;
  std::string primary;
  const char* expected;
};

std::vector<RefusalCase> refusal_cases() {
  const std::string long_field(1024, 'f');
  return {
      {"Duplicate",
       " users",
       user_fields(),
       {},
       "id",
       "schema error: duplicate collection name: \"users\""},
      {"BlankName", " \t ", user_fields(), {}, "id", "schema error: invalid collection name"},
      {"Name1024",
       std::string(1024, 'n'),
       user_fields(),
       {},
       "id",
       "schema error: invalid collection name"},
      {"BlankPrimary", "orders", user_fields(), {}, "  ", "schema error: invalid collection name"},
      {"PrimaryOnlyNested",
       "orders",
       {def_at({"a", "id"}, ty(K::Int64))},
       {},
       "id",
       "schema error: primary field \"id\" not found as a top-level field"},
      // Would be logged, and then no open could decode the entry back.
      {"PrimaryTooLongToDecode",
       "orders",
       {def(long_field, ty(K::Int64))},
       {},
       long_field,
       "schema error: invalid collection name"},
      {"EmptyIndexName",
       "orders",
       user_fields(),
       {index_def("", {"email"})},
       "id",
       "schema error: incompatible schema change: index name must not be empty"},
  };
}

class RegistrationRefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RegistrationRefusalTest, WritesNothingInOrOutOfATransaction) {
  const RefusalCase& c = GetParam();
  MemDb db = users_db();
  const Bytes image = db.snapshot_bytes();
  const std::uint64_t id = db.last_txn_id();
  EXPECT_THAT(db.register_collection_with_indexes(c.collection, c.fields, c.indexes, c.primary),
              ErrorRenders(c.expected));
  EXPECT_EQ(db.snapshot_bytes(), image);
  EXPECT_EQ(db.last_txn_id(), id);

  ASSERT_OK(db.begin_transaction());
  EXPECT_THAT(db.register_collection_with_indexes(c.collection, c.fields, c.indexes, c.primary),
              ErrorRenders(c.expected));
  EXPECT_TRUE(testing::txn_of(db)->pending.empty());
  EXPECT_THAT(db.catalog().collection_names(), ElementsAre("users"));
  ASSERT_OK(db.commit_txn_staging());

  EXPECT_THAT(db.register_collection_with_indexes("next", user_fields(), {}, "id"),
              IsOkAndHolds(Pair(2u, 1u)));
  EXPECT_EQ(reopen(db).committed_state().catalog().collections(),
            db.committed_state().catalog().collections());
}

INSTANTIATE_TEST_SUITE_P(Cases, RegistrationRefusalTest, ::testing::ValuesIn(refusal_cases()),
                         [](const ::testing::TestParamInfo<RefusalCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(RegistrationTest, TransactionRegistrationIsStagedAndRolledBack) {
  MemDb db = users_db();
  const Bytes image = db.snapshot_bytes();
  ASSERT_OK(db.begin_transaction());
  EXPECT_THAT(db.register_collection_with_indexes("orders", user_fields(), {}, "id"),
              IsOkAndHolds(Pair(2u, 1u)));
  EXPECT_THAT(db.collection_id_named("orders"), IsOkAndHolds(2u));
  EXPECT_THAT(
      db.register_schema_version_with_indexes_force(2, with_field(def("x", ty(K::Bool))), {}),
      IsOkAndHolds(2u));
  EXPECT_EQ(db.committed_state().catalog().get(2), nullptr);
  db.rollback_transaction();

  EXPECT_THAT(db.collection_id_named("orders"),
              ErrorRenders("schema error: unknown collection name \"orders\""));
  EXPECT_EQ(db.snapshot_bytes(), image);
  EXPECT_THAT(db.register_collection_with_indexes("orders", user_fields(), {}, "id"),
              IsOkAndHolds(Pair(2u, 1u)));
}

// Inserts are checked against the working definition: a schema version staged in a
// transaction, the committed one again after its rollback, and each collection its own.
TEST(RegistrationTest, InsertsFollowTheWorkingDefinition) {
  MemDb db = users_db();
  ASSERT_OK(
      db.register_collection_with_indexes("orders", with_field(def("x", ty(K::Bool))), {}, "id"));
  Row with_x = user(1, "a@x");
  with_x.emplace("x", RowValue(ScalarValue::Bool{true}));
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(
      db.register_schema_version_with_indexes_force(1, with_field(def("x", ty(K::Bool))), {}));
  ASSERT_OK(db.insert(1, with_x));
  EXPECT_THAT(db.insert(1, user(2, "b@x")), ErrorRenders("validation error at x: missing field"));
  db.rollback_transaction();

  EXPECT_THAT(db.insert(1, with_x), ErrorRenders("validation error at x: unknown field"));
  ASSERT_OK(db.insert(1, user(2, "b@x")));
  ASSERT_OK(db.insert(2, with_x));
  EXPECT_THAT(db.insert(1, with_x), ErrorRenders("validation error at x: unknown field"));
  EXPECT_THAT(db.insert(2, user(3, "c@x")), ErrorRenders("validation error at x: missing field"));
}

TEST(RegistrationTest, TransactionCommitLogsCatalogEntriesInOrder) {
  MemDb db = users_db();
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.register_collection_with_indexes("orders", user_fields(), {}, "id"));
  ASSERT_OK(
      db.register_schema_version_with_indexes(2, with_field(def("note", opt(ty(K::String)))), {}));
  ASSERT_OK(db.commit_txn_staging());
  MemDb again = reopen(db);
  ASSERT_NE(again.catalog().get(2), nullptr);
  EXPECT_EQ(again.catalog().get(2)->schema_version, 2u);
  EXPECT_EQ(again.committed_state().catalog().collections(),
            db.committed_state().catalog().collections());
}

TEST(RegistrationTest, FailedCommitLeavesCatalogAndConsumesId) {
  Database<FaultStore> db = Database<FaultStore>::open_with_store("f", FaultStore()).value();
  const Bytes image = db.store().bytes();
  db.store().fail_write_at(db.store().writes() + 1);
  EXPECT_THAT(db.register_collection_with_indexes("users", user_fields(), {}, "id"),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  EXPECT_EQ(db.last_txn_id(), 1u);
  EXPECT_EQ(db.catalog().get(1), nullptr);
  EXPECT_EQ(db.store().bytes(), image);
  EXPECT_THAT(db.register_collection_with_indexes("users", user_fields(), {}, "id"),
              IsOkAndHolds(Pair(1u, 1u)));
}

struct PlanCase {
  const char* name;
  std::vector<FieldDef> fields;
  std::vector<IndexDef> indexes;
  // Whether the plan's single step is a backfill, a rebuild, or there is none.
  enum Step { None, Backfill, Rebuild } step;
};

class SchemaPlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(SchemaPlanTest, StepsFollowTheClassification) {
  const PlanCase& c = GetParam();
  MemDb db = users_db();
  const Bytes image = db.snapshot_bytes();
  const SchemaChange change =
      classify_schema_update(user_fields(), user_indexes(), c.fields, c.indexes);
  std::vector<MigrationStep> steps;
  if (c.step == PlanCase::Backfill) {
    steps.push_back(MigrationStep::BackfillTopLevelField{*change.reason()});
  } else if (c.step == PlanCase::Rebuild) {
    steps.push_back(MigrationStep::RebuildIndexes{});
  }
  EXPECT_THAT(db.plan_schema_version_with_indexes(1, c.fields, c.indexes),
              IsOkAndHolds(MigrationPlan{change, steps}));
  EXPECT_EQ(db.snapshot_bytes(), image);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, SchemaPlanTest,
    ::testing::Values(PlanCase{"RequiredField", with_field(def("age", ty(K::Int64))),
                               user_indexes(), PlanCase::Backfill},
                      PlanCase{"UniqueIndex",
                               user_fields(),
                               {index_def("by_email", {"email"}), index_def("by_nick", {"nick"}),
                                index_def("by_id", {"id"})},
                               PlanCase::Rebuild},
                      PlanCase{"SafeOptionalField", with_field(def("age", opt(ty(K::Int64)))),
                               user_indexes(), PlanCase::None},
                      PlanCase{"BreakingTypeChange",
                               {def("id", ty(K::Int64)), def("email", ty(K::Int64)),
                                def("nick", opt(ty(K::String)))},
                               user_indexes(),
                               PlanCase::None}),
    [](const ::testing::TestParamInfo<PlanCase>& param) { return std::string(param.param.name); });

TEST(SchemaVersionTest, RefusalsNameTheReasonAndForceAcceptsMigrations) {
  MemDb db = users_db();
  const Bytes image = db.snapshot_bytes();
  const std::vector<FieldDef> required = with_field(def("age", ty(K::Int64)));
  const std::vector<FieldDef> breaking = {def("id", ty(K::Int64)), def("email", ty(K::Int64)),
                                          def("nick", opt(ty(K::String)))};
  const std::string needs_reason =
      *classify_schema_update(user_fields(), user_indexes(), required, user_indexes()).reason();
  const std::string breaking_reason =
      *classify_schema_update(user_fields(), user_indexes(), breaking, user_indexes()).reason();

  EXPECT_THAT(db.register_schema_version_with_indexes(1, required, user_indexes()),
              ErrorRenders("schema error: migration required: " + needs_reason));
  EXPECT_THAT(db.register_schema_version_with_indexes(1, breaking, user_indexes()),
              ErrorRenders("schema error: incompatible schema change: " + breaking_reason));
  EXPECT_THAT(db.register_schema_version_with_indexes(9, user_fields(), {}),
              ErrorRenders("schema error: unknown collection id 9"));
  EXPECT_THAT(db.register_schema_version_with_indexes_force(1, {def("email", ty(K::String))}, {}),
              ErrorRenders("schema error: schema update must retain top-level primary field "
                           "\"id\""));
  EXPECT_EQ(db.snapshot_bytes(), image);
  EXPECT_EQ(reopen(db).catalog().get(1)->schema_version, 1u);

  EXPECT_THAT(db.register_schema_version_with_indexes_force(1, required, user_indexes()),
              IsOkAndHolds(2u));
  EXPECT_THAT(db.register_schema_version_with_indexes(1, with_field(def("age", ty(K::Int64))),
                                                      user_indexes()),
              IsOkAndHolds(3u));
  MemDb again = reopen(db);
  EXPECT_EQ(again.catalog().get(1)->schema_version, 3u);
  EXPECT_EQ(again.catalog().get(1)->fields, required);
}

}  // namespace
}  // namespace quarn
