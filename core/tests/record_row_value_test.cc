// Row values: the type-driven encoding, its rejections and bounds, equality and conversions.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "record/row_value.h"
#include "testing/hex.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using record::scalar::Cursor;

const char* kTruncated = "format error: truncated record payload";
const char* kMismatch = "format error: record payload type does not match schema";
const char* kUtf8 = "format error: invalid UTF-8 in record string";

using ::quarn::testing::hex;

const Type kInt64(Type::Kind::Int64);
const Type kString(Type::Kind::String);
const Type kBool(Type::Kind::Bool);

FieldDef member(std::string name, Type type) {
  return FieldDef{FieldPath::make({std::move(name)}).value(), std::move(type), {}};
}

RowValue i64(std::int64_t v) { return ScalarValue::Int64{v}; }
RowValue str(std::string v) { return ScalarValue::String{std::move(v)}; }
RowValue null() { return RowValue::Null{}; }
RowValue list(std::vector<RowValue> items) { return RowValue::List(std::move(items)); }

Result<RowValue> decode_all(const Bytes& bytes, const Type& type) {
  Cursor reader(bytes);
  QUARN_ASSIGN_OR_RETURN(RowValue v, decode_row_value(reader, type));
  if (reader.remaining() != 0) return FormatError::TrailingRecordBytes{};
  return v;
}

struct CodecCase {
  const char* name;
  RowValue value;
  Type type;
  const char* encoded_hex;
};

class RowValueCodecTest : public ::testing::TestWithParam<CodecCase> {};

TEST_P(RowValueCodecTest, EncodesGoldenBytesAndDecodesBack) {
  const CodecCase& c = GetParam();
  Bytes out;
  ASSERT_OK(encode_row_value(out, c.value, c.type));
  EXPECT_EQ(out, hex(c.encoded_hex));
  ASSERT_OK_AND_ASSIGN(const RowValue back, decode_all(hex(c.encoded_hex), c.type));
  EXPECT_EQ(back, c.value);
}

const Type kPoint = Type::object({member("y", kInt64), member("x", kString)});

INSTANTIATE_TEST_SUITE_P(
    ByType, RowValueCodecTest,
    ::testing::Values(
        CodecCase{"Primitive", i64(5), kInt64, "01 05 00 00 00 00 00 00 00"},
        CodecCase{"OptionalNull", null(), Type::optional(kInt64), "00"},
        CodecCase{"OptionalValue", i64(5), Type::optional(kInt64), "01 01 05 00 00 00 00 00 00 00"},
        CodecCase{"DoubleOptionalNullIsOneByte", null(), Type::optional(Type::optional(kInt64)),
                  "00"},
        CodecCase{"DoubleOptionalValueTwoFlags", i64(5), Type::optional(Type::optional(kInt64)),
                  "01 01 01 05 00 00 00 00 00 00 00"},
        CodecCase{"EmptyList", list({}), Type::list(kInt64), "00 00 00 00"},
        CodecCase{"ListOfBool", list({ScalarValue::Bool{true}, ScalarValue::Bool{false}}),
                  Type::list(kBool), "02 00 00 00 00 01 00 00"},
        CodecCase{"ListOfOptionalString", list({null(), str("a")}),
                  Type::list(Type::optional(kString)), "02 00 00 00 00 01 04 01 00 00 00 61"},
        CodecCase{"ListOfLists", list({list({}), list({i64(1)})}), Type::list(Type::list(kInt64)),
                  "02 00 00 00 00 00 00 00 01 00 00 00 01 01 00 00 00 00 00 00 00"},
        CodecCase{"ObjectInTypeOrderNotNameOrder",
                  RowValue::object({{"x", str("a")}, {"y", i64(2)}}), kPoint,
                  "01 02 00 00 00 00 00 00 00 04 01 00 00 00 61"},
        CodecCase{"NestedObject",
                  RowValue::object({{"p", RowValue::object({{"x", str("")}, {"y", i64(-1)}})}}),
                  Type::object({member("p", kPoint)}), "01 ff ff ff ff ff ff ff ff 04 00 00 00 00"},
        CodecCase{"EmptyObjectIsZeroBytes", RowValue::object({}), Type::object({}), ""},
        CodecCase{"EnumNotAmongVariants", str("zzz"), Type::enumeration({"a", "b"}),
                  "04 03 00 00 00 7a 7a 7a"},
        CodecCase{"OptionalEnum", str("a"), Type::optional(Type::enumeration({"a"})),
                  "01 04 01 00 00 00 61"}),
    [](const ::testing::TestParamInfo<CodecCase>& p) { return std::string(p.param.name); });

struct EncodeFailCase {
  const char* name;
  RowValue value;
  Type type;
  const char* error;
};

class EncodeRowValueFailTest : public ::testing::TestWithParam<EncodeFailCase> {};

TEST_P(EncodeRowValueFailTest, FailsWithExactError) {
  Bytes out;
  EXPECT_THAT(encode_row_value(out, GetParam().value, GetParam().type),
              ErrorRenders(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodeRowValueFailTest,
    ::testing::Values(
        EncodeFailCase{"NullUnderPrimitive", null(), kInt64, kMismatch},
        EncodeFailCase{"NullUnderList", null(), Type::list(kInt64), kMismatch},
        EncodeFailCase{"NullUnderObject", null(), Type::object({}), kMismatch},
        EncodeFailCase{"NullUnderEnum", null(), Type::enumeration({"a"}), kMismatch},
        EncodeFailCase{"OtherPrimitiveKind", i64(5), Type(Type::Kind::Uint64), kMismatch},
        EncodeFailCase{"OptionalOfOtherKind", i64(5), Type::optional(kString), kMismatch},
        EncodeFailCase{"ListUnderPrimitive", list({}), kInt64, kMismatch},
        EncodeFailCase{"ObjectUnderPrimitive", RowValue::object({}), kInt64, kMismatch},
        EncodeFailCase{"ScalarUnderList", i64(1), Type::list(kInt64), kMismatch},
        EncodeFailCase{"ObjectUnderList", RowValue::object({}), Type::list(kInt64), kMismatch},
        EncodeFailCase{"ListElementOfOtherKind", list({i64(1), str("x")}), Type::list(kInt64),
                       kMismatch},
        EncodeFailCase{"ScalarUnderObject", i64(1), kPoint, kMismatch},
        EncodeFailCase{"IntUnderEnum", i64(1), Type::enumeration({"a"}), kMismatch},
        EncodeFailCase{"BytesUnderEnum", RowValue(ScalarValue::Bytes{{0x61}}),
                       Type::enumeration({"a"}), kMismatch},
        EncodeFailCase{"ObjectLacksMember", RowValue::object({{"y", i64(1)}}), kPoint, kTruncated},
        EncodeFailCase{"ObjectLacksOptionalMember", RowValue::object({}),
                       Type::object({member("o", Type::optional(kInt64))}), kTruncated},
        EncodeFailCase{"ObjectMemberOfOtherKind", RowValue::object({{"x", i64(1)}, {"y", i64(1)}}),
                       kPoint, kMismatch}),
    [](const ::testing::TestParamInfo<EncodeFailCase>& p) { return std::string(p.param.name); });

TEST(EncodeRowValueTest, ExtraObjectKeysAreDropped) {
  const RowValue value = RowValue::object({{"x", str("a")}, {"y", i64(2)}, {"z", i64(3)}});
  Bytes out;
  ASSERT_OK(encode_row_value(out, value, kPoint));
  ASSERT_OK_AND_ASSIGN(const RowValue back, decode_all(out, kPoint));
  EXPECT_EQ(back, RowValue::object({{"x", str("a")}, {"y", i64(2)}}));
  EXPECT_NE(back, value);
}

struct DecodeFailCase {
  const char* name;
  const char* input_hex;
  Type type;
  const char* error;
};

class DecodeRowValueFailTest : public ::testing::TestWithParam<DecodeFailCase> {};

TEST_P(DecodeRowValueFailTest, FailsWithExactError) {
  const Bytes input = hex(GetParam().input_hex);
  Cursor reader(input);
  EXPECT_THAT(decode_row_value(reader, GetParam().type), ErrorRenders(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeRowValueFailTest,
    ::testing::Values(
        DecodeFailCase{"OptionalNoFlag", "", Type::optional(kInt64), kTruncated},
        DecodeFailCase{"OptionalFlagTwo", "02 01 05 00 00 00 00 00 00 00", Type::optional(kInt64),
                       kMismatch},
        DecodeFailCase{"InnerOptionalFlagTwo", "01 02", Type::optional(Type::optional(kInt64)),
                       kMismatch},
        DecodeFailCase{"OptionalValueCut", "01 01 05 00", Type::optional(kInt64), kTruncated},
        DecodeFailCase{"ListCountCut", "02 00 00", Type::list(kInt64), kTruncated},
        DecodeFailCase{"ListMaxCountOneElement", "ff ff ff ff 01 05 00 00 00 00 00 00 00",
                       Type::list(kInt64), kTruncated},
        DecodeFailCase{"ListOneElementShort", "02 00 00 00 01 05 00 00 00 00 00 00 00",
                       Type::list(kInt64), kTruncated},
        DecodeFailCase{"ListElementOtherKind", "01 00 00 00 02 05 00 00 00 00 00 00 00",
                       Type::list(kInt64), kMismatch},
        DecodeFailCase{"NestedListMaxCount", "01 00 00 00 ff ff ff ff",
                       Type::list(Type::list(kBool)), kTruncated},
        DecodeFailCase{"ObjectSecondMemberMissing", "01 02 00 00 00 00 00 00 00", kPoint,
                       kTruncated},
        DecodeFailCase{"ObjectMemberOtherKind", "04 00 00 00 00", kPoint, kMismatch},
        DecodeFailCase{"EnumNeedsStringKind", "05 01 00 00 00 61", Type::enumeration({"a"}),
                       kMismatch},
        DecodeFailCase{"EnumNotUtf8", "04 01 00 00 00 ff", Type::enumeration({"a"}), kUtf8},
        DecodeFailCase{"EnumEmpty", "", Type::enumeration({"a"}), kTruncated},
        DecodeFailCase{"ZeroByteElementsMaxCount", "ff ff ff ff", Type::list(Type::object({})),
                       kTruncated},
        DecodeFailCase{"ZeroByteElementsJustAboveCap", "01 00 10 00",
                       Type::list(Type::object({member("e", Type::object({}))})), kTruncated}),
    [](const ::testing::TestParamInfo<DecodeFailCase>& p) { return std::string(p.param.name); });

TEST(DecodeRowValueTest, LaterMemberWithSameFirstSegmentWins) {
  const Type type = Type::object({member("a", kInt64), member("a", kString)});
  ASSERT_OK_AND_ASSIGN(const RowValue v,
                       decode_all(hex("01 07 00 00 00 00 00 00 00 04 01 00 00 00 62"), type));
  EXPECT_EQ(v, RowValue::object({{"a", str("b")}}));
}

TEST(DecodeRowValueTest, ListLongerThanReserveCapStillDecodes) {
  // The reservation cap bounds room taken up front, not the length of a list.
  const std::uint32_t n = static_cast<std::uint32_t>(kMaxListReserve) + 3;
  Bytes input;
  ByteWriter(input).put_u32(n);
  input.resize(input.size() + n, 0x00);  // n null flags
  ASSERT_OK_AND_ASSIGN(const RowValue v, decode_all(input, Type::list(Type::optional(kInt64))));
  ASSERT_NE(v.as_list(), nullptr);
  EXPECT_EQ(v.as_list()->size(), n);
  EXPECT_TRUE(v.as_list()->back().is_null());
}

// Elements that encode in zero bytes are not bounded by the input size: a four-byte count
// could otherwise make billions of them. One value may hold kMaxZeroByteListElements in all.
TEST(ZeroByteListTest, CapIsSharedByNestedLists) {
  const Type empty = Type::object({});
  const Type nested = Type::list(Type::list(empty));
  const std::uint32_t half = static_cast<std::uint32_t>(kMaxZeroByteListElements / 2);

  Bytes at_cap;
  ByteWriter w(at_cap);
  w.put_u32(2);
  w.put_u32(half);
  w.put_u32(half);
  ASSERT_OK_AND_ASSIGN(const RowValue v, decode_all(at_cap, nested));
  ASSERT_EQ(v.as_list()->size(), 2u);
  EXPECT_EQ((*v.as_list())[1].as_list()->size(), half);
  EXPECT_EQ((*v.as_list())[1].as_list()->front(), RowValue::object({}));

  Bytes over_cap;
  ByteWriter o(over_cap);
  o.put_u32(3);
  o.put_u32(half);
  o.put_u32(half);
  o.put_u32(1);
  Cursor reader(over_cap);
  EXPECT_THAT(decode_row_value(reader, nested), ErrorRenders(kTruncated));
}

TEST(ZeroByteListTest, EncoderRefusesWhatTheDecoderWould) {
  const Type type = Type::list(Type::object({}));
  const RowValue at_cap = RowValue::List(kMaxZeroByteListElements, RowValue::object({}));
  Bytes out;
  ASSERT_OK(encode_row_value(out, at_cap, type));
  EXPECT_EQ(out, hex("00 00 10 00"));
  ASSERT_OK_AND_ASSIGN(const RowValue back, decode_all(out, type));
  EXPECT_EQ(back.as_list()->size(), kMaxZeroByteListElements);

  const RowValue over = RowValue::List(kMaxZeroByteListElements + 1, RowValue::object({}));
  Bytes refused;
  EXPECT_THAT(encode_row_value(refused, over, type), ErrorRenders(kMismatch));
  EXPECT_TRUE(refused.empty());
}

TEST(RowValueTest, ScalarConversions) {
  EXPECT_THAT(null().into_scalar(), ErrorRenders(kMismatch));
  EXPECT_THAT(list({}).into_scalar(), ErrorRenders(kMismatch));
  EXPECT_THAT(RowValue::object({}).into_scalar(), ErrorRenders(kMismatch));
  EXPECT_FALSE(null().as_scalar().has_value());
  EXPECT_FALSE(list({i64(1)}).as_scalar().has_value());
  EXPECT_FALSE(RowValue::object({}).as_scalar().has_value());

  const ScalarValue ts = ScalarValue::Timestamp{-7};
  const RowValue v(ts);
  EXPECT_EQ(v.number(), 7);
  EXPECT_TRUE(v.is_primitive());
  EXPECT_THAT(v.into_scalar(), ::quarn::testing::IsOkAndHolds(ts));
  ASSERT_TRUE(v.as_scalar().has_value());
  EXPECT_EQ(*v.as_scalar(), ts);
  EXPECT_EQ(*str("x").as_scalar(), ScalarValue(ScalarValue::String{"x"}));
}

TEST(RowValueTest, NumbersAreFrozen) {
  EXPECT_EQ(RowValue().number(), 8);
  EXPECT_TRUE(RowValue().is_null());
  EXPECT_EQ(list({}).number(), 9);
  EXPECT_EQ(RowValue::object({}).number(), 10);
  EXPECT_FALSE(RowValue::object({}).is_primitive());
  EXPECT_EQ(RowValue(ScalarValue::Bool{false}).number(), 0);
}

TEST(RowValueTest, EqualityIsStructural) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(RowValue(ScalarValue::Float64{0.0}), RowValue(ScalarValue::Float64{-0.0}));
  const RowValue nan_list = list({RowValue(ScalarValue::Float64{nan})});
  EXPECT_NE(nan_list, nan_list);
  EXPECT_NE(i64(5), RowValue(ScalarValue::Timestamp{5}));
  EXPECT_NE(null(), list({}));
  EXPECT_NE(list({}), RowValue::object({}));
  EXPECT_NE(list({i64(1)}), list({i64(1), i64(1)}));
  // Objects compare their rows, not their pointers.
  const RowValue a = RowValue::object({{"k", list({str("v")})}});
  const RowValue b = RowValue::object({{"k", list({str("v")})}});
  EXPECT_NE(a.as_object(), b.as_object());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, RowValue::object({{"k", list({str("w")})}}));
  EXPECT_NE(a, RowValue::object({{"j", list({str("v")})}}));
  EXPECT_EQ(null().as_object(), nullptr);
}

TEST(RowTest, IteratesInUnsignedByteOrderOfNames) {
  Row row;
  for (const char* name : {"b", "\xc3\xa9", "ab", "a", "Z", "\x7f"}) row[name] = null();
  std::vector<std::string> names;
  for (const auto& [name, value] : row) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Z", "a", "ab", "b", "\x7f", "\xc3\xa9"}));
}

TEST(NonPkDefsTest, KeepsTopLevelFieldsOtherThanPrimaryInOrder) {
  const std::vector<FieldDef> fields = {
      member("id", kInt64), member("name", kString),
      FieldDef{FieldPath::make({"address", "city"}).value(), kString, {}}, member("email", kString),
      member("Id", kInt64)};
  const std::vector<const FieldDef*> kept = non_pk_defs_in_order(fields, "id");
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0], &fields[1]);
  EXPECT_EQ(kept[1], &fields[3]);
  EXPECT_EQ(kept[2], &fields[4]);  // names compare byte for byte, case included
}

// Seeded random types with matching values: encoding then decoding gives an equal value.
class RandomValues {
 public:
  explicit RandomValues(std::uint32_t seed) : rng_(seed) {}

  Type type(int depth) {
    const int kind = pick(depth > 0 ? 11 : 7);
    if (kind <= 7) return Type(static_cast<Type::Kind>(kind));
    switch (kind) {
      case 8:
        return Type::optional(type(depth - 1));
      case 9:
        return Type::list(type(depth - 1));
      case 10: {
        std::vector<FieldDef> members;
        const int n = pick(3);
        for (int i = 0; i < n; ++i)
          members.push_back(member("m" + std::to_string(i), type(depth - 1)));
        return Type::object(std::move(members));
      }
      default:
        return Type::enumeration({"a", "b"});
    }
  }

  RowValue value(const Type& t) {
    switch (t.kind()) {
      case Type::Kind::Bool:
        return ScalarValue::Bool{pick(1) == 1};
      case Type::Kind::Int64:
        return ScalarValue::Int64{static_cast<std::int64_t>(rng_())};
      case Type::Kind::Uint64:
        return ScalarValue::Uint64{rng_()};
      case Type::Kind::Float64: {
        // Any bit pattern but NaN, which never equals itself.
        double d = std::bit_cast<double>(rng_());
        return ScalarValue::Float64{std::isnan(d) ? 0.5 : d};
      }
      case Type::Kind::String:
        return ScalarValue::String{text()};
      case Type::Kind::Bytes: {
        Bytes b(static_cast<std::size_t>(pick(5)));
        for (auto& x : b) x = static_cast<std::uint8_t>(rng_());
        return ScalarValue::Bytes{std::move(b)};
      }
      case Type::Kind::Uuid: {
        ScalarValue::Uuid u{};
        for (auto& x : u.value) x = static_cast<std::uint8_t>(rng_());
        return u;
      }
      case Type::Kind::Timestamp:
        return ScalarValue::Timestamp{static_cast<std::int64_t>(rng_())};
      case Type::Kind::Optional:
        return pick(2) == 0 ? null() : value(t.inner());
      case Type::Kind::List: {
        RowValue::List items;
        const int n = pick(4);
        for (int i = 0; i < n; ++i) items.push_back(value(t.inner()));
        return items;
      }
      case Type::Kind::Object: {
        Row row;
        for (const FieldDef& m : t.members()) row[m.path.first()] = value(m.type);
        return RowValue::object(std::move(row));
      }
      case Type::Kind::Enum:
        return str(pick(2) == 0 ? "a" : "not a variant");
    }
    return null();
  }

 private:
  int pick(int max_inclusive) { return std::uniform_int_distribution<int>(0, max_inclusive)(rng_); }
  std::string text() {
    static const char* pieces[] = {"a", "\"", "\n", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                   ""};
    std::string s;
    const int n = pick(4);
    for (int i = 0; i < n; ++i) s += pieces[pick(6)];
    return s;
  }
  std::mt19937_64 rng_;
};

TEST(RowValuePropertyTest, EncodeThenDecodeGivesEqualValue) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomValues gen(seed);
    const Type type = gen.type(4);
    const RowValue value = gen.value(type);
    Bytes out = {0xaa};
    ASSERT_OK(encode_row_value(out, value, type));
    Cursor reader(out, 1);
    ASSERT_OK_AND_ASSIGN(const RowValue back, decode_row_value(reader, type));
    EXPECT_EQ(back, value);
    EXPECT_EQ(reader.remaining(), 0u);
    // Every strict prefix is refused, never misread as a shorter value.
    if (out.size() > 1) {
      const Bytes cut(out.begin(), out.end() - 1);
      Cursor short_reader(cut, 1);
      EXPECT_THAT(decode_row_value(short_reader, type), ErrorRenders(kTruncated));
    }
  }
}

}  // namespace
}  // namespace quarn
