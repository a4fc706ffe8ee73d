#include <cmath>
#include <cstring>
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
  EXPECT_TRUE(is_valid_row_image(image));
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

// An image of count fields, each a name and the value bytes given.
Bytes image_of(const std::vector<std::pair<std::string, Bytes>>& fields) {
  Bytes out;
  packed_build::count(out, fields.size());
  for (const auto& [name, value] : fields) {
    packed_build::name(out, name);
    out.insert(out.end(), value.begin(), value.end());
  }
  return out;
}

Bytes value_bytes(const RowValue& value) {
  Bytes image = pack_row(Row{{"v", value}});
  // The count, the name's length and the name come first.
  return Bytes(image.begin() + 3, image.end());
}

// The value as a list holding it, with the list's length or count off by delta.
Bytes list_with(const RowValue& element, std::int64_t length_delta, std::int64_t count_delta) {
  Bytes out;
  const std::size_t at = packed_build::open_list(out, static_cast<std::size_t>(1 + count_delta));
  const Bytes element_bytes = value_bytes(element);
  out.insert(out.end(), element_bytes.begin(), element_bytes.end());
  packed_build::close_list(out, at);
  out[at] = static_cast<std::uint8_t>(out[at] + length_delta);
  return out;
}

// An Object value around a row's image, its length off by delta.
Bytes object_with(const Bytes& row, std::int64_t length_delta) {
  const std::uint64_t length = row.size() + static_cast<std::uint64_t>(length_delta);
  Bytes out(1 + sizeof length, static_cast<std::uint8_t>(ValueNumber::Object));
  std::memcpy(out.data() + 1, &length, sizeof length);
  out.insert(out.end(), row.begin(), row.end());
  return out;
}

struct ImageCase {
  const char* name;
  Bytes image;
  bool valid;
};

class RowImageCheckTest : public ::testing::TestWithParam<ImageCase> {};

TEST_P(RowImageCheckTest, AcceptsExactlyWellFormedImages) {
  EXPECT_EQ(is_valid_row_image(GetParam().image), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Images, RowImageCheckTest,
    ::testing::Values(
        ImageCase{"Empty", image_of({}), true},
        ImageCase{"NoBytes", {}, false},
        ImageCase{"TrailingByte", [] { Bytes b = image_of({}); b.push_back(0); return b; }(),
                  false},
        ImageCase{"AscendingNames", image_of({{"", {8}}, {"a", {8}}, {"b", {8}}}), true},
        ImageCase{"DescendingNames", image_of({{"b", {8}}, {"a", {8}}}), false},
        ImageCase{"RepeatedName", image_of({{"a", {8}}, {"a", {8}}}), false},
        ImageCase{"UnknownNumber", image_of({{"a", {11}}}), false},
        ImageCase{"BoolTwo", image_of({{"a", {0, 2}}}), false},
        ImageCase{"FixedCutShort", image_of({{"a", {1, 0, 0, 0, 0, 0, 0, 0}}}), false},
        ImageCase{"TextNotUtf8", image_of({{"a", {4, 2, 0xC0, 0x80}}}), false},
        ImageCase{"BytesNeedNoUtf8", image_of({{"a", {5, 2, 0xC0, 0x80}}}), true},
        ImageCase{"RunPastTheEnd", image_of({{"a", {5, 3, 1, 2}}}), false},
        ImageCase{"Leb128NeverEnds", Bytes(12, 0x80), false},
        ImageCase{"List", image_of({{"a", list_with(i64(5), 0, 0)}}), true},
        ImageCase{"ListLengthShort", image_of({{"a", list_with(i64(5), -1, 0)}}), false},
        ImageCase{"ListLengthLong",
                  [] {
                    Bytes b = image_of({{"a", list_with(i64(5), 1, 0)}});
                    b.push_back(8);
                    return b;
                  }(),
                  false},
        ImageCase{"ListCountHigh", image_of({{"a", list_with(i64(5), 0, 1)}}), false},
        ImageCase{"Object", image_of({{"a", object_with(image_of({{"t", {4, 1, 'x'}}}), 0)}}),
                  true},
        ImageCase{"ObjectMemberNotUtf8",
                  image_of({{"a", object_with(image_of({{"t", {4, 2, 0xC0, 0x80}}}), 0)}}), false},
        ImageCase{"ObjectLengthShort",
                  image_of({{"a", object_with(image_of({{"t", {4, 1, 'x'}}}), -1)}}), false}),
    [](const ::testing::TestParamInfo<ImageCase>& param) { return param.param.name; });

TEST(RowImageCheckTest, EveryCutOfAnImageIsRefused) {
  const Bytes image = pack_row(every_kind());
  for (std::size_t size = 0; size < image.size(); size += 97) {
    EXPECT_FALSE(is_valid_row_image(ByteSpan(image).first(size))) << size;
  }
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
