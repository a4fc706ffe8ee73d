// Row-record payloads: version-2 encoding, decoding of versions 1 and 2, and every rejection in
// the order the decoder checks.
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "record/packed_row.h"
#include "record/payload_v1.h"
#include "record/payload_v2.h"
#include "testing/matchers.h"
#include "testing/rows.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using ::quarn::testing::def_at;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::i64;
using ::quarn::testing::IsOk;
using ::quarn::testing::str;
using K = Type::Kind;

// Primary key id (int64), then name (string) and nick (optional string).
const std::vector<FieldDef>& basic_fields() {
  static const std::vector<FieldDef> fields = {
      def("id", Type(K::Int64)),
      def("name", Type(K::String)),
      def("nick", Type::optional(Type(K::String))),
  };
  return fields;
}

Result<RecordPayload> decode_basic(const Bytes& payload) {
  return decode_record_payload(payload, "id", basic_fields()[0], basic_fields());
}

// Hand-built payloads, so that the decoder is not only checked against its own encoder.
class Payload {
 public:
  Payload& u8(std::uint8_t v) {
    ByteWriter(bytes_).put_u8(v);
    return *this;
  }
  Payload& u16(std::uint16_t v) {
    ByteWriter(bytes_).put_u16(v);
    return *this;
  }
  Payload& u32(std::uint32_t v) {
    ByteWriter(bytes_).put_u32(v);
    return *this;
  }
  Payload& u64(std::uint64_t v) {
    ByteWriter(bytes_).put_u64(v);
    return *this;
  }
  // Version, collection id 7, schema version 3, operation byte.
  Payload& header(std::uint16_t version, std::uint8_t op) {
    return u16(version).u32(7).u32(3).u8(op);
  }
  Payload& tagged_i64(std::int64_t v) { return u8(1).u64(static_cast<std::uint64_t>(v)); }
  Payload& tagged_str(std::string_view s) {
    u8(4);
    ByteWriter(bytes_).put_len_prefixed(s);
    return *this;
  }
  // The basic key 5 followed by a value count.
  Payload& key_and_count(std::uint32_t count) { return tagged_i64(5).u32(count); }
  // name "ab", nick "x" in the version-2 format.
  Payload& basic_values() { return tagged_str("ab").u8(1).tagged_str("x"); }

  operator Bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

TEST(RecordPayloadTest, EncodesGoldenBytes) {
  const std::vector<FieldDef>& f = basic_fields();
  const std::vector<RecordFieldValue> values = {{&f[1], str("ab")}, {&f[2], RowValue()}};
  const Bytes expected = Payload().header(2, 1).key_and_count(2).tagged_str("ab").u8(0);
  EXPECT_THAT(encode_record_payload_v2_op(7, 3, 1, ScalarValue::Int64{5}, f[0].type, values),
              testing::IsOkAndHolds(expected));
}

TEST(RecordPayloadTest, DeleteWritesCountZeroAndIgnoresValues) {
  const std::vector<FieldDef>& f = basic_fields();
  const std::vector<RecordFieldValue> values = {{&f[1], str("ab")}, {&f[2], str("x")}};
  ASSERT_OK_AND_ASSIGN(const Bytes bytes, encode_record_payload_v2_op(
                                              7, 3, 3, ScalarValue::Int64{5}, f[0].type, values));
  EXPECT_EQ(bytes, Bytes(Payload().header(2, 3).key_and_count(0)));

  // A delete decodes with no fields although the collection has non-key fields.
  ASSERT_OK_AND_ASSIGN(const RecordPayload decoded, decode_basic(bytes));
  EXPECT_EQ(decoded.op, static_cast<std::uint8_t>(RecordOp::Delete));
  EXPECT_EQ(decoded.pk, ScalarValue(ScalarValue::Int64{5}));
  EXPECT_TRUE(decoded.fields.empty());
}

TEST(RecordPayloadTest, RoundTripsEveryFieldShape) {
  const std::vector<FieldDef> fields = {
      def("name", Type(K::String)),
      def("id", Type(K::Uuid)),
      def("tags", Type::list(Type(K::String))),
      def_at({"address", "city"}, Type(K::String)),  // nested path: carries no value
      def("address",
          Type::object({def("city", Type(K::String)), def("zip", Type::optional(Type(K::Int64)))})),
      def("nick", Type::optional(Type::optional(Type(K::Bytes)))),
      def("level", Type::enumeration({"a", "b"})),
      def("score", Type(K::Float64)),
  };
  const ScalarValue pk = ScalarValue::Uuid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
  Row address = {{"city", str("Oslo")}, {"zip", RowValue()}, {"extra", i64(1)}};
  const std::vector<RecordFieldValue> values = {
      {&fields[0], str("n\xc3\xa9")},
      {&fields[2], RowValue(RowValue::List{str("a"), str("")})},
      {&fields[4], RowValue::object(address)},
      {&fields[5], RowValue(ScalarValue::Bytes{{0, 255}})},
      {&fields[6], str("zz")},  // membership is validation's business, not the codec's
      {&fields[7], RowValue(ScalarValue::Float64{-0.0})},
  };
  ASSERT_OK_AND_ASSIGN(const Bytes bytes,
                       encode_record_payload_v2_op(9, 4, 2, pk, fields[1].type, values));
  ASSERT_OK_AND_ASSIGN(const RecordPayload decoded,
                       decode_record_payload(bytes, "id", fields[1], fields));

  EXPECT_EQ(decoded.collection_id, 9u);
  EXPECT_EQ(decoded.schema_version, 4u);
  EXPECT_EQ(decoded.op, static_cast<std::uint8_t>(RecordOp::Replace));
  EXPECT_EQ(decoded.pk, pk);
  address.erase("extra");
  const Row expected = {
      {"name", values[0].second},
      {"tags", values[1].second},
      {"address", RowValue::object(address)},
      {"nick", values[3].second},
      {"level", values[4].second},
      {"score", values[5].second},
  };
  EXPECT_EQ(decoded.fields, expected);

  // The stored form: the same fields with the key among them.
  ASSERT_OK_AND_ASSIGN(const PackedRecordPayload packed,
                       decode_record_payload_packed(bytes, "id", fields[1], fields));
  EXPECT_EQ(packed.op, decoded.op);
  EXPECT_EQ(packed.pk, pk);
  Row with_key = expected;
  with_key.emplace("id", RowValue(pk));
  EXPECT_EQ(RowView(packed.image.data()).to_row(), with_key);
}

TEST(RecordPayloadTest, RepeatedNameKeepsTheLaterValueInBothForms) {
  const std::vector<FieldDef> fields = {def("id", Type(K::Int64)), def("a", Type(K::Int64)),
                                        def("a", Type(K::Int64))};
  const std::vector<RecordFieldValue> values = {{&fields[1], i64(1)}, {&fields[2], i64(2)}};
  ASSERT_OK_AND_ASSIGN(
      const Bytes bytes,
      encode_record_payload_v2_op(1, 1, 1, ScalarValue::Int64{7}, fields[0].type, values));
  ASSERT_OK_AND_ASSIGN(const RecordPayload decoded,
                       decode_record_payload(bytes, "id", fields[0], fields));
  EXPECT_EQ(decoded.fields, (Row{{"a", i64(2)}}));
  ASSERT_OK_AND_ASSIGN(const PackedRecordPayload packed,
                       decode_record_payload_packed(bytes, "id", fields[0], fields));
  EXPECT_EQ(RowView(packed.image.data()).to_row(), (Row{{"a", i64(2)}, {"id", i64(7)}}));
}

TEST(RecordPayloadTest, EncodeRejectsValuesThatDoNotFit) {
  const std::vector<FieldDef>& f = basic_fields();
  EXPECT_THAT(encode_record_payload_v2_op(1, 1, 1, ScalarValue::Uint64{5}, f[0].type, {}),
              ErrorRenders("format error: record payload type does not match schema"));

  const std::vector<RecordFieldValue> wrong_kind = {{&f[1], i64(1)}, {&f[2], RowValue()}};
  EXPECT_THAT(encode_record_payload_v2_op(1, 1, 1, ScalarValue::Int64{5}, f[0].type, wrong_kind),
              ErrorRenders("format error: record payload type does not match schema"));

  const FieldDef object = def("o", Type::object({def("m", Type::optional(Type(K::Int64)))}));
  const std::vector<RecordFieldValue> no_member = {{&object, RowValue::object({})}};
  EXPECT_THAT(encode_record_payload_v2_op(1, 1, 1, ScalarValue::Int64{5}, f[0].type, no_member),
              ErrorRenders("format error: truncated record payload"));
}

TEST(RecordPayloadTest, AnyOperationButDeleteStoresARow) {
  for (const std::uint8_t op : std::initializer_list<std::uint8_t>{0, 1, 2, 200, 255}) {
    ASSERT_OK_AND_ASSIGN(const RecordPayload decoded,
                         decode_basic(Payload().header(2, op).key_and_count(2).basic_values()));
    EXPECT_EQ(decoded.op, op);
    EXPECT_EQ(decoded.fields, (Row{{"name", str("ab")}, {"nick", str("x")}})) << int{op};
  }
}

TEST(RecordPayloadTest, DecodesVersionOneScalars) {
  const std::vector<FieldDef> fields = {def("id", Type(K::String)), def("n", Type(K::Int64)),
                                        def("b", Type(K::Bool))};
  const Bytes bytes = Payload().header(1, 1).tagged_str("k").u32(2).tagged_i64(-2).u8(0).u8(7);
  ASSERT_OK_AND_ASSIGN(const RecordPayload decoded,
                       decode_record_payload(bytes, "id", fields[0], fields));
  EXPECT_EQ(decoded.pk, ScalarValue(ScalarValue::String{"k"}));
  EXPECT_EQ(decoded.fields, (Row{{"n", i64(-2)}, {"b", RowValue(ScalarValue::Bool{true})}}));
}

TEST(RecordPayloadTest, VersionTwoReadsNullWhereVersionOneCannot) {
  const Bytes v2 = Payload().header(2, 1).key_and_count(2).tagged_str("ab").u8(0);
  ASSERT_OK_AND_ASSIGN(const RecordPayload decoded, decode_basic(v2));
  EXPECT_EQ(decoded.fields, (Row{{"name", str("ab")}, {"nick", RowValue()}}));

  const Bytes v1 = Payload().header(1, 1).key_and_count(2).tagged_str("ab").tagged_str("x");
  EXPECT_THAT(decode_basic(v1),
              ErrorRenders("format error: unsupported type in record payload v1"));
}

TEST(RecordPayloadTest, NonPrimitivePrimaryFieldIsUnreadable) {
  const std::vector<FieldDef> fields = {def("id", Type::optional(Type(K::Int64)))};
  EXPECT_THAT(decode_record_payload(Bytes(Payload().header(2, 1).key_and_count(0)), "id", fields[0],
                                    fields),
              ErrorRenders("format error: unsupported type in record payload v1"));
}

struct RejectCase {
  const char* name;
  Bytes payload;
  const char* error;
};

class RecordPayloadRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RecordPayloadRejectTest, FailsWithFirstErrorInCheckOrder) {
  EXPECT_THAT(decode_basic(GetParam().payload),
              ErrorRenders(std::string("format error: ") + GetParam().error));
  EXPECT_THAT(
      decode_record_payload_packed(GetParam().payload, "id", basic_fields()[0], basic_fields()),
      ErrorRenders(std::string("format error: ") + GetParam().error));
}

constexpr const char* kTruncated = "truncated record payload";
constexpr const char* kMismatch = "record payload type does not match schema";

INSTANTIATE_TEST_SUITE_P(
    Decode, RecordPayloadRejectTest,
    ::testing::Values(
        RejectCase{"Empty", Bytes{}, kTruncated}, RejectCase{"OneByte", Bytes{2}, kTruncated},
        RejectCase{"VersionZero", Payload().header(0, 1).key_and_count(2).basic_values(),
                   "unknown record payload version 0"},
        RejectCase{"VersionThree", Payload().header(3, 1).key_and_count(2).basic_values(),
                   "unknown record payload version 3"},
        RejectCase{"VersionBeforeTruncation", Payload().u16(65535),
                   "unknown record payload version 65535"},
        RejectCase{"CollectionIdCut", Payload().u16(2).u8(7).u8(0).u8(0), kTruncated},
        RejectCase{"SchemaVersionCut", Payload().u16(2).u32(7).u8(3), kTruncated},
        RejectCase{"OperationCut", Payload().u16(2).u32(7).u32(3), kTruncated},
        RejectCase{"NoKey", Payload().header(2, 1), kTruncated},
        RejectCase{"KeyKindMismatch", Payload().header(2, 1).u8(2).u64(5).u32(2).basic_values(),
                   kMismatch},
        RejectCase{"KeyCut", Payload().header(2, 1).u8(1).u32(5), kTruncated},
        RejectCase{"NoCount", Payload().header(2, 1).tagged_i64(5).u8(0), kTruncated},
        RejectCase{"DeleteWithCount", Payload().header(2, 3).key_and_count(1).tagged_str("ab"),
                   kMismatch},
        RejectCase{"CountOneShort", Payload().header(2, 1).key_and_count(1).tagged_str("ab"),
                   kMismatch},
        RejectCase{"CountOneOverBeforeTrailing",
                   Payload().header(2, 1).key_and_count(3).basic_values().u8(0), kMismatch},
        RejectCase{"CountForgedHuge", Payload().header(2, 1).key_and_count(0xFFFFFFFF), kMismatch},
        RejectCase{"ValueMissing", Payload().header(2, 1).key_and_count(2).tagged_str("ab"),
                   kTruncated},
        RejectCase{"StringLengthPastEnd",
                   Payload().header(2, 1).key_and_count(2).u8(4).u32(0xFFFFFFFF).u8('a'),
                   kTruncated},
        RejectCase{"InvalidUtf8",
                   Payload().header(2, 1).key_and_count(2).tagged_str("\xff\xfe").u8(0),
                   "invalid UTF-8 in record string"},
        RejectCase{"OptionalFlagTwo",
                   Payload().header(2, 1).key_and_count(2).tagged_str("ab").u8(2), kMismatch},
        RejectCase{"TrailingByte", Payload().header(2, 1).key_and_count(2).basic_values().u8(0),
                   "trailing bytes in record payload"},
        RejectCase{"TrailingAfterDelete", Payload().header(2, 3).key_and_count(0).u8(0),
                   "trailing bytes in record payload"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) { return param.param.name; });

TEST(RecordPayloadTest, ForgedListCountFailsWithinTheData) {
  const std::vector<FieldDef> fields = {def("id", Type(K::Int64)),
                                        def("xs", Type::list(Type(K::Int64)))};
  const Bytes bytes = Payload().header(2, 1).key_and_count(1).u32(0xFFFFFFFF).tagged_i64(1);
  EXPECT_THAT(decode_record_payload(bytes, "id", fields[0], fields),
              ErrorRenders("format error: truncated record payload"));
  EXPECT_THAT(decode_record_payload_packed(bytes, "id", fields[0], fields),
              ErrorRenders("format error: truncated record payload"));
}

TEST(RecordPayloadTest, EveryCutOfAValidPayloadIsTruncated) {
  const Bytes full = Payload().header(2, 1).key_and_count(2).basic_values();
  ASSERT_THAT(decode_basic(full), IsOk());
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_THAT(decode_basic(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n))),
                ErrorRenders("format error: truncated record payload"))
        << n << " bytes";
  }
}

}  // namespace
}  // namespace quarn
