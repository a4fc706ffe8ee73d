// Insert planning (check order, the complete row, index entries, the payload it encodes), the
// key helpers and row projection.
#include <cstdint>
#include <optional>
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

class PlanInsertRowErrorTest : public ::testing::TestWithParam<PlanErrorCase> {};

TEST_P(PlanInsertRowErrorTest, FirstFailingCheckWins) {
  const PlanErrorCase& c = GetParam();
  EXPECT_THAT(plan_insert_row(c.catalog, c.collection_id, c.row), ErrorRenders(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Order, PlanInsertRowErrorTest, ::testing::ValuesIn(plan_error_cases()),
                         [](const ::testing::TestParamInfo<PlanErrorCase>& param) {
                           return std::string(param.param.name);
                         });

const FieldDef& primary_def(const CollectionInfo& info) { return info.fields.front(); }

TEST(PlanInsertRowTest, BuildsCompleteRowEntriesAndPayload) {
  const Catalog catalog =
      catalog_with(user_fields(), {index_def("by_email", {"email"}),
                                   index_def("by_nick", {"nick"}, IndexKind::NonUnique),
                                   index_def("by_level", {"level"}, IndexKind::NonUnique)});
  ASSERT_OK_AND_ASSIGN(InsertPlan plan, plan_insert_row(catalog, 1, user_row(7, "a@x")));

  const Row expected{
      {"id", i64(7)}, {"email", str("a@x")}, {"nick", null()}, {"level", str("gold")}};
  EXPECT_EQ(plan.row, expected);
  EXPECT_EQ(plan.pk, s_i64(7));
  EXPECT_EQ(plan.pk_key, s_i64(7).canonical_key_bytes());
  // The absent optional nick has no entry; the enum is keyed by its text.
  const Bytes pk = s_i64(7).canonical_key_bytes();
  EXPECT_THAT(plan.index_entries,
              ElementsAre(IndexEntry{"by_email", Bytes{'a', '@', 'x'}, pk, 1, IndexKind::Unique,
                                     IndexOp::Insert},
                          IndexEntry{"by_level", Bytes{'g', 'o', 'l', 'd'}, pk, 1,
                                     IndexKind::NonUnique, IndexOp::Insert}));

  const CollectionInfo& info = *catalog.get(1);
  ASSERT_OK_AND_ASSIGN(RecordPayload decoded,
                       decode_record_payload(plan.payload, "id", primary_def(info), info.fields));
  EXPECT_EQ(decoded.op, static_cast<std::uint8_t>(RecordOp::Insert));
  EXPECT_EQ(decoded.schema_version, 1u);
  EXPECT_EQ(decoded.pk, s_i64(7));
  Row rest = expected;
  rest.erase("id");
  EXPECT_EQ(decoded.fields, rest);
}

TEST(PlanInsertRowTest, RepeatedOptionalNameKeepsWhatReplayRebuilds) {
  const Catalog catalog = catalog_with(
      {def("id", ty(K::Int64)), def("x", opt(ty(K::Int64))), def("x", opt(ty(K::Int64)))});
  ASSERT_OK_AND_ASSIGN(InsertPlan plan,
                       plan_insert_row(catalog, 1, Row{{"id", i64(1)}, {"x", i64(2)}}));
  const CollectionInfo& info = *catalog.get(1);
  ASSERT_OK_AND_ASSIGN(RecordPayload decoded,
                       decode_record_payload(plan.payload, "id", primary_def(info), info.fields));
  EXPECT_EQ(plan.row.at("x"), decoded.fields.at("x"));
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
