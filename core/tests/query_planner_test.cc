#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/state.h"
#include "query/planner.h"
#include "testing/matchers.h"
#include "testing/predicates.h"
#include "testing/rows.h"

namespace quarn {
namespace {

using ::quarn::testing::all_of;
using ::quarn::testing::any_of;
using ::quarn::testing::eq;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::gt;
using ::quarn::testing::gte;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::lt;
using ::quarn::testing::lte;
using ::quarn::testing::path;
using ::quarn::testing::s_i64;
using ::quarn::testing::s_str;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

ScalarValue u64(std::uint64_t v) { return ScalarValue::Uint64{v}; }
ScalarValue f64(double v) { return ScalarValue::Float64{v}; }
ScalarValue bytes(quarn::Bytes v) { return ScalarValue::Bytes{std::move(v)}; }
ScalarValue ts(std::int64_t v) { return ScalarValue::Timestamp{v}; }
ScalarValue boolean(bool v) { return ScalarValue::Bool{v}; }

// -1 less, 0 equal, 1 greater, 2 unordered.
int code(std::partial_ordering order) {
  if (order == std::partial_ordering::unordered) return 2;
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

struct CmpCase {
  std::string name;
  ScalarValue a;
  ScalarValue b;
  int expected;
};

class ScalarPartialCmpTest : public ::testing::TestWithParam<CmpCase> {};

TEST_P(ScalarPartialCmpTest, Compares) {
  EXPECT_EQ(code(scalar_partial_cmp(GetParam().a, GetParam().b)), GetParam().expected);
  // Swapping the operands mirrors the result.
  const int mirrored = GetParam().expected == 2 ? 2 : -GetParam().expected;
  EXPECT_EQ(code(scalar_partial_cmp(GetParam().b, GetParam().a)), mirrored);
}

std::array<std::uint8_t, 16> uuid_with(std::size_t at, std::uint8_t byte) {
  std::array<std::uint8_t, 16> u{};
  u[at] = byte;
  return u;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScalarPartialCmpTest,
    ::testing::Values(CmpCase{"BoolFalseBeforeTrue", boolean(false), boolean(true), -1},
                      CmpCase{"Int64Signed", s_i64(-1), s_i64(0), -1},
                      CmpCase{"Int64Equal", s_i64(7), s_i64(7), 0},
                      CmpCase{"Uint64Max", u64(std::numeric_limits<std::uint64_t>::max()), u64(1),
                              1},
                      CmpCase{"TimestampSigned", ts(-1), ts(0), -1},
                      CmpCase{"FloatZeroSigns", f64(-0.0), f64(0.0), 0},
                      CmpCase{"FloatNaN", f64(kNaN), f64(1.0), 2},
                      CmpCase{"FloatNaNSelf", f64(kNaN), f64(kNaN), 2},
                      CmpCase{"FloatInfinity", f64(-INFINITY), f64(-1e308), -1},
                      CmpCase{"StringBytewise", s_str("B"), s_str("a"), -1},
                      CmpCase{"StringPrefix", s_str("ab"), s_str("abc"), -1},
                      CmpCase{"StringHighByteUnsigned", s_str("\xC3\xA9"), s_str("z"), 1},
                      CmpCase{"BytesEmptyFirst", bytes({}), bytes({0}), -1},
                      CmpCase{"BytesUnsigned", bytes({0x80}), bytes({0x7F}), 1},
                      CmpCase{"UuidFirstByteMostSignificant", ScalarValue::Uuid{uuid_with(0, 1)},
                              ScalarValue::Uuid{uuid_with(15, 0xFF)}, 1},
                      CmpCase{"Int64VsUint64", s_i64(5), u64(5), 2},
                      CmpCase{"Int64VsFloat", s_i64(5), f64(5.0), 2},
                      CmpCase{"Int64VsTimestamp", s_i64(5), ts(5), 2},
                      CmpCase{"StringVsBytes", s_str("a"), bytes({'a'}), 2}),
    [](const ::testing::TestParamInfo<CmpCase>& param) { return param.param.name; });

Row sample_row() {
  Row address;
  address["city"] = RowValue(s_str("Rome"));
  Row row;
  row["age"] = RowValue(s_i64(30));
  row["u"] = RowValue(u64(1));
  row["neg_zero"] = RowValue(f64(-0.0));
  row["nan"] = RowValue(f64(kNaN));
  row["nothing"] = RowValue();
  row["list"] = RowValue(RowValue::List{RowValue(s_i64(30))});
  row["address"] = RowValue::object(std::move(address));
  return row;
}

struct EvalCase {
  std::string name;
  Predicate predicate;
  bool expected;
};

class EvalPredicateTest : public ::testing::TestWithParam<EvalCase> {};

TEST_P(EvalPredicateTest, Evaluates) {
  const Bytes image = pack_row(sample_row());
  EXPECT_EQ(eval_predicate(RowView(image.data()), GetParam().predicate), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EvalPredicateTest,
    ::testing::Values(
        EvalCase{"EqSame", eq({"age"}, s_i64(30)), true},
        EvalCase{"EqOtherKindUint", eq({"age"}, u64(30)), false},
        EvalCase{"EqOtherKindFloat", eq({"age"}, f64(30.0)), false},
        EvalCase{"EqOtherKindTimestamp", eq({"age"}, ts(30)), false},
        EvalCase{"LtOtherKind", lt({"u"}, s_i64(10)), false},
        EvalCase{"RowIsLeftOperand", lt({"age"}, s_i64(31)), true},
        EvalCase{"LtStrict", lt({"age"}, s_i64(30)), false},
        EvalCase{"LteEqual", lte({"age"}, s_i64(30)), true},
        EvalCase{"GtStrict", gt({"age"}, s_i64(30)), false},
        EvalCase{"GteEqual", gte({"age"}, s_i64(30)), true},
        EvalCase{"EqZeroMatchesNegativeZero", eq({"neg_zero"}, f64(0.0)), true},
        EvalCase{"EqNaNMatchesNotEvenNaN", eq({"nan"}, f64(kNaN)), false},
        EvalCase{"LteNaN", lte({"nan"}, f64(kNaN)), false},
        EvalCase{"GteNaN", gte({"age"}, f64(kNaN)), false},
        EvalCase{"MissingFieldGte", gte({"absent"}, s_i64(0)), false},
        EvalCase{"NullGte", gte({"nothing"}, s_i64(0)), false},
        EvalCase{"ListEq", eq({"list"}, s_i64(30)), false},
        EvalCase{"ObjectGte", gte({"address"}, s_str("")), false},
        EvalCase{"ThroughScalarIsMissing", eq({"age", "x"}, s_i64(30)), false},
        EvalCase{"NestedEq", eq({"address", "city"}, s_str("Rome")), true},
        EvalCase{"EmptyAndIsTrue", all_of({}), true}, EvalCase{"EmptyOrIsFalse", any_of({}), false},
        EvalCase{"OrOfEmptyAnd", any_of({all_of({})}), true},
        EvalCase{"AndFalseChild", all_of({eq({"age"}, s_i64(30)), eq({"u"}, u64(2))}), false},
        EvalCase{"OrTrueChild", any_of({eq({"u"}, u64(2)), eq({"age"}, s_i64(30))}), true}),
    [](const ::testing::TestParamInfo<EvalCase>& param) { return param.param.name; });

// The two indexes of the plan-text examples.
std::vector<IndexDef> example_indexes() {
  return {IndexDef{"by_email", path({"email"}), IndexKind::Unique},
          IndexDef{"by_city", path({"address", "city"}), IndexKind::NonUnique}};
}

Catalog example_catalog() {
  std::vector<FieldDef> fields;
  fields.push_back(FieldDef{path({"id"}), Type(Type::Kind::Int64), {}});
  fields.push_back(FieldDef{path({"email"}), Type(Type::Kind::String), {}});
  Catalog catalog;
  catalog
      .apply_record(CatalogRecordWire{CatalogRecordWire::CreateCollection{
          1, "people", 1, std::move(fields), example_indexes(), std::string("id")}})
      .value();
  return catalog;
}

struct ExplainCase {
  std::string name;
  std::optional<Predicate> predicate;
  std::optional<std::size_t> limit;
  std::optional<OrderBy> order_by;
  std::string expected;
};

class ExplainQueryTest : public ::testing::TestWithParam<ExplainCase> {};

TEST_P(ExplainQueryTest, RendersPlanText) {
  Query query;
  query.collection_id = 1;
  query.predicate = GetParam().predicate;
  query.limit = GetParam().limit;
  query.order_by = GetParam().order_by;
  EXPECT_THAT(explain_query(example_catalog(), query), IsOkAndHolds(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ExplainQueryTest,
    ::testing::Values(
        ExplainCase{"Scan", std::nullopt, std::nullopt, std::nullopt, "Plan:\n  CollectionScan\n"},
        ExplainCase{"UniqueEq", eq({"email"}, s_str("ann")), std::nullopt, std::nullopt,
                    "Plan:\n  IndexLookup index=\"by_email\" kind=Unique\n"},
        ExplainCase{
            "UniqueReplacesNonUnique",
            all_of({eq({"age"}, s_i64(30)), eq({"address", "city"}, s_str("Rome")),
                    eq({"email"}, s_str("ann"))}),
            10, std::nullopt,
            "Plan:\n  IndexLookup index=\"by_email\" kind=Unique\n  ResidualFilter "
            "And([Eq { path: FieldPath([\"age\"]), value: Int64(30) }, Eq { path: "
            "FieldPath([\"address\", \"city\"]), value: String(\"Rome\") }])\n  Limit 10\n"},
        ExplainCase{"RangeOrdered", lt({"age"}, s_i64(30)), std::nullopt,
                    OrderBy{path({"age"}), OrderDirection::Desc},
                    "Plan:\n  CollectionScan\n  Filter Lt { path: FieldPath([\"age\"]), value: "
                    "Int64(30) }\n  OrderBy FieldPath([\"age\"]) Desc\n"},
        ExplainCase{"OrNeverIndexed",
                    any_of({eq({"email"}, s_str("ann")), eq({"email"}, s_str("bob"))}),
                    std::nullopt, std::nullopt,
                    "Plan:\n  CollectionScan\n  Filter Or([Eq { path: FieldPath([\"email\"]), "
                    "value: String(\"ann\") }, Eq { path: FieldPath([\"email\"]), value: "
                    "String(\"bob\") }])\n"},
        ExplainCase{"LimitBeforeOrderBy", std::nullopt, 0,
                    OrderBy{path({"id"}), OrderDirection::Asc},
                    "Plan:\n  CollectionScan\n  Limit 0\n  OrderBy FieldPath([\"id\"]) Asc\n"},
        ExplainCase{"NonUniqueWithResidual",
                    all_of({eq({"address", "city"}, s_str("Rome")), gt({"age"}, s_i64(1))}),
                    std::nullopt, std::nullopt,
                    "Plan:\n  IndexLookup index=\"by_city\" kind=NonUnique\n  ResidualFilter Gt { "
                    "path: FieldPath([\"age\"]), value: Int64(1) }\n"}),
    [](const ::testing::TestParamInfo<ExplainCase>& param) { return param.param.name; });

TEST(ExplainQueryTest, UnknownCollectionFails) {
  Query query;
  query.collection_id = 9;
  EXPECT_THAT(explain_query(example_catalog(), query),
              ErrorRenders("schema error: unknown collection id 9"));
}

// The plan for predicate over indexes; the tests look at its parts.
Plan plan_for(const std::vector<IndexDef>& indexes, Predicate predicate) {
  Query query;
  query.collection_id = 4;
  query.predicate = std::move(predicate);
  query.limit = 3;
  return plan_query(4, indexes, query);
}

TEST(PlanQueryTest, FirstIndexOnAPathWinsWhateverItsKind) {
  const std::vector<IndexDef> indexes = {IndexDef{"a_multi", path({"a"}), IndexKind::NonUnique},
                                         IndexDef{"a_unique", path({"a"}), IndexKind::Unique}};
  const Plan plan = plan_for(indexes, eq({"a"}, s_i64(1)));
  const auto* lookup = plan.get_if<Plan::IndexLookup>();
  ASSERT_NE(lookup, nullptr);
  EXPECT_EQ(lookup->index_name, "a_multi");
  EXPECT_EQ(lookup->kind, IndexKind::NonUnique);
  EXPECT_EQ(lookup->key, s_i64(1).canonical_key_bytes());
  EXPECT_EQ(lookup->residual, std::nullopt);
  EXPECT_EQ(lookup->limit, std::optional<std::size_t>(3));
  EXPECT_EQ(lookup->collection_id, 4u);
}

struct ResidualCase {
  std::string name;
  IndexKind kind_of_a;
  IndexKind kind_of_b;
  Predicate predicate;
  std::string index;  // "" for a scan
  std::optional<Predicate> residual;
};

class PlanResidualTest : public ::testing::TestWithParam<ResidualCase> {};

TEST_P(PlanResidualTest, ChoosesIndexAndResidual) {
  const ResidualCase& c = GetParam();
  const std::vector<IndexDef> indexes = {
      IndexDef{"on_a", path({"a"}), c.kind_of_a}, IndexDef{"on_b", path({"b"}), c.kind_of_b},
      IndexDef{"on_city", path({"address", "city"}), IndexKind::Unique}};
  const Plan plan = plan_for(indexes, c.predicate);
  if (c.index.empty()) {
    const auto* scan = plan.get_if<Plan::CollectionScan>();
    ASSERT_NE(scan, nullptr);
    EXPECT_EQ(scan->predicate, std::optional<Predicate>(c.predicate));
    return;
  }
  const auto* lookup = plan.get_if<Plan::IndexLookup>();
  ASSERT_NE(lookup, nullptr);
  EXPECT_EQ(lookup->index_name, c.index);
  EXPECT_EQ(lookup->residual.has_value(), c.residual.has_value());
  if (lookup->residual && c.residual) {
    EXPECT_EQ(lookup->residual->debug(), c.residual->debug());
  }
}

const IndexKind kU = IndexKind::Unique;
const IndexKind kN = IndexKind::NonUnique;

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanResidualTest,
    ::testing::Values(
        ResidualCase{"UniqueLaterWinsResidualUnwrapped", kN, kU,
                     all_of({eq({"a"}, s_i64(1)), eq({"b"}, s_i64(2))}), "on_b",
                     eq({"a"}, s_i64(1))},
        ResidualCase{"FirstNonUniqueWins", kN, kN,
                     all_of({eq({"a"}, s_i64(1)), eq({"b"}, s_i64(2))}), "on_a",
                     eq({"b"}, s_i64(2))},
        ResidualCase{"FirstUniqueKept", kU, kU, all_of({eq({"a"}, s_i64(1)), eq({"b"}, s_i64(2))}),
                     "on_a", eq({"b"}, s_i64(2))},
        ResidualCase{"AndOfOnlyTheEq", kN, kN, all_of({eq({"a"}, s_i64(1))}), "on_a", std::nullopt},
        ResidualCase{"DuplicatesAllRemoved", kN, kN,
                     all_of({eq({"a"}, s_i64(1)), eq({"a"}, s_i64(1))}), "on_a", std::nullopt},
        ResidualCase{"OthersKeepTheirOrder", kN, kN,
                     all_of({gt({"c"}, s_i64(0)), eq({"a"}, s_i64(1)), lt({"d"}, s_i64(5))}),
                     "on_a", all_of({gt({"c"}, s_i64(0)), lt({"d"}, s_i64(5))})},
        ResidualCase{
            "NestedAndKeepsWholePredicate", kN, kN,
            all_of({all_of({eq({"a"}, s_i64(1)), lt({"b"}, s_i64(2))}), gt({"c"}, s_i64(3))}),
            "on_a",
            all_of({all_of({eq({"a"}, s_i64(1)), lt({"b"}, s_i64(2))}), gt({"c"}, s_i64(3))})},
        ResidualCase{"NaNEqIsItsOwnResidual", kN, kN, eq({"a"}, f64(kNaN)), "on_a",
                     eq({"a"}, f64(kNaN))},
        ResidualCase{"OrNeverIndexed", kU, kU, any_of({eq({"a"}, s_i64(1))}), "", std::nullopt},
        ResidualCase{"RangeNeverIndexed", kU, kU, lte({"a"}, s_i64(1)), "", std::nullopt},
        ResidualCase{"UnindexedPath", kU, kU, eq({"c"}, s_i64(1)), "", std::nullopt},
        ResidualCase{"LastSegmentAloneIsAnotherPath", kU, kU, eq({"city"}, s_str("Rome")), "",
                     std::nullopt},
        // 0.0 and -0.0 are equal but keyed apart, so one key cannot find both.
        ResidualCase{"FloatZeroScans", kU, kU, eq({"a"}, f64(-0.0)), "", std::nullopt}),
    [](const ::testing::TestParamInfo<ResidualCase>& param) { return param.param.name; });

TEST(ChooseIndexTest, ReturnsCopiesAndAPointerIntoTheList) {
  const std::vector<IndexDef> indexes = example_indexes();
  const Predicate chosen = eq({"email"}, s_str("ann"));
  const std::optional<IndexChoice> choice =
      choose_index(indexes, all_of({lt({"age"}, s_i64(3)), chosen}));
  ASSERT_TRUE(choice.has_value());
  EXPECT_EQ(choice->index, &indexes[0]);
  EXPECT_EQ(choice->value, s_str("ann"));
  EXPECT_EQ(choice->chosen, chosen);
}

}  // namespace
}  // namespace quarn
