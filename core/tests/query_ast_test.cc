#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "query/ast.h"
#include "testing/predicates.h"
#include "testing/rows.h"

namespace quarn {
namespace {

using ::quarn::testing::eq;
using ::quarn::testing::lt;
using ::quarn::testing::path;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct DebugCase {
  std::string name;
  Predicate predicate;
  std::string expected;
};

class PredicateDebugTest : public ::testing::TestWithParam<DebugCase> {};

TEST_P(PredicateDebugTest, RendersExactText) {
  EXPECT_EQ(GetParam().predicate.debug(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Renderings, PredicateDebugTest,
    ::testing::Values(
        DebugCase{"Eq", eq({"age"}, ScalarValue::Int64{30}),
                  R"(Eq { path: FieldPath(["age"]), value: Int64(30) })"},
        DebugCase{"LteNested",
                  Predicate::Lte{{path({"address", "city"}), ScalarValue::String{"x"}}},
                  R"(Lte { path: FieldPath(["address", "city"]), value: String("x") })"},
        DebugCase{"GtFloat", Predicate::Gt{{path({"f"}), ScalarValue::Float64{1.5}}},
                  R"(Gt { path: FieldPath(["f"]), value: Float64(1.5) })"},
        DebugCase{"GteTimestamp", Predicate::Gte{{path({"t"}), ScalarValue::Timestamp{-1}}},
                  R"(Gte { path: FieldPath(["t"]), value: Timestamp(-1) })"},
        DebugCase{"EmptyAnd", Predicate::And{}, "And([])"},
        DebugCase{"OrOfOneLt", Predicate::Or{{lt({"age"}, ScalarValue::Uint64{7})}},
                  R"(Or([Lt { path: FieldPath(["age"]), value: Uint64(7) }]))"},
        DebugCase{"AndWithNestedOr",
                  Predicate::And{{eq({"a"}, ScalarValue::Bool{true}), Predicate::Or{}}},
                  R"(And([Eq { path: FieldPath(["a"]), value: Bool(true) }, Or([])]))"},
        DebugCase{"QuotedSegment", eq({"we\"ird"}, ScalarValue::Bytes{{1, 2}}),
                  R"(Eq { path: FieldPath(["we\"ird"]), value: Bytes([1, 2]) })"}),
    [](const ::testing::TestParamInfo<DebugCase>& param) { return param.param.name; });

TEST(OrderDirectionTest, RendersAscAndDesc) {
  EXPECT_STREQ(debug(OrderDirection::Asc), "Asc");
  EXPECT_STREQ(debug(OrderDirection::Desc), "Desc");
}

TEST(PredicateTest, EqualityIsStructural) {
  const Predicate tree = Predicate::And{{eq({"a", "b"}, ScalarValue::String{"x"}),
                                         Predicate::Or{{lt({"c"}, ScalarValue::Int64{1})}}}};
  EXPECT_EQ(tree, Predicate(tree));
  // Same shape, one detail changed at a time.
  EXPECT_NE(eq({"a"}, ScalarValue::Int64{1}), lt({"a"}, ScalarValue::Int64{1}));
  EXPECT_NE(eq({"a"}, ScalarValue::Int64{1}), eq({"a", "b"}, ScalarValue::Int64{1}));
  EXPECT_NE(eq({"a"}, ScalarValue::Int64{1}), eq({"a"}, ScalarValue::Uint64{1}));
  EXPECT_NE(eq({"a"}, ScalarValue::Int64{1}), eq({"a"}, ScalarValue::Int64{2}));
  EXPECT_NE(Predicate(Predicate::And{}), Predicate(Predicate::Or{}));
  EXPECT_NE(Predicate(Predicate::And{{eq({"a"}, ScalarValue::Int64{1})}}),
            Predicate(Predicate::And{
                {eq({"a"}, ScalarValue::Int64{1}), eq({"a"}, ScalarValue::Int64{1})}}));
  EXPECT_NE(Predicate(Predicate::And{{eq({"a"}, ScalarValue::Int64{1}), Predicate::Or{}}}),
            Predicate(Predicate::And{{Predicate::Or{}, eq({"a"}, ScalarValue::Int64{1})}}));
}

TEST(PredicateTest, ComparisonValuesCompareByEqRule) {
  EXPECT_EQ(eq({"f"}, ScalarValue::Float64{0.0}), eq({"f"}, ScalarValue::Float64{-0.0}));
  const Predicate nan = eq({"f"}, ScalarValue::Float64{kNaN});
  const Predicate copy = nan;
  EXPECT_NE(nan, copy);
  EXPECT_NE(Predicate(Predicate::And{{nan}}), Predicate(Predicate::And{{nan}}));
}

}  // namespace
}  // namespace quarn
