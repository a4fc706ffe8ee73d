#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "record/packed_row.h"

namespace quarn {
namespace {

RowValue text(std::string value) { return ScalarValue::String{std::move(value)}; }
RowValue i64(std::int64_t value) { return ScalarValue::Int64{value}; }

Row every_kind() {
  Row inner{{"deep", RowValue::object(Row{{"leaf", i64(-7)}})}, {"n", RowValue::Null{}}};
  return Row{
      {"a_bool", ScalarValue::Bool{true}},
      {"b_i64", i64(std::numeric_limits<std::int64_t>::min())},
      {"c_u64", ScalarValue::Uint64{std::numeric_limits<std::uint64_t>::max()}},
      {"d_f64", ScalarValue::Float64{-0.0}},
      // Longer than one varint byte holds, in both name and value.
      {std::string(200, 'e'), text(std::string(70'000, 'x'))},
      {"f_bytes", ScalarValue::Bytes{Bytes{0, 255, 0}}},
      {"g_uuid", ScalarValue::Uuid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}},
      {"h_ts", ScalarValue::Timestamp{-1}},
      {"i_null", RowValue::Null{}},
      {"j_list", RowValue::List{i64(1), RowValue::List{}, RowValue::object(inner), text("")}},
      {"k_object", RowValue::object(inner)},
      {"l_empty_object", RowValue::object(Row{})},
  };
}

struct PackedCase {
  const char* name;
  Row row;
};

class PackedRowTest : public ::testing::TestWithParam<PackedCase> {};

TEST_P(PackedRowTest, DecodesToTheRowItWasBuiltFrom) {
  const Row& row = GetParam().row;
  const Bytes image = pack_row(row);
  const RowView view(image.data());
  EXPECT_EQ(view.to_row(), row);
  EXPECT_EQ(view.size(), row.size());
  // The image's own extent is all that was appended.
  EXPECT_EQ(view.image().size(), image.size());
  std::vector<std::string> names;
  for (const RowView::Field field : view) names.emplace_back(field.name);
  std::vector<std::string> expected;
  for (const auto& [name, value] : row) expected.push_back(name);
  EXPECT_EQ(names, expected);
  for (const auto& [name, value] : row) {
    const std::optional<ValueView> found = view.find(name);
    ASSERT_TRUE(found.has_value()) << name;
    EXPECT_EQ(found->to_value(), value) << name;
    EXPECT_EQ(found->as_scalar(), value.as_scalar()) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, PackedRowTest,
                         ::testing::Values(PackedCase{"Empty", Row{}},
                                           PackedCase{"OneField", Row{{"id", i64(1)}}},
                                           PackedCase{"EveryKind", every_kind()}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(PackedRowTest, AppendsBehindWhatTheBufferHolds) {
  Bytes out{9, 9};
  append_packed_row(out, Row{{"id", i64(5)}});
  EXPECT_EQ(RowView(out.data() + 2).to_row(), (Row{{"id", i64(5)}}));
  EXPECT_EQ(out[0], 9);
}

TEST(PackedRowTest, FindsOnlyWhatIsThere) {
  const Bytes image = pack_row(every_kind());
  const RowView view(image.data());
  for (const char* absent : {"", "a", "a_bool2", "zzz", "b_i6"}) {
    EXPECT_FALSE(view.find(absent).has_value()) << absent;
  }
}

TEST(PackedRowTest, PathsGoThroughObjectsOnly) {
  const Bytes image = pack_row(every_kind());
  const RowView view(image.data());
  auto path = [](std::vector<std::string> segments) {
    return FieldPath::make(std::move(segments)).value();
  };
  EXPECT_EQ(view.scalar_at(path({"k_object", "deep", "leaf"})),
            ScalarValue(ScalarValue::Int64{-7}));
  EXPECT_EQ(view.scalar_at(path({"b_i64"})),
            ScalarValue(ScalarValue::Int64{std::numeric_limits<std::int64_t>::min()}));
  // A null, a list, an object at the end, or a non-object on the way: no scalar.
  for (const auto& segments : std::vector<std::vector<std::string>>{{"i_null"},
                                                                    {"j_list"},
                                                                    {"k_object"},
                                                                    {"b_i64", "x"},
                                                                    {"j_list", "deep"},
                                                                    {"k_object", "missing"},
                                                                    {"k_object", "n", "x"}}) {
    EXPECT_FALSE(view.scalar_at(path(segments)).has_value()) << segments.size();
  }
  EXPECT_TRUE(view.at_path(path({"k_object", "n"}))->is_null());
}

TEST(PackedRowTest, EqualityIsThatOfDecodedRows) {
  const Row nan{{"f", ScalarValue::Float64{std::nan("")}}};
  const Bytes image = pack_row(nan);
  // Same bytes, but NaN is never equal to itself, as in Row.
  EXPECT_FALSE(RowView(image.data()) == RowView(image.data()));
  const Bytes zero = pack_row(Row{{"f", ScalarValue::Float64{0.0}}});
  EXPECT_TRUE(RowView(zero.data()) == (Row{{"f", ScalarValue::Float64{-0.0}}}));
}

}  // namespace
}  // namespace quarn
