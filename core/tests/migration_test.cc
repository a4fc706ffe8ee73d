// Schema-change classification: each phase, their order, the reason texts.
#include "migration.h"

#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "schema.h"
#include "testing/rows.h"

namespace quarn {

void PrintTo(const SchemaChange& change, std::ostream* os) {
  if (change.is<SchemaChange::Safe>()) {
    *os << "Safe";
  } else {
    *os << (change.is<SchemaChange::Breaking>() ? "Breaking(" : "NeedsMigration(")
        << *change.reason() << ")";
  }
}

namespace {

using ::quarn::testing::def;
using ::quarn::testing::def_at;
using ::quarn::testing::index_def;
using ::quarn::testing::path;

using Kind = Type::Kind;
using Fields = std::vector<FieldDef>;
using Indexes = std::vector<IndexDef>;

Type t(Kind kind) { return Type(kind); }

SchemaChange breaking(std::string reason) { return SchemaChange::Breaking{std::move(reason)}; }
SchemaChange migrate(std::string reason) { return SchemaChange::NeedsMigration{std::move(reason)}; }

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ClassifyCase {
  std::string name;
  Fields old_fields;
  Indexes old_indexes;
  Fields new_fields;
  Indexes new_indexes;
  SchemaChange expected;
};

class ClassifyTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, GivesExpectedChange) {
  const ClassifyCase& c = GetParam();
  EXPECT_EQ(classify_schema_update(c.old_fields, c.old_indexes, c.new_fields, c.new_indexes),
            c.expected);
}

// A schema touching every kind of definition; cases vary one part of it.
Fields base_fields() {
  return {def("id", t(Kind::Int64)),
          def("name", t(Kind::String), {Constraint::NonEmpty{}, Constraint::MaxLength{40}}),
          def("status", Type::enumeration({"a", "b"})),
          def("address", Type::object({def("city", t(Kind::String))})),
          def("tags", Type::list(t(Kind::String))),
          def("nick", Type::optional(t(Kind::String)))};
}

Indexes base_indexes() {
  return {index_def("by_name", {"name"}, IndexKind::NonUnique),
          index_def("by_nick", {"nick"}, IndexKind::Unique)};
}

Fields with_field(Fields fields, FieldDef def) {
  for (FieldDef& f : fields) {
    if (f.path == def.path) {
      f = std::move(def);
      return fields;
    }
  }
  fields.push_back(std::move(def));
  return fields;
}

Fields without_field(Fields fields, const std::string& name) {
  std::erase_if(fields, [&](const FieldDef& f) { return f.path.first() == name; });
  return fields;
}

Indexes with_index(Indexes indexes, IndexDef def) {
  for (IndexDef& i : indexes) {
    if (i.name == def.name) {
      i = std::move(def);
      return indexes;
    }
  }
  indexes.push_back(std::move(def));
  return indexes;
}

Indexes without_index(Indexes indexes, const std::string& name) {
  std::erase_if(indexes, [&](const IndexDef& i) { return i.name == name; });
  return indexes;
}

// Old and new field lists over the base indexes.
ClassifyCase fields_case(std::string name, Fields old_fields, Fields new_fields,
                         SchemaChange expected) {
  return {std::move(name),       std::move(old_fields), base_indexes(),
          std::move(new_fields), base_indexes(),        std::move(expected)};
}

// The base fields with the base indexes changed to new_indexes.
ClassifyCase indexes_case(std::string name, Indexes new_indexes, SchemaChange expected) {
  return {std::move(name), base_fields(),          base_indexes(),
          base_fields(),   std::move(new_indexes), std::move(expected)};
}

std::vector<ClassifyCase> field_cases() {
  const Fields b = base_fields();
  return {
      {"EmptyListsAreSafe", {}, {}, {}, {}, SchemaChange::Safe{}},
      fields_case("IdenticalIsSafe", b, b, SchemaChange::Safe{}),
      fields_case("ReorderedFieldsAreSafe", b, {b[5], b[4], b[3], b[2], b[1], b[0]},
                  SchemaChange::Safe{}),
      fields_case("FieldRemoved", with_field(b, def("email", t(Kind::String))), b,
                  breaking("field removed: [\"email\"]")),
      fields_case("NestedPathRemoved", with_field(b, def_at({"address", "city"}, t(Kind::String))),
                  b, breaking("field removed: [\"address\", \"city\"]")),
      fields_case("ConstraintAddedReportedBeforeTypeChange", b,
                  with_field(b, def("id", t(Kind::Uint64), {Constraint::NonEmpty{}})),
                  breaking("constraints changed for field [\"id\"]")),
      fields_case("ConstraintLoosened", b,
                  with_field(b, def("name", t(Kind::String),
                                    {Constraint::NonEmpty{}, Constraint::MaxLength{80}})),
                  breaking("constraints changed for field [\"name\"]")),
      fields_case("ConstraintsReordered", b,
                  with_field(b, def("name", t(Kind::String),
                                    {Constraint::MaxLength{40}, Constraint::NonEmpty{}})),
                  breaking("constraints changed for field [\"name\"]")),
      fields_case("ConstraintDropped", b,
                  with_field(b, def("name", t(Kind::String), {Constraint::NonEmpty{}})),
                  breaking("constraints changed for field [\"name\"]")),
      fields_case("MadeOptional", b, with_field(b, def("id", Type::optional(t(Kind::Int64)))),
                  breaking("type changed for field [\"id\"]")),
      fields_case("MadeRequired", b, with_field(b, def("nick", t(Kind::String))),
                  breaking("type changed for field [\"nick\"]")),
      fields_case("IntegerWidened", b, with_field(b, def("id", t(Kind::Uint64))),
                  breaking("type changed for field [\"id\"]")),
      fields_case("ListElementChanged", b, with_field(b, def("tags", Type::list(t(Kind::Bytes)))),
                  breaking("type changed for field [\"tags\"]")),
      fields_case("ObjectMemberAddedIsTypeChange", b,
                  with_field(b, def("address", Type::object({def("city", t(Kind::String)),
                                                             def("zip", t(Kind::String))}))),
                  breaking("type changed for field [\"address\"]")),
      fields_case("ObjectMemberConstraintChanged", b,
                  with_field(b, def("address", Type::object({def("city", t(Kind::String),
                                                                 {Constraint::NonEmpty{}})}))),
                  breaking("type changed for field [\"address\"]")),
      fields_case("EnumVariantsAddedAndReordered", b,
                  with_field(b, def("status", Type::enumeration({"b", "c", "a"}))),
                  SchemaChange::Safe{}),
      fields_case("EnumVariantRemoved", b,
                  with_field(b, def("status", Type::enumeration({"a", "c"}))),
                  breaking("type changed for field [\"status\"]")),
      fields_case("EnumWithoutVariantsAcceptsAnyEnum",
                  with_field(b, def("status", Type::enumeration({}))), b, SchemaChange::Safe{}),
      fields_case("EnumToString", b, with_field(b, def("status", t(Kind::String))),
                  breaking("type changed for field [\"status\"]")),
      fields_case("StringToEnum", with_field(b, def("status", t(Kind::String))), b,
                  breaking("type changed for field [\"status\"]")),
      // Only a top-level enum may grow; inside an optional the types must be equal.
      fields_case("OptionalEnumGrowingIsTypeChange",
                  with_field(b, def("status", Type::optional(Type::enumeration({"a"})))),
                  with_field(b, def("status", Type::optional(Type::enumeration({"a", "b"})))),
                  breaking("type changed for field [\"status\"]")),
      fields_case("NewRequiredField", b, with_field(b, def("email", t(Kind::String))),
                  migrate("new required field [\"email\"] needs backfill")),
      fields_case("NewRequiredObjectField", b,
                  with_field(b, def("geo", Type::object({def("lat", t(Kind::Float64))}))),
                  migrate("new required field [\"geo\"] needs backfill")),
      fields_case("NewOptionalFieldIsSafe", b,
                  with_field(b, def("email", Type::optional(t(Kind::String)))),
                  SchemaChange::Safe{}),
      fields_case("NewNestedFieldIsSafe", b,
                  with_field(b, def_at({"address", "zip"}, t(Kind::String))), SchemaChange::Safe{}),
      fields_case("SegmentEscapedInReason", b, with_field(b, def("a\"b\n", t(Kind::Int64))),
                  migrate("new required field [\"a\\\"b\\n\"] needs backfill")),
  };
}

std::vector<ClassifyCase> index_cases() {
  const Indexes b = base_indexes();
  return {
      indexes_case("KindChanged", with_index(b, index_def("by_name", {"name"}, IndexKind::Unique)),
                   breaking("index changed: \"by_name\"")),
      indexes_case("PathChanged",
                   with_index(b, index_def("by_name", {"nick"}, IndexKind::NonUnique)),
                   breaking("index changed: \"by_name\"")),
      indexes_case("UniqueRemovedIsSafe", without_index(b, "by_nick"), SchemaChange::Safe{}),
      indexes_case("AllRemovedIsSafe", {}, SchemaChange::Safe{}),
      indexes_case("NewUnique", with_index(b, index_def("by_id", {"id"}, IndexKind::Unique)),
                   migrate("new unique index \"by_id\" needs rebuild/validation")),
      indexes_case("NewNonUniqueIsSafe",
                   with_index(b, index_def("by_id", {"id"}, IndexKind::NonUnique)),
                   SchemaChange::Safe{}),
      indexes_case("RenamedNonUniqueIsSafe",
                   with_index(without_index(b, "by_name"),
                              index_def("name_idx", {"name"}, IndexKind::NonUnique)),
                   SchemaChange::Safe{}),
      indexes_case("RenamedUnique",
                   with_index(without_index(b, "by_nick"),
                              index_def("nick_idx", {"nick"}, IndexKind::Unique)),
                   migrate("new unique index \"nick_idx\" needs rebuild/validation")),
      indexes_case("NameEscapedInReason",
                   with_index(b, index_def("q\"x", {"id"}, IndexKind::Unique)),
                   migrate("new unique index \"q\\\"x\" needs rebuild/validation")),
  };
}

std::vector<ClassifyCase> order_cases() {
  const Fields f = base_fields();
  const Indexes i = base_indexes();
  const Indexes new_unique = with_index(i, index_def("by_id", {"id"}, IndexKind::Unique));
  const Indexes changed = with_index(i, index_def("by_name", {"name"}, IndexKind::Unique));
  const Fields added = with_field(f, def("email", t(Kind::String)));
  return {
      {"RemovalBeatsNewUniqueIndex", f, i, without_field(f, "nick"), new_unique,
       breaking("field removed: [\"nick\"]")},
      {"TypeChangeBeatsNewRequiredField", f, i, with_field(added, def("id", t(Kind::Uint64))), i,
       breaking("type changed for field [\"id\"]")},
      {"NewRequiredFieldBeatsIndexChange", f, i, added, changed,
       migrate("new required field [\"email\"] needs backfill")},
      {"IndexChangeBeatsNewUniqueIndex", f, i, f,
       with_index(changed, index_def("by_id", {"id"}, IndexKind::Unique)),
       breaking("index changed: \"by_name\"")},
      // Within a phase the first definition in list order is named.
      {"FirstRemovedFieldInOrder", f, i, without_field(without_field(f, "address"), "status"), i,
       breaking("field removed: [\"status\"]")},
      {"FirstChangedFieldInOrder", f, i,
       with_field(with_field(f, def("address", t(Kind::String))), def("status", t(Kind::String))),
       i, breaking("type changed for field [\"status\"]")},
      {"FirstNewRequiredFieldInOrder", f, i,
       with_field(with_field(f, def("zeta", t(Kind::Int64))), def("alpha", t(Kind::Int64))), i,
       migrate("new required field [\"zeta\"] needs backfill")},
      {"FirstNewUniqueIndexInOrder", f, i, f,
       with_index(with_index(i, index_def("z_idx", {"id"}, IndexKind::Unique)),
                  index_def("a_idx", {"id"}, IndexKind::Unique)),
       migrate("new unique index \"z_idx\" needs rebuild/validation")},
      // A repeated path or name keeps its later definition.
      {"RepeatedFieldKeepsLaterDefinition", with_field(f, def("email", t(Kind::String))), i,
       [&] {
         Fields n = with_field(f, def("email", t(Kind::Int64)));
         n.push_back(def("email", t(Kind::String)));
         return n;
       }(),
       i, SchemaChange::Safe{}},
      {"RepeatedIndexKeepsLaterDefinition", f, i, f,
       [&] {
         Indexes n = i;
         n.insert(n.begin(), index_def("by_name", {"id"}, IndexKind::Unique));
         return n;
       }(),
       SchemaChange::Safe{}},
  };
}

// A NaN bound rejects nothing whatever its bits, so an unchanged NaN bound is no change.
std::vector<ClassifyCase> float_bound_cases() {
  const Fields b = base_fields();
  const auto score = [](std::vector<Constraint> c) {
    return def("score", t(Kind::Float64), std::move(c));
  };
  const auto nested = [](std::vector<Constraint> c) {
    return def("geo", Type::object({def("lat", t(Kind::Float64), std::move(c))}));
  };
  return {
      fields_case("UnchangedNaNMinIsSafe", with_field(b, score({Constraint::MinF64{kNaN}})),
                  with_field(b, score({Constraint::MinF64{kNaN}})), SchemaChange::Safe{}),
      fields_case("UnchangedNaNMaxIsSafe", with_field(b, score({Constraint::MaxF64{-kNaN}})),
                  with_field(b, score({Constraint::MaxF64{kNaN}})), SchemaChange::Safe{}),
      fields_case("UnchangedNestedNaNIsSafe", with_field(b, nested({Constraint::MinF64{kNaN}})),
                  with_field(b, nested({Constraint::MinF64{kNaN}})), SchemaChange::Safe{}),
      fields_case("NaNToNumberIsChange", with_field(b, score({Constraint::MinF64{kNaN}})),
                  with_field(b, score({Constraint::MinF64{1.0}})),
                  breaking("constraints changed for field [\"score\"]")),
      fields_case("NaNMinToNaNMaxIsChange", with_field(b, score({Constraint::MinF64{kNaN}})),
                  with_field(b, score({Constraint::MaxF64{kNaN}})),
                  breaking("constraints changed for field [\"score\"]")),
      fields_case("SignedZeroBoundsAreEqual", with_field(b, score({Constraint::MinF64{0.0}})),
                  with_field(b, score({Constraint::MinF64{-0.0}})), SchemaChange::Safe{}),
      fields_case("NestedNaNToNumberIsTypeChange",
                  with_field(b, nested({Constraint::MaxF64{kNaN}})),
                  with_field(b, nested({Constraint::MaxF64{2.0}})),
                  breaking("type changed for field [\"geo\"]")),
  };
}

std::string case_name(const ::testing::TestParamInfo<ClassifyCase>& p) { return p.param.name; }

INSTANTIATE_TEST_SUITE_P(Fields, ClassifyTest, ::testing::ValuesIn(field_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(Indexes, ClassifyTest, ::testing::ValuesIn(index_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(PhaseOrder, ClassifyTest, ::testing::ValuesIn(order_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(FloatBounds, ClassifyTest, ::testing::ValuesIn(float_bound_cases()),
                         case_name);

TEST(SchemaChangeTest, ReasonOnlyWhenNotSafe) {
  EXPECT_EQ(SchemaChange().reason(), nullptr);
  EXPECT_TRUE(SchemaChange().is<SchemaChange::Safe>());
  EXPECT_EQ(*breaking("x").reason(), "x");
  EXPECT_EQ(*migrate("y").reason(), "y");
}

}  // namespace
}  // namespace quarn
