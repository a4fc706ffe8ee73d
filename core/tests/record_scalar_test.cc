// Scalar values: key bytes, tagged encoding and its rejections, the cursor, equality and debug.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "record/scalar.h"
#include "testing/hex.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using record::scalar::Cursor;

using ::quarn::testing::hex;

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

ScalarValue::Uuid uuid_0_to_15() {
  ScalarValue::Uuid u{};
  for (std::uint8_t i = 0; i < 16; ++i) u.value[i] = i;
  return u;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const char* kTruncated = "format error: truncated record payload";
const char* kMismatch = "format error: record payload type does not match schema";
const char* kUtf8 = "format error: invalid UTF-8 in record string";
const char* kUnsupported = "format error: unsupported type in record payload v1";

struct KeyCase {
  const char* name;
  ScalarValue value;
  const char* key_hex;
};

class CanonicalKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(CanonicalKeyTest, Bytes) {
  EXPECT_EQ(GetParam().value.canonical_key_bytes(), hex(GetParam().key_hex));
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, CanonicalKeyTest,
    ::testing::Values(
        KeyCase{"BoolFalse", ScalarValue::Bool{false}, "00 00"},
        KeyCase{"BoolTrue", ScalarValue::Bool{true}, "00 01"},
        KeyCase{"Int64Five", ScalarValue::Int64{5}, "05 00 00 00 00 00 00 00"},
        KeyCase{"Uint64FiveSameAsInt64", ScalarValue::Uint64{5}, "05 00 00 00 00 00 00 00"},
        KeyCase{"TimestampFiveSameAsInt64", ScalarValue::Timestamp{5}, "05 00 00 00 00 00 00 00"},
        KeyCase{"Int64MinusOne", ScalarValue::Int64{-1}, "ff ff ff ff ff ff ff ff"},
        KeyCase{"Int64LittleEndian", ScalarValue::Int64{0x0102030405060708},
                "08 07 06 05 04 03 02 01"},
        KeyCase{"Float64Zero", ScalarValue::Float64{0.0}, "00 00 00 00 00 00 00 00"},
        KeyCase{"Float64NegativeZero", ScalarValue::Float64{-0.0}, "00 00 00 00 00 00 00 80"},
        KeyCase{"Float64One", ScalarValue::Float64{1.0}, "00 00 00 00 00 00 f0 3f"},
        KeyCase{"StringEmpty", ScalarValue::String{""}, ""},
        KeyCase{"StringRawNoLength", ScalarValue::String{"ab"}, "61 62"},
        KeyCase{"BytesRawSameAsBoolTrue", ScalarValue::Bytes{{0x00, 0x01}}, "00 01"},
        KeyCase{"Uuid", uuid_0_to_15(), "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"}),
    [](const ::testing::TestParamInfo<KeyCase>& p) { return std::string(p.param.name); });

TEST(ScalarValueTest, EqualityByKindAndIeeePayload) {
  EXPECT_EQ(ScalarValue(ScalarValue::Float64{0.0}), ScalarValue(ScalarValue::Float64{-0.0}));
  EXPECT_NE(ScalarValue(ScalarValue::Float64{0.0}).canonical_key_bytes(),
            ScalarValue(ScalarValue::Float64{-0.0}).canonical_key_bytes());
  const ScalarValue nan = ScalarValue::Float64{kNaN};
  EXPECT_FALSE(nan == nan);
  // Same key bytes, different kinds: unequal.
  EXPECT_NE(ScalarValue(ScalarValue::Int64{5}), ScalarValue(ScalarValue::Uint64{5}));
  EXPECT_NE(ScalarValue(ScalarValue::Int64{5}), ScalarValue(ScalarValue::Timestamp{5}));
  EXPECT_NE(ScalarValue(ScalarValue::String{"a"}), ScalarValue(ScalarValue::Bytes{{'a'}}));
  EXPECT_EQ(ScalarValue(ScalarValue::Bytes{{1, 2}}), ScalarValue(ScalarValue::Bytes{{1, 2}}));
  EXPECT_NE(ScalarValue(ScalarValue::Bytes{{1, 2}}), ScalarValue(ScalarValue::Bytes{{1, 2, 0}}));
  ScalarValue::Uuid other = uuid_0_to_15();
  other.value[15] = 0;
  EXPECT_EQ(ScalarValue(uuid_0_to_15()), ScalarValue(uuid_0_to_15()));
  EXPECT_NE(ScalarValue(uuid_0_to_15()), ScalarValue(other));
  EXPECT_EQ(ScalarValue(ScalarValue::Bool{true}).kind(), 0);
  EXPECT_EQ(ScalarValue(ScalarValue::Timestamp{0}).kind(), 7);
}

struct TaggedCase {
  const char* name;
  ScalarValue value;
  const char* tagged_hex;
};

class TaggedScalarTest : public ::testing::TestWithParam<TaggedCase> {};

Type type_of(const ScalarValue& v) { return Type(static_cast<Type::Kind>(v.kind())); }

TEST_P(TaggedScalarTest, EncodesGoldenBytesAndDecodesBack) {
  const TaggedCase& c = GetParam();
  Bytes out = {0xee};  // appends, never overwrites
  ASSERT_OK(encode_tagged_scalar(out, c.value, type_of(c.value)));
  EXPECT_EQ(out, concat({0xee}, hex(c.tagged_hex)));

  const Bytes golden = hex(c.tagged_hex);
  Cursor reader(golden);
  ASSERT_OK_AND_ASSIGN(const ScalarValue back, decode_tagged_scalar(reader, type_of(c.value)));
  EXPECT_EQ(back, c.value);
  EXPECT_EQ(reader.position(), golden.size());
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, TaggedScalarTest,
    ::testing::Values(
        TaggedCase{"BoolTrue", ScalarValue::Bool{true}, "00 01"},
        TaggedCase{"BoolFalse", ScalarValue::Bool{false}, "00 00"},
        TaggedCase{"Int64", ScalarValue::Int64{-2}, "01 fe ff ff ff ff ff ff ff"},
        TaggedCase{"Uint64", ScalarValue::Uint64{0x0102}, "02 02 01 00 00 00 00 00 00"},
        TaggedCase{"Float64", ScalarValue::Float64{-2.0}, "03 00 00 00 00 00 00 00 c0"},
        TaggedCase{"String", ScalarValue::String{"h\xc3\xa9"}, "04 03 00 00 00 68 c3 a9"},
        TaggedCase{"StringEmpty", ScalarValue::String{""}, "04 00 00 00 00"},
        TaggedCase{"Bytes", ScalarValue::Bytes{{0xff, 0x00}}, "05 02 00 00 00 ff 00"},
        TaggedCase{"Uuid", uuid_0_to_15(), "06 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"},
        TaggedCase{"Timestamp", ScalarValue::Timestamp{42}, "07 2a 00 00 00 00 00 00 00"}),
    [](const ::testing::TestParamInfo<TaggedCase>& p) { return std::string(p.param.name); });

TEST(EncodeTaggedScalarTest, KindMustMatchTypeAndNothingIsWritten) {
  const ScalarValue five = ScalarValue::Int64{5};
  const std::vector<Type> wrong = {Type(Type::Kind::Uint64),
                                   Type(Type::Kind::Timestamp),
                                   Type::optional(Type(Type::Kind::Int64)),
                                   Type::list(Type(Type::Kind::Int64)),
                                   Type::object({}),
                                   Type::enumeration({"a"})};
  for (const Type& type : wrong) {
    Bytes out;
    EXPECT_THAT(encode_tagged_scalar(out, five, type), ErrorRenders(kMismatch));
    EXPECT_TRUE(out.empty());
  }
  Bytes out;
  EXPECT_THAT(encode_tagged_scalar(out, ScalarValue::String{"a"}, Type::enumeration({"a"})),
              ErrorRenders(kMismatch));
}

// A length field is 32 bits; a longer text or byte string must be refused, not wrapped.
TEST(EncodeTaggedScalarTest, LengthBeyond32BitsIsRefused) {
  EXPECT_OK(check_encoded_length(0));
  EXPECT_OK(check_encoded_length(0xFFFF'FFFFu));
  EXPECT_THAT(check_encoded_length(std::size_t{0x1'0000'0000}), ErrorRenders(kMismatch));
  EXPECT_THAT(check_encoded_length(std::numeric_limits<std::size_t>::max()),
              ErrorRenders(kMismatch));
}

struct DecodeFailCase {
  const char* name;
  const char* input_hex;
  Type type;
  const char* error;
  std::size_t position_after;
};

class DecodeTaggedScalarFailTest : public ::testing::TestWithParam<DecodeFailCase> {};

TEST_P(DecodeTaggedScalarFailTest, FailsWithExactError) {
  const DecodeFailCase& c = GetParam();
  const Bytes input = hex(c.input_hex);
  Cursor reader(input);
  EXPECT_THAT(decode_tagged_scalar(reader, c.type), ErrorRenders(c.error));
  EXPECT_EQ(reader.position(), c.position_after);
}

const Type kInt64(Type::Kind::Int64);
const Type kString(Type::Kind::String);

// In check order: no byte, then the type, then the kind, then the payload.
INSTANTIATE_TEST_SUITE_P(
    InCheckOrder, DecodeTaggedScalarFailTest,
    ::testing::Values(
        DecodeFailCase{"EmptyInput", "", kInt64, kTruncated, 0},
        DecodeFailCase{"EmptyInputCompositeType", "", Type::list(kInt64), kTruncated, 0},
        DecodeFailCase{"ListTypeAnyKind", "01 05 00 00 00 00 00 00 00", Type::list(kInt64),
                       kUnsupported, 1},
        DecodeFailCase{"OptionalTypeMatchingKind", "08 00", Type::optional(kInt64), kUnsupported,
                       1},
        DecodeFailCase{"ObjectType", "0a", Type::object({}), kUnsupported, 1},
        DecodeFailCase{"EnumType", "04 00 00 00 00", Type::enumeration({"a"}), kUnsupported, 1},
        DecodeFailCase{"KindUint64ForInt64", "02 05 00 00 00 00 00 00 00", kInt64, kMismatch, 1},
        DecodeFailCase{"KindOutOfRange", "ff", kInt64, kMismatch, 1},
        DecodeFailCase{"KindMismatchBeforeTruncation", "02", kInt64, kMismatch, 1},
        DecodeFailCase{"Int64SevenBytes", "01 00 00 00 00 00 00 00", kInt64, kTruncated, 1},
        DecodeFailCase{"BoolNoPayload", "00", Type(Type::Kind::Bool), kTruncated, 1},
        DecodeFailCase{"StringLengthCut", "04 0a 00", kString, kTruncated, 1},
        DecodeFailCase{"StringLength10With3Left", "04 0a 00 00 00 61 62 63", kString, kTruncated,
                       5},
        DecodeFailCase{"StringMaxLengthFewBytes", "04 ff ff ff ff 61", kString, kTruncated, 5},
        DecodeFailCase{"StringNotUtf8", "04 0a 00 00 00 ff fe fd fc fb fa f9 f8 f7 f6", kString,
                       kUtf8, 15},
        DecodeFailCase{"StringOverlongSlash", "04 02 00 00 00 c0 af", kString, kUtf8, 7},
        DecodeFailCase{"StringSurrogate", "04 03 00 00 00 ed a0 80", kString, kUtf8, 8},
        DecodeFailCase{"StringAboveMaxCodePoint", "04 04 00 00 00 f4 90 80 80", kString, kUtf8, 9},
        DecodeFailCase{"StringCutSequence", "04 02 00 00 00 e2 82", kString, kUtf8, 7},
        DecodeFailCase{"BytesLengthPastEnd", "05 03 00 00 00 01 02", Type(Type::Kind::Bytes),
                       kTruncated, 5},
        DecodeFailCase{"Uuid15Bytes", "06 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e",
                       Type(Type::Kind::Uuid), kTruncated, 1}),
    [](const ::testing::TestParamInfo<DecodeFailCase>& p) { return std::string(p.param.name); });

TEST(DecodeTaggedScalarTest, AnyNonZeroBoolByteIsTrue) {
  const Bytes input = hex("00 07 00 00");
  Cursor reader(input);
  ASSERT_OK_AND_ASSIGN(const ScalarValue a, decode_tagged_scalar(reader, Type(Type::Kind::Bool)));
  EXPECT_EQ(a, ScalarValue(ScalarValue::Bool{true}));
  ASSERT_OK_AND_ASSIGN(const ScalarValue b, decode_tagged_scalar(reader, Type(Type::Kind::Bool)));
  EXPECT_EQ(b, ScalarValue(ScalarValue::Bool{false}));
  EXPECT_EQ(reader.remaining(), 0u);
}

TEST(DecodeTaggedScalarTest, AcceptsEveryUtf8Width) {
  // "a", U+00E9, U+20AC, U+1F600, and the largest code point U+10FFFF.
  const Bytes input = hex("04 0e 00 00 00 61 c3 a9 e2 82 ac f0 9f 98 80 f4 8f bf bf");
  Cursor reader(input);
  ASSERT_OK_AND_ASSIGN(const ScalarValue v, decode_tagged_scalar(reader, kString));
  EXPECT_EQ(
      v, ScalarValue(ScalarValue::String{"a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"}));
}

TEST(CursorTest, ReadsLittleEndianAndFailedReadsKeepPosition) {
  const Bytes input = hex("01 02 03 04 05 06 07 08 09 0a 0b");
  Cursor reader(input);
  ASSERT_OK_AND_ASSIGN(const std::uint8_t a, reader.take_u8());
  EXPECT_EQ(a, 0x01);
  ASSERT_OK_AND_ASSIGN(const std::uint16_t b, reader.take_u16());
  EXPECT_EQ(b, 0x0302);
  ASSERT_OK_AND_ASSIGN(const std::uint32_t c, reader.take_u32());
  EXPECT_EQ(c, 0x07060504u);
  EXPECT_EQ(reader.position(), 7u);

  EXPECT_THAT(reader.take_u64(), ErrorRenders(kTruncated));
  EXPECT_THAT(reader.take_i64(), ErrorRenders(kTruncated));
  EXPECT_THAT(reader.take_bytes(5), ErrorRenders(kTruncated));
  // A forged huge length fails before anything is allocated.
  EXPECT_THAT(reader.take_bytes(std::numeric_limits<std::size_t>::max()), ErrorRenders(kTruncated));
  EXPECT_EQ(reader.position(), 7u);
  ASSERT_OK_AND_ASSIGN(const Bytes rest, reader.take_bytes(4));
  EXPECT_EQ(rest, hex("08 09 0a 0b"));
  EXPECT_THAT(reader.take_u8(), ErrorRenders(kTruncated));

  const Bytes minus_one = hex("ff ff ff ff ff ff ff ff");
  Cursor signed_reader(minus_one);
  EXPECT_THAT(signed_reader.take_i64(), ::quarn::testing::IsOkAndHolds(-1));
}

TEST(CursorTest, PositionBeyondEndHasNothingRemaining) {
  const Bytes input = hex("01 02");
  Cursor reader(input, 5);
  EXPECT_EQ(reader.remaining(), 0u);
  EXPECT_THAT(reader.take_u8(), ErrorRenders(kTruncated));
  EXPECT_THAT(reader.take_bytes(1), ErrorRenders(kTruncated));
  EXPECT_EQ(reader.position(), 5u);
}

TEST(CursorTest, LengthPrefixedReadTakesAllOrNothing) {
  // A length of 3 with only two bytes behind it: the read consumes nothing, not even the length.
  const Bytes cut = hex("03 00 00 00 0a 0b");
  Cursor reader(cut);
  EXPECT_THAT(reader.take_len_prefixed(), ErrorRenders(kTruncated));
  EXPECT_EQ(reader.position(), 0u);
  const Bytes whole = hex("02 00 00 00 0a 0b 01 00");
  Cursor again(whole);
  ASSERT_OK_AND_ASSIGN(const ByteSpan body, again.take_len_prefixed());
  EXPECT_EQ(Bytes(body.begin(), body.end()), hex("0a 0b"));
  // Two bytes left: too few for a length.
  EXPECT_THAT(again.take_len_prefixed(), ErrorRenders(kTruncated));
  EXPECT_EQ(again.position(), 6u);
}

struct DebugCase {
  const char* name;
  ScalarValue value;
  const char* text;
};

class ScalarDebugTest : public ::testing::TestWithParam<DebugCase> {};

TEST_P(ScalarDebugTest, RendersExactText) { EXPECT_EQ(GetParam().value.debug(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    EachKind, ScalarDebugTest,
    ::testing::Values(DebugCase{"BoolTrue", ScalarValue::Bool{true}, "Bool(true)"},
                      DebugCase{"BoolFalse", ScalarValue::Bool{false}, "Bool(false)"},
                      DebugCase{"Int64Negative", ScalarValue::Int64{-5}, "Int64(-5)"},
                      DebugCase{"Int64Min",
                                ScalarValue::Int64{std::numeric_limits<std::int64_t>::min()},
                                "Int64(-9223372036854775808)"},
                      DebugCase{"Timestamp", ScalarValue::Timestamp{42}, "Timestamp(42)"},
                      DebugCase{"Uint64Max",
                                ScalarValue::Uint64{std::numeric_limits<std::uint64_t>::max()},
                                "Uint64(18446744073709551615)"},
                      DebugCase{"Float64", ScalarValue::Float64{1.5}, "Float64(1.5)"},
                      DebugCase{"String", ScalarValue::String{"x"}, "String(\"x\")"},
                      DebugCase{"StringQuote", ScalarValue::String{"a\"b"}, "String(\"a\\\"b\")"},
                      DebugCase{"StringLineFeed", ScalarValue::String{"a\nb"}, "String(\"a\\nb\")"},
                      DebugCase{"Bytes", ScalarValue::Bytes{{1, 2, 255}}, "Bytes([1, 2, 255])"},
                      DebugCase{"BytesEmpty", ScalarValue::Bytes{{}}, "Bytes([])"},
                      DebugCase{"Uuid", uuid_0_to_15(),
                                "Uuid([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15])"}),
    [](const ::testing::TestParamInfo<DebugCase>& p) { return std::string(p.param.name); });

struct FloatCase {
  const char* name;
  double value;
  const char* text;
};

class DebugF64Test : public ::testing::TestWithParam<FloatCase> {};

TEST_P(DebugF64Test, ShortestRoundTrip) {
  EXPECT_EQ(debug_f64(GetParam().value), GetParam().text);
  EXPECT_EQ(ScalarValue(ScalarValue::Float64{GetParam().value}).debug(),
            std::string("Float64(") + GetParam().text + ")");
}

INSTANTIATE_TEST_SUITE_P(
    PlainAndExponentForms, DebugF64Test,
    ::testing::Values(
        FloatCase{"Integral", 5.0, "5.0"}, FloatCase{"Hundred", 100.0, "100.0"},
        FloatCase{"OneAndHalf", 1.5, "1.5"}, FloatCase{"OneTenth", 0.1, "0.1"},
        FloatCase{"PointThree", 0.3, "0.3"}, FloatCase{"LowerBoundPlain", 0.0001, "0.0001"},
        FloatCase{"Zero", 0.0, "0.0"}, FloatCase{"NegativeZero", -0.0, "-0.0"},
        FloatCase{"Fraction", 123456789.5, "123456789.5"}, FloatCase{"Negative", -2.25, "-2.25"},
        FloatCase{"JustBelow1e16", 9999999999999998.0, "9999999999999998.0"},
        FloatCase{"Big1e15", 1e15, "1000000000000000.0"}, FloatCase{"At1e16", 1e16, "1e16"},
        FloatCase{"Minus1e16", -1e16, "-1e16"}, FloatCase{"Exp21", 1e21, "1e21"},
        FloatCase{"Exp300", 2.5e300, "2.5e300"},
        FloatCase{"Max", std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        FloatCase{"BelowLowerBound", 1e-5, "1e-5"},
        FloatCase{"JustBelowLowerBound", 0.00009999, "9.999e-5"},
        FloatCase{"SmallNegative", -1.5e-7, "-1.5e-7"},
        FloatCase{"SmallExp18", 1.23e-18, "1.23e-18"}, FloatCase{"Denormal", 5e-324, "5e-324"},
        FloatCase{"NaN", kNaN, "NaN"}, FloatCase{"NegativeNaN", -kNaN, "NaN"},
        FloatCase{"Inf", kInf, "inf"}, FloatCase{"MinusInf", -kInf, "-inf"}),
    [](const ::testing::TestParamInfo<FloatCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quarn
