// Row validation: the order of checks, the path each failure carries, every constraint message
// and the plain decimal form of doubles in them.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <re2/re2.h>

#include "testing/matchers.h"
#include "testing/rows.h"
#include "validation_internal.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::i64;
using ::quarn::testing::IsOk;
using ::quarn::testing::list;
using ::quarn::testing::obj;
using ::quarn::testing::str;
using ::quarn::testing::u64;
using K = Type::Kind;
using C = Constraint;

RowValue f64(double v) { return RowValue(ScalarValue::Float64{v}); }
RowValue bytes(quarn::Bytes b) { return RowValue(ScalarValue::Bytes{std::move(b)}); }
const RowValue kNull;

// Schema order differs from byte order on purpose (tags before name).
const std::vector<FieldDef>& fields() {
  static const std::vector<FieldDef> defs = {
      def("id", Type(K::Int64)),
      def("tags", Type::list(Type(K::String))),
      def("name", Type(K::String)),
      def("nick", Type::optional(Type(K::String)), {C::NonEmpty{}}),
      def("address",
          Type::object({def("city", Type(K::String)), def("zip", Type::optional(Type(K::Int64)))})),
      def("points",
          Type::optional(Type::list(Type::object({def("x", Type(K::Int64), {C::MinI64{0}})})))),
      def("level", Type::enumeration({"a", "b"})),
  };
  return defs;
}

// A row that passes; cases change one thing.
Row valid_row() {
  return Row{{"id", i64(1)},
             {"tags", list({str("x")})},
             {"name", str("n")},
             {"address", obj({{"city", str("Oslo")}})},
             {"level", str("a")}};
}

struct RowCase {
  const char* name;
  Row row;
  const char* error;  // nullptr: passes
};

class RowValidationTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowValidationTest, ChecksInOrderWithPath) {
  const Status status = validate_top_level_row(fields(), "id", GetParam().row);
  if (GetParam().error == nullptr) {
    EXPECT_THAT(status, IsOk());
  } else {
    EXPECT_THAT(status, ErrorRenders(GetParam().error));
  }
}

Row with(std::string key, RowValue value) {
  Row row = valid_row();
  row.insert_or_assign(std::move(key), std::move(value));
  return row;
}
Row without(const std::string& key) {
  Row row = valid_row();
  row.erase(key);
  return row;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowValidationTest,
    ::testing::Values(
        RowCase{"Valid", valid_row(), nullptr},
        RowCase{"PrimaryKeyIsTheCallers", without("id"), nullptr},
        RowCase{"PrimaryKeyValueNotChecked", with("id", str("x")), nullptr},
        RowCase{"OptionalAbsent", without("nick"), nullptr},
        RowCase{"OptionalNullSkipsConstraints", with("nick", kNull), nullptr},
        RowCase{"UnknownKeysInByteOrder",
                [] {
                  Row row = valid_row();
                  row.emplace("zb", i64(1));
                  row.emplace("b", i64(1));
                  return row;
                }(),
                "validation error at b: unknown field"},
        RowCase{"UnknownBeforeMissing",
                [] {
                  Row row = without("name");
                  row.emplace("zz", i64(1));
                  return row;
                }(),
                "validation error at zz: unknown field"},
        RowCase{"MissingRequired", without("name"), "validation error at name: missing field"},
        RowCase{"RequiredNull", with("name", kNull),
                "validation error at name: unexpected null for required field"},
        RowCase{"FieldsInSchemaOrder",
                [] {
                  Row row = with("name", i64(1));
                  row.insert_or_assign("tags", str("x"));
                  return row;
                }(),
                "validation error at tags: expected list"},
        RowCase{"OptionalInnerKindBeforeConstraints", with("nick", i64(1)),
                "validation error at nick: expected string"},
        RowCase{"OptionalConstraintOnValue", with("nick", str("")),
                "validation error at nick: string must be non-empty"},
        RowCase{"ListElementIndex", with("tags", list({str("a"), str("b"), i64(3)})),
                "validation error at tags.2: expected string"},
        RowCase{"ListElementNull", with("tags", list({kNull})),
                "validation error at tags.0: expected string"},
        RowCase{"NotAnObject", with("address", str("x")),
                "validation error at address: expected object"},
        RowCase{"ObjectMissingMember", with("address", obj({{"zip", i64(1)}})),
                "validation error at address.city: missing object field"},
        RowCase{"ObjectMemberNull", with("address", obj({{"city", kNull}})),
                "validation error at address.city: expected string"},
        RowCase{"ObjectMembersBeforeUnknownKeys",
                with("address", obj({{"a", i64(1)}, {"city", i64(1)}})),
                "validation error at address.city: expected string"},
        RowCase{"ObjectUnknownKey",
                with("address", obj({{"city", str("x")}, {"zip", kNull}, {"aa", i64(1)}})),
                "validation error at address.aa: unknown field in object"},
        RowCase{"NestedListOfObjects",
                with("points", list({obj({{"x", i64(0)}}), obj({{"x", i64(-1)}})})),
                "validation error at points.1.x: value -1 is below minimum 0"},
        RowCase{"EnumOutsideVariants", with("level", str("c")),
                "validation error at level: enum value must be one of [\"a\", \"b\"]"},
        RowCase{"EnumNotString", with("level", i64(0)),
                "validation error at level: expected string (enum)"}),
    [](const ::testing::TestParamInfo<RowCase>& param) { return param.param.name; });

TEST(ValidateValueTest, PathRestoredOnSuccessAndKeptOnFailure) {
  const Type type = Type::list(Type::object({def("k", Type(K::Bool))}));
  std::vector<std::string> path = {"f"};
  ASSERT_OK(
      validate_value(path, type, {}, list({obj({{"k", RowValue(ScalarValue::Bool{true})}})})));
  EXPECT_EQ(path, std::vector<std::string>{"f"});

  EXPECT_THAT(validate_value(path, type, {}, list({obj({{"k", i64(1)}})})),
              ErrorRenders("validation error at f.0.k: expected bool"));
  EXPECT_EQ(path, (std::vector<std::string>{"f", "0", "k"}));
}

TEST(ValidateValueTest, EmptyPathRendersWithoutLocation) {
  std::vector<std::string> path;
  EXPECT_THAT(validate_value(path, Type(K::Int64), {}, u64(1)),
              ErrorRenders("validation error: expected int64"));
}

TEST(ValidateValueTest, EveryPrimitiveNamesItsKind) {
  const char* expected[] = {"expected bool",    "expected int64",    "expected uint64",
                            "expected float64", "expected string",   "expected bytes",
                            "expected uuid",    "expected timestamp"};
  for (std::uint8_t k = 0; k <= 7; ++k) {
    std::vector<std::string> path = {"p"};
    // A kind never matches a neighbour: Int64 and Timestamp share a payload but not a kind.
    const RowValue other = k == 7 ? i64(1) : RowValue(ScalarValue::Timestamp{1});
    EXPECT_THAT(validate_value(path, Type(static_cast<K>(k)), {}, other),
                ErrorRenders(std::string("validation error at p: ") + expected[k]));
  }
}

TEST(ValidateValueTest, WholeListAndEnumCarryTheirConstraints) {
  std::vector<std::string> path = {"f"};
  const std::vector<Constraint> min3 = {C::MinLength{3}};
  EXPECT_THAT(validate_value(path, Type::list(Type(K::Int64)), min3, list({i64(1), i64(2)})),
              ErrorRenders("validation error at f: list length 2 is below minimum 3"));
  const std::vector<Constraint> max1 = {C::MaxLength{1}};
  EXPECT_THAT(validate_value(path, Type::enumeration({"ab"}), max1, str("ab")),
              ErrorRenders("validation error at f: string length 2 is above maximum 1"));
}

struct ConstraintCase {
  const char* name;
  std::vector<Constraint> constraints;
  RowValue value;
  const char* error;  // the message; nullptr: passes
};

class ConstraintTest : public ::testing::TestWithParam<ConstraintCase> {};

TEST_P(ConstraintTest, AppliesInOrder) {
  const Status status = apply_constraints({"f"}, GetParam().constraints, GetParam().value);
  if (GetParam().error == nullptr) {
    EXPECT_THAT(status, IsOk());
  } else {
    EXPECT_THAT(status, ErrorRenders(std::string("validation error at f: ") + GetParam().error));
  }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, ConstraintTest,
    ::testing::Values(
        ConstraintCase{"NoConstraints", {}, RowValue(ScalarValue::Bool{false}), nullptr},
        ConstraintCase{"MinI64Equal", {C::MinI64{-3}}, i64(-3), nullptr},
        ConstraintCase{"MinI64Below", {C::MinI64{-3}}, i64(-7), "value -7 is below minimum -3"},
        ConstraintCase{"MaxI64Above", {C::MaxI64{10}}, i64(11), "value 11 is above maximum 10"},
        ConstraintCase{"MinI64OnTimestamp",
                       {C::MinI64{0}},
                       RowValue(ScalarValue::Timestamp{5}),
                       "MinI64 constraint requires int64"},
        ConstraintCase{
            "MaxI64OnUint64", {C::MaxI64{0}}, u64(0), "MaxI64 constraint requires int64"},
        ConstraintCase{"MinU64Below", {C::MinU64{5}}, u64(4), "value 4 is below minimum 5"},
        ConstraintCase{"MaxU64AboveFullRange",
                       {C::MaxU64{5}},
                       u64(18446744073709551615ull),
                       "value 18446744073709551615 is above maximum 5"},
        ConstraintCase{
            "MinU64OnInt64", {C::MinU64{0}}, i64(1), "MinU64 constraint requires uint64"},
        ConstraintCase{
            "MaxU64OnString", {C::MaxU64{0}}, str("1"), "MaxU64 constraint requires uint64"},
        ConstraintCase{"MinF64NaNValuePasses", {C::MinF64{0.5}}, f64(kNaN), nullptr},
        ConstraintCase{"MaxF64NaNValuePasses", {C::MaxF64{0.5}}, f64(kNaN), nullptr},
        ConstraintCase{"MinF64NaNBoundPasses", {C::MinF64{kNaN}}, f64(-kInf), nullptr},
        ConstraintCase{"MaxF64NaNBoundPasses", {C::MaxF64{kNaN}}, f64(kInf), nullptr},
        ConstraintCase{"MaxF64Above", {C::MaxF64{1.0}}, f64(1.5), "value 1.5 is above maximum 1"},
        ConstraintCase{
            "MinF64TinyBound", {C::MinF64{1e-7}}, f64(0.0), "value 0 is below minimum 0.0000001"},
        ConstraintCase{
            "MaxF64NegativeZero", {C::MaxF64{-1.0}}, f64(-0.0), "value -0 is above maximum -1"},
        ConstraintCase{"MaxF64Infinity",
                       {C::MaxF64{1e20}},
                       f64(kInf),
                       "value inf is above maximum 100000000000000000000"},
        ConstraintCase{"MinF64ZeroSigns", {C::MinF64{0.0}}, f64(-0.0), nullptr},
        ConstraintCase{
            "MinF64OnInt64", {C::MinF64{0}}, i64(1), "MinF64 constraint requires float64"},
        ConstraintCase{
            "MaxF64OnUint64", {C::MaxF64{0}}, u64(1), "MaxF64 constraint requires float64"},
        ConstraintCase{
            "MinLengthString", {C::MinLength{3}}, str("ab"), "string length 2 is below minimum 3"},
        ConstraintCase{"MaxLengthCountsUtf8Bytes",
                       {C::MaxLength{3}},
                       str("ab\xc3\xa9"),
                       "string length 4 is above maximum 3"},
        ConstraintCase{"MaxLengthUtf8Exact", {C::MaxLength{4}}, str("ab\xc3\xa9"), nullptr},
        ConstraintCase{
            "MinLengthBytes", {C::MinLength{2}}, bytes({0}), "bytes length 1 is below minimum 2"},
        ConstraintCase{"MaxLengthList",
                       {C::MaxLength{2}},
                       list({kNull, kNull, kNull}),
                       "list length 3 is above maximum 2"},
        ConstraintCase{"MinLengthOnBool",
                       {C::MinLength{0}},
                       RowValue(ScalarValue::Bool{true}),
                       "MinLength applies to string, bytes, or list"},
        ConstraintCase{"MaxLengthOnObject",
                       {C::MaxLength{9}},
                       obj({}),
                       "MaxLength applies to string, bytes, or list"},
        ConstraintCase{"RegexUnanchored", {C::Regex{"b"}}, str("abc"), nullptr},
        ConstraintCase{
            "RegexAnchoredFails", {C::Regex{"^b"}}, str("abc"), "string does not match regex"},
        ConstraintCase{
            "RegexFullAnchors", {C::Regex{"^abc$"}}, str("xabc"), "string does not match regex"},
        ConstraintCase{"RegexEmptyMatchesEmpty", {C::Regex{""}}, str(""), nullptr},
        ConstraintCase{"RegexUnicodeClass", {C::Regex{"^\\p{L}{4}$"}}, str("caf\xc3\xa9"), nullptr},
        ConstraintCase{
            "RegexOnBytes", {C::Regex{""}}, bytes({}), "Regex constraint requires string"},
        ConstraintCase{"EmailAtThenDot", {C::Email{}}, str("@."), nullptr},
        ConstraintCase{"EmailDotThenAt", {C::Email{}}, str(".@"), nullptr},
        ConstraintCase{"EmailNoDot", {C::Email{}}, str("a@b"), "string is not a valid email shape"},
        ConstraintCase{"EmailNoAt", {C::Email{}}, str("a.b"), "string is not a valid email shape"},
        ConstraintCase{"EmailOnInt64", {C::Email{}}, i64(1), "Email constraint requires string"},
        ConstraintCase{"UrlSecurePrefixAlone", {C::Url{}}, str("https://"), nullptr},
        ConstraintCase{"UrlPlain", {C::Url{}}, str("http://x"), nullptr},
        ConstraintCase{
            "UrlUpperCaseScheme", {C::Url{}}, str("HTTP://x"), "string must be an http(s) URL"},
        ConstraintCase{
            "UrlShortPrefix", {C::Url{}}, str("http:/"), "string must be an http(s) URL"},
        ConstraintCase{
            "UrlPrefixNotAtStart", {C::Url{}}, str(" http://x"), "string must be an http(s) URL"},
        ConstraintCase{"UrlOnList", {C::Url{}}, list({}), "Url constraint requires string"},
        ConstraintCase{"NonEmptyString", {C::NonEmpty{}}, str(""), "string must be non-empty"},
        ConstraintCase{"NonEmptyBytes", {C::NonEmpty{}}, bytes({}), "bytes must be non-empty"},
        ConstraintCase{"NonEmptyList", {C::NonEmpty{}}, list({}), "list must be non-empty"},
        ConstraintCase{"NonEmptyOnUuid",
                       {C::NonEmpty{}},
                       RowValue(ScalarValue::Uuid{}),
                       "NonEmpty applies to string, bytes, or list"},
        ConstraintCase{
            "NonEmptyOnNull", {C::NonEmpty{}}, kNull, "NonEmpty applies to string, bytes, or list"},
        ConstraintCase{"FirstFailureInListOrder",
                       {C::MinLength{5}, C::NonEmpty{}},
                       str(""),
                       "string length 0 is below minimum 5"},
        ConstraintCase{"LaterConstraintStillChecked",
                       {C::Email{}, C::Url{}},
                       str("a@b.c"),
                       "string must be an http(s) URL"}),
    [](const ::testing::TestParamInfo<ConstraintCase>& param) { return param.param.name; });

TEST(RegexConstraintTest, CompileErrorCarriesTheLibraryText) {
  const std::string library_text = RE2("(", RE2::Quiet).error();
  ASSERT_FALSE(library_text.empty());
  const std::vector<Constraint> bad = {C::Regex{"("}};
  // Twice: a pattern that failed once fails every later check the same way.
  for (int i = 0; i < 2; ++i) {
    EXPECT_THAT(apply_constraints({"f"}, bad, str("(")),
                ErrorRenders("validation error at f: invalid regex in schema: " + library_text));
  }
  // The kind is tested before the pattern is compiled.
  EXPECT_THAT(apply_constraints({"f"}, bad, i64(1)),
              ErrorRenders("validation error at f: Regex constraint requires string"));
}

TEST(RegexConstraintTest, ManyDistinctPatternsStayCorrect) {
  // More patterns than any cache would keep, checked twice over.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 200; ++i) {
      const std::vector<Constraint> c = {C::Regex{"^p" + std::to_string(i) + "$"}};
      EXPECT_THAT(apply_constraints({}, c, str("p" + std::to_string(i))), IsOk());
      EXPECT_THAT(apply_constraints({}, c, str("p" + std::to_string(i + 1))),
                  ErrorRenders("validation error: string does not match regex"));
    }
  }
}

struct DecimalCase {
  const char* name;
  double value;
  std::string text;
};

class PlainDecimalTest : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(PlainDecimalTest, ShortestDigitsWithoutExponent) {
  EXPECT_EQ(plain_decimal_f64(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Doubles, PlainDecimalTest,
    ::testing::Values(DecimalCase{"Integral", 5.0, "5"}, DecimalCase{"Half", 1.5, "1.5"},
                      DecimalCase{"Zero", 0.0, "0"}, DecimalCase{"NegativeZero", -0.0, "-0"},
                      DecimalCase{"Tenth", 0.1, "0.1"},
                      DecimalCase{"NotQuiteThreeTenths", 0.1 + 0.2, "0.30000000000000004"},
                      DecimalCase{"TinyNoExponent", 1e-7, "0.0000001"},
                      DecimalCase{"NegativeTiny", -2.5e-5, "-0.000025"},
                      DecimalCase{"LargeNoExponent", 1e20, "100000000000000000000"},
                      DecimalCase{"SixteenDigits", 1e16, "10000000000000000"},
                      DecimalCase{"MixedPoint", 123456789.5, "123456789.5"},
                      DecimalCase{"Largest", std::numeric_limits<double>::max(),
                                  "17976931348623157" + std::string(292, '0')},
                      DecimalCase{"SmallestSubnormal", std::numeric_limits<double>::denorm_min(),
                                  "0." + std::string(323, '0') + "5"},
                      DecimalCase{"Infinity", kInf, "inf"},
                      DecimalCase{"NegativeInfinity", -kInf, "-inf"},
                      DecimalCase{"NaN", kNaN, "NaN"}),
    [](const ::testing::TestParamInfo<DecimalCase>& param) { return param.param.name; });

}  // namespace
}  // namespace quarn
