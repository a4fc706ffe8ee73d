// Insert planning (check order, the complete row, index entries, the payload it encodes), the
// key helpers and row projection.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/helpers.h"
#include "record/payload.h"
#include "record/payload_v2.h"
#include "testing/matchers.h"
#include "testing/rows.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using ::quarn::testing::def_at;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::i64;
using ::quarn::testing::index_def;
using ::quarn::testing::list;
using ::quarn::testing::null;
using ::quarn::testing::obj;
using ::quarn::testing::opt;
using ::quarn::testing::path;
using ::quarn::testing::s_i64;
using ::quarn::testing::str;
using ::quarn::testing::ty;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using K = Type::Kind;

Catalog catalog_with(std::vector<FieldDef> fields, std::vector<IndexDef> indexes = {},
                     std::optional<std::string> primary = "id") {
  Catalog catalog;
  catalog
      .apply_record(CatalogRecordWire::CreateCollection{1, "users", 1, std::move(fields),
                                                        std::move(indexes), std::move(primary)})
      .value();
  return catalog;
}

std::vector<FieldDef> user_fields() {
  return {def("id", ty(K::Int64)), def("email", ty(K::String)), def("nick", opt(ty(K::String))),
          def("level", Type::enumeration({"gold", "silver"}))};
}

Row user_row(std::int64_t id, std::string email) {
  return Row{{"id", i64(id)}, {"email", str(std::move(email))}, {"level", str("gold")}};
}

struct PlanErrorCase {
  const char* name;
  Catalog catalog;
  std::uint32_t collection_id;
  Row row;
  const char* expected;
};

std::vector<PlanErrorCase> plan_error_cases() {
  std::vector<PlanErrorCase> c;
  c.push_back({"UnknownCollection", catalog_with(user_fields()), 9, user_row(1, "a"),
               "schema error: unknown collection id 9"});
  c.push_back({"NestedPathBeforeMissingKey",
               catalog_with({def("id", ty(K::Int64)), def_at({"a", "b"}, ty(K::Int64))}), 1, Row{},
               "not implemented"});
  c.push_back({"NoPrimaryField", catalog_with(user_fields(), {}, std::nullopt), 1, Row{},
               "schema error: collection 1 has no primary key (upgrade catalog or re-register)"});
  c.push_back({"OptionalPrimaryBeforeMissingKey", catalog_with({def("id", opt(ty(K::Int64)))}), 1,
               Row{},
               "validation error: primary key field must use a primitive type "
               "(not optional/list/object/enum)"});
  c.push_back({"MissingKeyBeforeValidation", catalog_with(user_fields()), 1,
               Row{{"bogus", i64(1)}, {"email", i64(3)}},
               "schema error: insert row missing primary key field \"id\""});
  c.push_back({"KeyKindBeforeRow", catalog_with(user_fields()), 1,
               Row{{"id", str("x")}, {"bogus", i64(1)}}, "validation error at id: expected int64"});
  c.push_back({"KeyConstraint", catalog_with({def("id", ty(K::Int64), {Constraint::MinI64{5}})}), 1,
               Row{{"id", i64(1)}}, "validation error at id: value 1 is below minimum 5"});
  c.push_back({"UnknownField", catalog_with(user_fields()), 1,
               Row{{"id", i64(1)}, {"bogus", i64(1)}}, "validation error at bogus: unknown field"});
  c.push_back({"EnumVariant", catalog_with(user_fields()), 1,
               Row{{"id", i64(1)}, {"email", str("a")}, {"level", str("iron")}},
               "validation error at level: enum value must be one of [\"gold\", \"silver\"]"});
  c.push_back(
      {"RepeatedRequiredName",
       catalog_with({def("id", ty(K::Int64)), def("x", ty(K::Int64)), def("x", ty(K::Int64))}), 1,
       Row{{"id", i64(1)}, {"x", i64(2)}}, "schema error: insert row missing field \"x\""});
  return c;
}

// A planner for the collection, then the plan of the row image, as an insert runs them; the
// image must outlive the plan.
Status plan_into(std::optional<InsertPlanner>& planner, const Catalog& catalog,
                 std::uint32_t collection_id, const Bytes& image) {
  QUARN_ASSIGN_OR_RETURN(InsertPlanner made, InsertPlanner::make(catalog, collection_id));
  planner.emplace(std::move(made));
  return planner->plan(RowView(image.data()));
}

class PlanInsertRowErrorTest : public ::testing::TestWithParam<PlanErrorCase> {};

TEST_P(PlanInsertRowErrorTest, FirstFailingCheckWins) {
  const PlanErrorCase& c = GetParam();
  std::optional<InsertPlanner> planner;
  EXPECT_THAT(plan_into(planner, c.catalog, c.collection_id, pack_row(c.row)),
              ErrorRenders(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Order, PlanInsertRowErrorTest, ::testing::ValuesIn(plan_error_cases()),
                         [](const ::testing::TestParamInfo<PlanErrorCase>& param) {
                           return std::string(param.param.name);
                         });

const FieldDef& primary_def(const CollectionInfo& info) { return info.fields.front(); }

std::vector<IndexEntry> owned_entries(std::span<const IndexEntryView> views) {
  std::vector<IndexEntry> entries;
  for (const IndexEntryView& v : views) {
    entries.push_back(IndexEntry{std::string(v.index_name), Bytes(v.key.begin(), v.key.end()),
                                 Bytes(v.pk.begin(), v.pk.end()), v.collection_id, v.kind, v.op});
  }
  return entries;
}

Bytes bytes_of(ByteSpan bytes) { return Bytes(bytes.begin(), bytes.end()); }

TEST(PlanInsertRowTest, BuildsCompleteRowEntriesAndPayload) {
  const Catalog catalog =
      catalog_with(user_fields(), {index_def("by_email", {"email"}),
                                   index_def("by_nick", {"nick"}, IndexKind::NonUnique),
                                   index_def("by_level", {"level"}, IndexKind::NonUnique)});
  std::optional<InsertPlanner> planner;
  ASSERT_OK(plan_into(planner, catalog, 1, pack_row(user_row(7, "a@x"))));

  const Row expected{
      {"id", i64(7)}, {"email", str("a@x")}, {"nick", null()}, {"level", str("gold")}};
  EXPECT_EQ(planner->row().to_row(), expected);
  EXPECT_EQ(bytes_of(planner->image()), pack_row(expected));
  EXPECT_EQ(bytes_of(planner->pk_key()), s_i64(7).canonical_key_bytes());
  // The absent optional nick has no entry; the enum is keyed by its text.
  const Bytes pk = s_i64(7).canonical_key_bytes();
  const std::vector<IndexEntry> entries{
      IndexEntry{"by_email", Bytes{'a', '@', 'x'}, pk, 1, IndexKind::Unique, IndexOp::Insert},
      IndexEntry{"by_level", Bytes{'g', 'o', 'l', 'd'}, pk, 1, IndexKind::NonUnique,
                 IndexOp::Insert}};
  EXPECT_EQ(owned_entries(planner->index_entries()), entries);
  EXPECT_EQ(planner->index_payload(), encode_index_payload(entries));

  const CollectionInfo& info = *catalog.get(1);
  ASSERT_OK_AND_ASSIGN(
      RecordPayload decoded,
      decode_record_payload(planner->payload(), "id", primary_def(info), info.fields));
  EXPECT_EQ(decoded.op, static_cast<std::uint8_t>(RecordOp::Insert));
  EXPECT_EQ(decoded.schema_version, 1u);
  EXPECT_EQ(decoded.pk, s_i64(7));
  Row rest = expected;
  rest.erase("id");
  EXPECT_EQ(decoded.fields, rest);
}

// A row holding every name is kept as given; one lacking an optional is rebuilt with its Null.
// Both must plan exactly what the other does.
TEST(PlanInsertRowTest, CompleteRowKeptAsGivenPlansWhatARebuiltOneDoes) {
  const Catalog catalog = catalog_with(
      user_fields(),
      {index_def("by_email", {"email"}), index_def("by_nick", {"nick"}, IndexKind::NonUnique)});
  Row complete_row = user_row(7, "a@x");
  complete_row.emplace("nick", null());
  const Bytes complete = pack_row(complete_row);
  const Bytes lacking = pack_row(user_row(7, "a@x"));

  std::optional<InsertPlanner> kept;
  ASSERT_OK(plan_into(kept, catalog, 1, complete));
  EXPECT_EQ(kept->image().data(), complete.data());
  std::optional<InsertPlanner> rebuilt;
  ASSERT_OK(plan_into(rebuilt, catalog, 1, lacking));
  EXPECT_NE(rebuilt->image().data(), lacking.data());

  EXPECT_EQ(bytes_of(kept->image()), bytes_of(rebuilt->image()));
  EXPECT_EQ(kept->payload(), rebuilt->payload());
  EXPECT_EQ(bytes_of(kept->pk_key()), bytes_of(rebuilt->pk_key()));
  EXPECT_EQ(owned_entries(kept->index_entries()), owned_entries(rebuilt->index_entries()));
  EXPECT_EQ(kept->index_payload(), rebuilt->index_payload());

  // The same planner, reused for the other shape, forgets the row before.
  const Bytes other = pack_row(user_row(8, "b@x"));
  ASSERT_OK(kept->plan(RowView(other.data())));
  std::optional<InsertPlanner> fresh;
  ASSERT_OK(plan_into(fresh, catalog, 1, other));
  EXPECT_EQ(bytes_of(kept->image()), bytes_of(fresh->image()));
  EXPECT_EQ(kept->payload(), fresh->payload());
  EXPECT_EQ(owned_entries(kept->index_entries()), owned_entries(fresh->index_entries()));
  EXPECT_EQ(kept->index_payload(), fresh->index_payload());
}

TEST(PlanInsertRowTest, RepeatedOptionalNameKeepsWhatReplayRebuilds) {
  const Catalog catalog = catalog_with(
      {def("id", ty(K::Int64)), def("x", opt(ty(K::Int64))), def("x", opt(ty(K::Int64)))});
  std::optional<InsertPlanner> planner;
  ASSERT_OK(plan_into(planner, catalog, 1, pack_row(Row{{"id", i64(1)}, {"x", i64(2)}})));
  const CollectionInfo& info = *catalog.get(1);
  ASSERT_OK_AND_ASSIGN(
      RecordPayload decoded,
      decode_record_payload(planner->payload(), "id", primary_def(info), info.fields));
  EXPECT_EQ(planner->row().to_row().at("x"), decoded.fields.at("x"));
}

// A replacement logs the complete row and takes the old row's keys out first.
TEST(PlanInsertRowTest, ReplacementLogsTheCompleteRowAndDeletesTheOldKeysFirst) {
  const Catalog catalog = catalog_with(
      user_fields(),
      {index_def("by_email", {"email"}), index_def("by_nick", {"nick"}, IndexKind::NonUnique)});
  std::optional<InsertPlanner> planner;
  const Bytes row = pack_row(user_row(7, "new"));
  ASSERT_OK(plan_into(planner, catalog, 1, row));
  const Bytes insert_payload = planner->payload();
  const Bytes old =
      pack_row({{"id", i64(7)}, {"email", str("old")}, {"nick", str("n")}, {"level", str("gold")}});
  ASSERT_OK(planner->replace(RowView(old.data())));

  const Bytes pk = s_i64(7).canonical_key_bytes();
  EXPECT_EQ(
      owned_entries(planner->index_entries()),
      (std::vector<IndexEntry>{
          IndexEntry{"by_email", Bytes{'o', 'l', 'd'}, pk, 1, IndexKind::Unique, IndexOp::Delete},
          IndexEntry{"by_nick", Bytes{'n'}, pk, 1, IndexKind::NonUnique, IndexOp::Delete},
          IndexEntry{"by_email", Bytes{'n', 'e', 'w'}, pk, 1, IndexKind::Unique,
                     IndexOp::Insert}}));
  Bytes expected = insert_payload;
  expected[10] = static_cast<std::uint8_t>(RecordOp::Replace);
  EXPECT_EQ(planner->payload(), expected);
}

// Where several fields bear one name the complete row holds Null there, and a replacement logs
// that Null for each of them: refused when the first of them is required.
TEST(PlanInsertRowTest, ReplacementOfARepeatedNameLogsItsNull) {
  const Catalog catalog =
      catalog_with({def("id", ty(K::Int64)), def("x", ty(K::Int64)), def("x", opt(ty(K::Int64)))});
  std::optional<InsertPlanner> planner;
  const Bytes row = pack_row(Row{{"id", i64(1)}, {"x", i64(2)}});
  ASSERT_OK(plan_into(planner, catalog, 1, row));
  EXPECT_EQ(planner->row().to_row(), (Row{{"id", i64(1)}, {"x", null()}}));
  EXPECT_THAT(planner->replace(RowView(row.data())),
              ErrorRenders("format error: record payload type does not match schema"));
}

TEST(PlanInsertRowTest, PlannerFollowsTheDefinitionItWasMadeFor) {
  Catalog catalog = catalog_with(user_fields());
  ASSERT_OK_AND_ASSIGN(InsertPlanner planner, InsertPlanner::make(catalog, 1));
  const Catalog copy = catalog;
  EXPECT_TRUE(planner.plans_for(copy, 1));
  EXPECT_FALSE(planner.plans_for(catalog, 2));
  ASSERT_OK(catalog.apply_record(CatalogRecordWire::NewSchemaVersion{1, 2, user_fields(), {}}));
  EXPECT_FALSE(planner.plans_for(catalog, 1));
  // The old definition stays the planner's.
  const Bytes row = pack_row(user_row(1, "a"));
  EXPECT_OK(planner.plan(RowView(row.data())));
}

TEST(ScalarAtPathTest, ResolvesOnlyPrimitiveLeaves) {
  const Row row{{"n", i64(1)},
                {"a", obj({{"b", obj({{"c", i64(5)}})}, {"z", null()}})},
                {"l", list({obj({{"b", i64(1)}})})}};
  EXPECT_EQ(scalar_at_path(row, path({"n"})), s_i64(1));
  EXPECT_EQ(scalar_at_path(row, path({"a", "b", "c"})), s_i64(5));
  for (const auto& missing : std::vector<std::vector<std::string>>{{"a"},
                                                                   {"a", "b"},
                                                                   {"a", "z"},
                                                                   {"a", "z", "q"},
                                                                   {"l"},
                                                                   {"l", "b"},
                                                                   {"n", "x"},
                                                                   {"q"},
                                                                   {"a", "q"}}) {
    EXPECT_EQ(scalar_at_path(row, path(missing)), std::nullopt) << missing.size();
  }
}

TEST(IndexDeletesTest, OneDeletionPerIndexHoldingAScalar) {
  const Bytes old_image = pack_row({{"id", i64(3)}, {"email", str("e")}, {"nick", null()}});
  const std::vector<IndexDef> defs{index_def("by_nick", {"nick"}),
                                   index_def("by_email", {"email"}, IndexKind::NonUnique),
                                   index_def("by_gone", {"gone"})};
  EXPECT_THAT(index_deletes_for_existing_row(4, s_i64(3), defs, RowView(old_image.data())),
              ElementsAre(IndexEntry{"by_email", Bytes{'e'}, s_i64(3).canonical_key_bytes(), 4,
                                     IndexKind::NonUnique, IndexOp::Delete}));
  EXPECT_THAT(index_deletes_for_existing_row(4, s_i64(3), {}, RowView(old_image.data())),
              IsEmpty());
}

struct ProjectionCase {
  const char* name;
  std::vector<std::vector<std::string>> paths;
  Row expected;
};

Row projection_source() {
  return Row{{"a", obj({{"b", i64(1)}, {"c", i64(2)}, {"d", i64(3)}})},
             {"l", list({i64(1)})},
             {"n", null()},
             {"s", i64(9)},
             {"z", i64(26)}};
}

std::vector<ProjectionCase> projection_cases() {
  const RowValue whole_a = projection_source().at("a");
  return {
      {"SiblingsMerge", {{"a", "b"}, {"a", "c"}}, Row{{"a", obj({{"b", i64(1)}, {"c", i64(2)}})}}},
      {"WholeThenLeaf", {{"a"}, {"a", "b"}}, Row{{"a", whole_a}}},
      {"LeafThenWhole", {{"a", "b"}, {"a"}}, Row{{"a", whole_a}}},
      {"ThroughListScalarNullOrMissing",
       {{"l", "b"}, {"s", "b"}, {"n", "b"}, {"q"}, {"a", "q"}},
       Row{}},
      {"NullKept", {{"n"}}, Row{{"n", null()}}},
      {"NameOrder", {{"z"}, {"s"}}, Row{{"s", i64(9)}, {"z", i64(26)}}},
      {"NoPaths", {}, Row{}},
  };
}

class RowSubsetTest : public ::testing::TestWithParam<ProjectionCase> {};

TEST_P(RowSubsetTest, KeepsSelectedPaths) {
  std::vector<FieldDef> defs;
  for (const auto& p : GetParam().paths) defs.push_back(def_at(p, ty(K::Bool)));
  const Row source = projection_source();
  EXPECT_EQ(row_subset_by_field_defs(source, defs), GetParam().expected);
  EXPECT_EQ(source, projection_source());
}

INSTANTIATE_TEST_SUITE_P(Paths, RowSubsetTest, ::testing::ValuesIn(projection_cases()),
                         [](const ::testing::TestParamInfo<ProjectionCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(MergeRowValueTreesTest, NonObjectSideIsReplacedBySource) {
  RowValue target = i64(1);
  merge_row_value_trees(target, obj({{"b", i64(2)}}));
  EXPECT_EQ(target, obj({{"b", i64(2)}}));
  merge_row_value_trees(target, i64(3));
  EXPECT_EQ(target, i64(3));

  RowValue deep = obj({{"x", obj({{"p", i64(1)}})}});
  const RowValue shared = deep;
  merge_row_value_trees(deep, obj({{"x", obj({{"q", i64(2)}})}, {"y", i64(3)}}));
  EXPECT_EQ(deep, obj({{"x", obj({{"p", i64(1)}, {"q", i64(2)}})}, {"y", i64(3)}}));
  EXPECT_EQ(shared, obj({{"x", obj({{"p", i64(1)}})}}));
}

TEST(RowValueNestedObjectPathTest, UsesFirstCountSegments) {
  EXPECT_EQ(row_value_nested_object_path({"b", "c", "d"}, 2, i64(1)),
            obj({{"b", obj({{"c", i64(1)}})}}));
}

}  // namespace
}  // namespace quarn
