// Field paths, type and constraint equality, deep copies and the debug renderings.
#include "schema.h"

#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "testing/matchers.h"
#include "testing/rows.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::path;

const Type kInt64(Type::Kind::Int64);
const Type kUint64(Type::Kind::Uint64);
const Type kString(Type::Kind::String);

struct BadPathCase {
  const char* name;
  std::vector<std::string> segments;
};

class FieldPathRejectTest : public ::testing::TestWithParam<BadPathCase> {};

TEST_P(FieldPathRejectTest, IsInvalidFieldPath) {
  EXPECT_THAT(FieldPath::make(GetParam().segments),
              ErrorRenders("schema error: invalid field path"));
}

INSTANTIATE_TEST_SUITE_P(EmptyListOrSegment, FieldPathRejectTest,
                         ::testing::Values(BadPathCase{"EmptyList", {}},
                                           BadPathCase{"OneEmptySegment", {""}},
                                           BadPathCase{"EmptySecondSegment", {"a", ""}},
                                           BadPathCase{"EmptyFirstSegment", {"", "a"}}),
                         [](const ::testing::TestParamInfo<BadPathCase>& p) {
                           return std::string(p.param.name);
                         });

TEST(FieldPathTest, KeepsSegmentsUnsplitAndUntrimmed) {
  ASSERT_OK_AND_ASSIGN(const FieldPath dotted, FieldPath::make({"a.b"}));
  EXPECT_EQ(dotted.segments(), std::vector<std::string>{"a.b"});
  EXPECT_TRUE(dotted.is_top_level());

  ASSERT_OK_AND_ASSIGN(const FieldPath blank, FieldPath::make({" "}));
  EXPECT_EQ(blank.first(), " ");

  ASSERT_OK_AND_ASSIGN(const FieldPath nested, FieldPath::make({"address", "city"}));
  EXPECT_EQ(nested.size(), 2u);
  EXPECT_EQ(nested.first(), "address");
  EXPECT_FALSE(nested.is_top_level());
}

TEST(FieldPathTest, EqualityAndHashBySegments) {
  EXPECT_EQ(path({"user", "name"}), path({"user", "name"}));
  EXPECT_NE(path({"user"}), path({"user", "name"}));
  EXPECT_NE(path({"a", "b"}), path({"b", "a"}));
  EXPECT_NE(path({"a.b"}), path({"a", "b"}));

  const FieldPathHash hash;
  EXPECT_EQ(hash(path({"user", "name"})), hash(path({"user", "name"})));
  std::unordered_set<FieldPath, FieldPathHash> set{path({"a", "b"}), path({"b", "a"}),
                                                   path({"a", "b"})};
  EXPECT_EQ(set.size(), 2u);
}

TEST(FieldPathTest, DebugRendering) {
  EXPECT_EQ(path({"age"}).debug(), "FieldPath([\"age\"])");
  EXPECT_EQ(path({"user", "name"}).debug(), "FieldPath([\"user\", \"name\"])");
  EXPECT_EQ(path({"a\"b"}).debug(), "FieldPath([\"a\\\"b\"])");
  EXPECT_EQ(path({"a\\b\n"}).debug(), "FieldPath([\"a\\\\b\\n\"])");
}

TEST(IndexKindTest, DebugRendering) {
  EXPECT_STREQ(debug(IndexKind::Unique), "Unique");
  EXPECT_STREQ(debug(IndexKind::NonUnique), "NonUnique");
}

struct TypeEqCase {
  const char* name;
  Type a;
  Type b;
  bool equal;
};

class TypeEqualityTest : public ::testing::TestWithParam<TypeEqCase> {};

TEST_P(TypeEqualityTest, Structural) {
  EXPECT_EQ(GetParam().a == GetParam().b, GetParam().equal);
  EXPECT_EQ(GetParam().b == GetParam().a, GetParam().equal);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, TypeEqualityTest,
    ::testing::Values(
        TypeEqCase{"SamePrimitive", kInt64, kInt64, true},
        TypeEqCase{"OtherPrimitive", kInt64, kUint64, false},
        TypeEqCase{"OptionalSameInner", Type::optional(kInt64), Type::optional(kInt64), true},
        TypeEqCase{"OptionalVsInner", Type::optional(kInt64), kInt64, false},
        TypeEqCase{"ListOtherElement", Type::list(kInt64), Type::list(kUint64), false},
        TypeEqCase{"ListVsOptional", Type::list(kInt64), Type::optional(kInt64), false},
        TypeEqCase{"NestedListsEqual", Type::list(Type::list(kString)),
                   Type::list(Type::list(kString)), true},
        TypeEqCase{"ObjectSameMembers", Type::object({def("a", kInt64), def("b", kString)}),
                   Type::object({def("a", kInt64), def("b", kString)}), true},
        TypeEqCase{"ObjectMembersReordered", Type::object({def("a", kInt64), def("b", kString)}),
                   Type::object({def("b", kString), def("a", kInt64)}), false},
        TypeEqCase{"ObjectMemberOtherType", Type::object({def("a", kInt64)}),
                   Type::object({def("a", kUint64)}), false},
        TypeEqCase{"ObjectExtraMember", Type::object({def("a", kInt64)}),
                   Type::object({def("a", kInt64), def("b", kInt64)}), false},
        TypeEqCase{"ObjectOtherConstraints",
                   Type::object({def("a", kInt64, {Constraint::MinI64{1}})}),
                   Type::object({def("a", kInt64, {Constraint::MinI64{2}})}), false},
        TypeEqCase{"ObjectConstraintsReordered",
                   Type::object({def("a", kString, {Constraint::NonEmpty{}, Constraint::Email{}})}),
                   Type::object({def("a", kString, {Constraint::Email{}, Constraint::NonEmpty{}})}),
                   false},
        TypeEqCase{"ObjectNaNConstraint",
                   Type::object({def("x", kInt64, {Constraint::MinF64{kNaN}})}),
                   Type::object({def("x", kInt64, {Constraint::MinF64{kNaN}})}), false},
        TypeEqCase{"ObjectSignedZeroConstraint",
                   Type::object({def("x", kInt64, {Constraint::MinF64{0.0}})}),
                   Type::object({def("x", kInt64, {Constraint::MinF64{-0.0}})}), true},
        TypeEqCase{"EnumSameVariants", Type::enumeration({"a", "b"}), Type::enumeration({"a", "b"}),
                   true},
        TypeEqCase{"EnumVariantsReordered", Type::enumeration({"a", "b"}),
                   Type::enumeration({"b", "a"}), false},
        TypeEqCase{"EnumVsString", Type::enumeration({"a"}), kString, false},
        TypeEqCase{"EmptyObjects", Type::object({}), Type::object({}), true}),
    [](const ::testing::TestParamInfo<TypeEqCase>& p) { return std::string(p.param.name); });

TEST(TypeTest, NaNConstraintUnequalToItsOwnCopy) {
  const Type original = Type::object({def("x", kInt64, {Constraint::MaxF64{kNaN}})});
  const Type copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_FALSE(copy == original);
  EXPECT_FALSE(original == original);
}

TEST(TypeTest, CopiesAreDeepAndIndependent) {
  Type original = Type::object({def("tags", Type::list(Type::enumeration({"x", "y"}))),
                                def("inner", Type::optional(Type::object({def("n", kInt64)})))});
  Type copy = original;
  ASSERT_EQ(copy, original);
  // The copy owns its own nested types: reassigning the original leaves it intact.
  const Type snapshot = copy;
  original = Type(Type::Kind::Bool);
  EXPECT_EQ(copy, snapshot);
  EXPECT_EQ(copy.members()[0].type.inner().variants(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(copy.members()[1].type.inner().members()[0].path, path({"n"}));

  Type assigned(Type::Kind::Bool);
  assigned = snapshot;
  EXPECT_EQ(assigned, snapshot);
  EXPECT_NE(&assigned.members(), &snapshot.members());
}

TEST(TypeTest, NumbersAreFrozen) {
  EXPECT_EQ(Type(Type::Kind::Bool).number(), 0);
  EXPECT_EQ(Type(Type::Kind::Timestamp).number(), 7);
  EXPECT_TRUE(Type(Type::Kind::Timestamp).is_primitive());
  EXPECT_EQ(Type::optional(kInt64).number(), 8);
  EXPECT_EQ(Type::list(kInt64).number(), 9);
  EXPECT_EQ(Type::object({}).number(), 10);
  EXPECT_EQ(Type::enumeration({}).number(), 11);
  EXPECT_FALSE(Type::optional(kInt64).is_primitive());
  EXPECT_EQ(static_cast<int>(Constraint(Constraint::MinI64{0}).tag()), 1);
  EXPECT_EQ(static_cast<int>(Constraint(Constraint::NonEmpty{}).tag()), 12);
}

TEST(TypeTest, PrimitiveConstructorRefusesCompositeKind) {
  EXPECT_THROW(Type(Type::Kind::List), InternalFault);
}

struct ConstraintEqCase {
  const char* name;
  Constraint a;
  Constraint b;
  bool equal;
};

class ConstraintEqualityTest : public ::testing::TestWithParam<ConstraintEqCase> {};

TEST_P(ConstraintEqualityTest, SameAlternativeAndArgument) {
  EXPECT_EQ(GetParam().a == GetParam().b, GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstraintEqualityTest,
    ::testing::Values(
        ConstraintEqCase{"MinI64Same", Constraint::MinI64{-3}, Constraint::MinI64{-3}, true},
        ConstraintEqCase{"MinI64Other", Constraint::MinI64{-3}, Constraint::MinI64{3}, false},
        ConstraintEqCase{"MinVsMaxI64", Constraint::MinI64{1}, Constraint::MaxI64{1}, false},
        ConstraintEqCase{"MinU64VsMinLength", Constraint::MinU64{1}, Constraint::MinLength{1},
                         false},
        ConstraintEqCase{"MaxU64Same", Constraint::MaxU64{7}, Constraint::MaxU64{7}, true},
        ConstraintEqCase{"MaxLengthOther", Constraint::MaxLength{7}, Constraint::MaxLength{8},
                         false},
        ConstraintEqCase{"SignedZeros", Constraint::MaxF64{0.0}, Constraint::MaxF64{-0.0}, true},
        ConstraintEqCase{"NaN", Constraint::MinF64{kNaN}, Constraint::MinF64{kNaN}, false},
        ConstraintEqCase{"RegexSame", Constraint::Regex{"^a+$"}, Constraint::Regex{"^a+$"}, true},
        ConstraintEqCase{"RegexOther", Constraint::Regex{"^a+$"}, Constraint::Regex{"^a*$"}, false},
        ConstraintEqCase{"Email", Constraint::Email{}, Constraint::Email{}, true},
        ConstraintEqCase{"UrlVsNonEmpty", Constraint::Url{}, Constraint::NonEmpty{}, false}),
    [](const ::testing::TestParamInfo<ConstraintEqCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quarn
