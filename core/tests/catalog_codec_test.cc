// Tests of the catalog payload codec: round trips, golden bytes, every rejection in check order.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "catalog/codec.h"
#include "testing/hex.h"
#include "testing/matchers.h"
#include "testing/rows.h"

namespace quarn {
namespace {

using ::quarn::testing::def;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::hex;
using ::quarn::testing::IsOk;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::path;
using ::testing::Eq;

// `levels` Optionals around an Int64.
Type nested(int levels) {
  Type type(Type::Kind::Int64);
  for (int i = 0; i < levels; ++i) type = Type::optional(std::move(type));
  return type;
}

// Hand-written payloads, for the versions and shapes the encoder never writes.
class Wire {
 public:
  Wire& u8(std::uint8_t v) {
    ByteWriter(bytes_).put_u8(v);
    return *this;
  }
  Wire& u16(std::uint16_t v) {
    ByteWriter(bytes_).put_u16(v);
    return *this;
  }
  Wire& u32(std::uint32_t v) {
    ByteWriter(bytes_).put_u32(v);
    return *this;
  }
  Wire& u64(std::uint64_t v) {
    ByteWriter(bytes_).put_u64(v);
    return *this;
  }
  Wire& raw(std::string_view bytes) {
    ByteWriter(bytes_).put_bytes(bytes);
    return *this;
  }
  Wire& text(std::string_view text) {
    ByteWriter(bytes_).put_len_prefixed(text);
    return *this;
  }
  Wire& segments(std::vector<std::string_view> segments) {
    u32(static_cast<std::uint32_t>(segments.size()));
    for (std::string_view s : segments) text(s);
    return *this;
  }
  Wire& repeat(int n, std::uint8_t byte) {
    for (int i = 0; i < n; ++i) u8(byte);
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// Header and body up to the field list: id 1, name "c", schema version 1.
Wire create_head(std::uint16_t version) {
  return Wire().u16(version).u16(1).u32(1).text("c").u32(1);
}
// Up to the type of the one field "f".
Wire v4_field_type() { return create_head(4).u32(1).segments({"f"}); }
// Up to the index list (no fields).
Wire v4_indexes() { return create_head(4).u32(0); }

CatalogRecordWire rich_create() {
  std::vector<FieldDef> fields;
  fields.push_back(def("id", Type(Type::Kind::Uint64), {Constraint::MinU64{1}}));
  fields.push_back(def("b", Type(Type::Kind::Bool)));
  fields.push_back(
      def("i", Type(Type::Kind::Int64), {Constraint::MinI64{-5}, Constraint::MaxI64{INT64_MAX}}));
  fields.push_back(def("u", Type(Type::Kind::Uint64), {Constraint::MaxU64{UINT64_MAX}}));
  fields.push_back(
      def("x", Type(Type::Kind::Float64), {Constraint::MinF64{-0.5}, Constraint::MaxF64{1e300}}));
  fields.push_back(
      def("s", Type(Type::Kind::String),
          {Constraint::MinLength{1}, Constraint::MaxLength{64}, Constraint::Regex{"^[a-z]+é$"},
           Constraint::Email{}, Constraint::Url{}, Constraint::NonEmpty{}}));
  fields.push_back(def("raw", Type(Type::Kind::Bytes)));
  fields.push_back(def("uuid", Type(Type::Kind::Uuid)));
  fields.push_back(def("at", Type(Type::Kind::Timestamp)));
  fields.push_back(def("tags", Type::optional(Type::list(Type(Type::Kind::String)))));
  std::vector<FieldDef> members;
  members.push_back(def("city", Type(Type::Kind::String)));
  members.push_back(FieldDef{path({"geo", "lat"}), Type(Type::Kind::Float64), {}});
  fields.push_back(def("address", Type::object(std::move(members))));
  fields.push_back(def("e", Type::enumeration({"red", "", "blau\xC3\xBC"})));
  fields.push_back(FieldDef{path({"a", "b"}), Type(Type::Kind::Int64), {}});
  std::vector<IndexDef> indexes;
  indexes.push_back(IndexDef{"by_s", path({"s"}), IndexKind::Unique});
  indexes.push_back(IndexDef{"by_city", path({"address", "city"}), IndexKind::NonUnique});
  return CatalogRecordWire::CreateCollection{
      7, "users and more", 1, std::move(fields), std::move(indexes), "id"};
}

TEST(CatalogCodecTest, RoundTripsVersion4) {
  std::vector<CatalogRecordWire> entries;
  entries.push_back(rich_create());
  CatalogRecordWire::CreateCollection no_primary =
      std::get<CatalogRecordWire::CreateCollection>(rich_create().value());
  no_primary.primary_field.reset();
  no_primary.schema_version = 7;  // the codec applies no catalog rule
  entries.push_back(no_primary);
  entries.push_back(CatalogRecordWire::NewSchemaVersion{UINT32_MAX, UINT32_MAX, no_primary.fields,
                                                        no_primary.indexes});
  entries.push_back(CatalogRecordWire::NewSchemaVersion{2, 2, {}, {}});
  for (const CatalogRecordWire& entry : entries) {
    EXPECT_THAT(decode_catalog_payload(encode_catalog_payload(entry)), IsOkAndHolds(Eq(entry)));
  }
}

TEST(CatalogCodecTest, ObjectMembersComeBackWithoutConstraints) {
  std::vector<FieldDef> members;
  members.push_back(def("n", Type(Type::Kind::Int64), {Constraint::MinI64{0}}));
  std::vector<FieldDef> fields;
  fields.push_back(def("o", Type::object(std::move(members)), {Constraint::NonEmpty{}}));
  const CatalogRecordWire entry = CatalogRecordWire::NewSchemaVersion{1, 2, fields, {}};

  std::vector<FieldDef> bare;
  bare.push_back(def("n", Type(Type::Kind::Int64)));
  std::vector<FieldDef> expected_fields;
  expected_fields.push_back(def("o", Type::object(std::move(bare)), {Constraint::NonEmpty{}}));
  const CatalogRecordWire expected =
      CatalogRecordWire::NewSchemaVersion{1, 2, std::move(expected_fields), {}};
  EXPECT_THAT(decode_catalog_payload(encode_catalog_payload(entry)), IsOkAndHolds(Eq(expected)));
}

TEST(CatalogCodecTest, EncodesGoldenBytes) {
  std::vector<IndexDef> indexes;
  indexes.push_back(IndexDef{"by_id", path({"id"}), IndexKind::Unique});
  std::vector<FieldDef> fields;
  fields.push_back(def("id", Type(Type::Kind::Uint64), {Constraint::MinU64{1}}));
  const CatalogRecordWire create = CatalogRecordWire::CreateCollection{
      1, "users", 1, std::move(fields), std::move(indexes), "id"};
  const Bytes create_bytes =
      hex("0400 0100 01000000 05000000 7573657273 01000000"
          " 01000000 01000000 02000000 6964 02 01000000 03 0100000000000000"
          " 01000000 01 01000000 02000000 6964 05000000 62795f6964"
          " 02000000 6964");
  EXPECT_EQ(encode_catalog_payload(create), create_bytes);
  EXPECT_THAT(decode_catalog_payload(create_bytes), IsOkAndHolds(Eq(create)));

  std::vector<FieldDef> next_fields;
  next_fields.push_back(def("tags", Type::optional(Type::list(Type(Type::Kind::String))),
                            {Constraint::MaxF64{1.5}, Constraint::Regex{"a"}}));
  std::vector<FieldDef> members;
  members.push_back(def("a", Type(Type::Kind::Bool)));
  next_fields.push_back(def("obj", Type::object(std::move(members))));
  next_fields.push_back(def("e", Type::enumeration({"x", ""})));
  std::vector<IndexDef> next_indexes;
  next_indexes.push_back(IndexDef{"n", path({"obj", "a"}), IndexKind::NonUnique});
  const CatalogRecordWire next =
      CatalogRecordWire::NewSchemaVersion{2, 3, std::move(next_fields), std::move(next_indexes)};
  const Bytes next_bytes =
      hex("0400 0200 02000000 03000000 03000000"
          " 01000000 04000000 74616773 08 09 04 02000000 06 000000000000f83f 09 01000000 61"
          " 01000000 03000000 6f626a 0a 01000000 01000000 01000000 61 00 00000000"
          " 01000000 01000000 65 0b 02000000 01000000 78 00000000 00000000"
          " 01000000 02 02000000 03000000 6f626a 01000000 61 01000000 6e");
  EXPECT_EQ(encode_catalog_payload(next), next_bytes);
  EXPECT_THAT(decode_catalog_payload(next_bytes), IsOkAndHolds(Eq(next)));
}

struct OlderCase {
  const char* name;
  Bytes payload;
  CatalogRecordWire expected;
};

std::vector<OlderCase> older_cases() {
  std::vector<OlderCase> cases;
  auto one_field = [](std::vector<Constraint> constraints) {
    std::vector<FieldDef> fields;
    fields.push_back(def("id", Type(Type::Kind::Int64), std::move(constraints)));
    return fields;
  };
  cases.push_back({"V1Create", create_head(1).u32(1).segments({"id"}).u8(1).bytes(),
                   CatalogRecordWire::CreateCollection{1, "c", 1, one_field({}), {}, {}}});
  cases.push_back({"V2Create", create_head(2).u32(1).segments({"id"}).u8(1).text("id").bytes(),
                   CatalogRecordWire::CreateCollection{1, "c", 1, one_field({}), {}, "id"}});
  cases.push_back({"V2CreateNoPrimary", create_head(2).u32(1).segments({"id"}).u8(1).u32(0).bytes(),
                   CatalogRecordWire::CreateCollection{1, "c", 1, one_field({}), {}, {}}});
  cases.push_back(
      {"V3Create",
       create_head(3)
           .u32(1)
           .segments({"id"})
           .u8(1)
           .u32(2)
           .u8(1)
           .u64(UINT64_MAX)
           .u8(12)
           .text("id")
           .bytes(),
       CatalogRecordWire::CreateCollection{
           1, "c", 1, one_field({Constraint::MinI64{-1}, Constraint::NonEmpty{}}), {}, "id"}});
  cases.push_back({"V1NewVersion",
                   Wire().u16(1).u16(2).u32(1).u32(2).u32(1).segments({"id"}).u8(1).bytes(),
                   CatalogRecordWire::NewSchemaVersion{1, 2, one_field({}), {}}});
  cases.push_back({"V2NewVersion",
                   Wire().u16(2).u16(2).u32(1).u32(2).u32(1).segments({"id"}).u8(1).bytes(),
                   CatalogRecordWire::NewSchemaVersion{1, 2, one_field({}), {}}});
  cases.push_back(
      {"V3NewVersion",
       Wire().u16(3).u16(2).u32(1).u32(2).u32(1).segments({"id"}).u8(1).u32(1).u8(11).bytes(),
       CatalogRecordWire::NewSchemaVersion{1, 2, one_field({Constraint::Url{}}), {}}});
  return cases;
}

class CatalogCodecOlderTest : public ::testing::TestWithParam<OlderCase> {};

TEST_P(CatalogCodecOlderTest, Decodes) {
  EXPECT_THAT(decode_catalog_payload(GetParam().payload), IsOkAndHolds(Eq(GetParam().expected)));
}

INSTANTIATE_TEST_SUITE_P(Versions, CatalogCodecOlderTest, ::testing::ValuesIn(older_cases()),
                         [](const ::testing::TestParamInfo<OlderCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(CatalogCodecTest, AcceptsLimitValues) {
  const std::string name_1023(1023, 'n');
  Result<CatalogRecordWire> long_name = decode_catalog_payload(
      Wire().u16(4).u16(1).u32(1).text(name_1023).u32(1).u32(0).u32(0).text(name_1023).bytes());
  ASSERT_OK(long_name);
  const auto& create = std::get<CatalogRecordWire::CreateCollection>(long_name.value().value());
  EXPECT_EQ(create.name, name_1023);
  EXPECT_EQ(create.primary_field, name_1023);

  Wire deep = v4_field_type();
  deep.repeat(32, 8).u8(1).u32(0).u32(0).u32(0);
  Result<CatalogRecordWire> nested_32 = decode_catalog_payload(deep.bytes());
  ASSERT_OK(nested_32);
  EXPECT_EQ(std::get<CatalogRecordWire::CreateCollection>(nested_32.value().value()).fields[0].type,
            nested(32));

  const std::string index_1023(1023, 'i');
  EXPECT_THAT(decode_catalog_payload(
                  v4_indexes().u32(1).u8(2).segments({"f"}).text(index_1023).u32(0).bytes()),
              IsOk());
}

struct RejectCase {
  const char* name;
  Bytes payload;
  std::string expected;
};

std::string invalid(std::string_view debug) {
  return "format error: invalid catalog payload: " + std::string(debug);
}

std::vector<RejectCase> reject_cases() {
  const std::string eof = invalid("UnexpectedEof");
  const std::string utf8 = invalid("InvalidUtf8");
  const std::string bad_path = "schema error: invalid field path";
  const Bytes valid_create =
      create_head(4).u32(1).segments({"id"}).u8(1).u32(0).u32(0).text("id").bytes();
  std::vector<RejectCase> c;
  // Header.
  c.push_back({"Empty", {}, eof});
  c.push_back({"OneByte", Wire().u8(4).bytes(), eof});
  c.push_back({"VersionZero", Wire().u16(0).u16(1).bytes(),
               invalid("UnknownCatalogPayloadVersion { got: 0 }")});
  c.push_back({"VersionFive", Wire().u16(5).u16(1).bytes(),
               invalid("UnknownCatalogPayloadVersion { got: 5 }")});
  c.push_back({"VersionBeforeKindLength", Wire().u16(65535).bytes(),
               invalid("UnknownCatalogPayloadVersion { got: 65535 }")});
  c.push_back({"KindMissing", Wire().u16(4).bytes(), eof});
  c.push_back({"KindHalf", Wire().u16(4).u8(1).bytes(), eof});
  c.push_back({"KindZero", Wire().u16(4).u16(0).bytes(), invalid("UnknownEntryKind { got: 0 }")});
  c.push_back({"KindThree", Wire().u16(1).u16(3).bytes(), invalid("UnknownEntryKind { got: 3 }")});
  // Creation body.
  c.push_back({"IdShort", Wire().u16(4).u16(1).u16(1).bytes(), eof});
  c.push_back({"NameLengthMissing", Wire().u16(4).u16(1).u32(1).bytes(), eof});
  c.push_back(
      {"NameEmpty", Wire().u16(4).u16(1).u32(1).u32(0).bytes(), invalid("EmptyCollectionName")});
  c.push_back({"Name1024BeforeBytes", Wire().u16(4).u16(1).u32(1).u32(1024).bytes(),
               invalid("CollectionNameTooLong { got: 1024 }")});
  c.push_back({"NameLengthMax", Wire().u16(4).u16(1).u32(1).u32(UINT32_MAX).bytes(),
               invalid("CollectionNameTooLong { got: 4294967295 }")});
  c.push_back({"NameShort", Wire().u16(4).u16(1).u32(1).u32(3).raw("ab").bytes(), eof});
  c.push_back({"NameInvalidByte", Wire().u16(4).u16(1).u32(1).text("a\xFF").u32(1).bytes(), utf8});
  c.push_back({"NameOverlong", Wire().u16(4).u16(1).u32(1).text("\xC0\xAF").bytes(), utf8});
  c.push_back({"NameSurrogate", Wire().u16(4).u16(1).u32(1).text("\xED\xA0\x80").bytes(), utf8});
  c.push_back({"NameCutSequence", Wire().u16(4).u16(1).u32(1).text("a\xE2\x82").bytes(), utf8});
  c.push_back({"NamePastMax", Wire().u16(4).u16(1).u32(1).text("\xF4\x90\x80\x80").bytes(), utf8});
  c.push_back({"SchemaVersionMissing", Wire().u16(4).u16(1).u32(1).text("c").bytes(), eof});
  c.push_back({"FieldCountMissing", create_head(4).bytes(), eof});
  // Field paths.
  c.push_back({"PathNoSegments", create_head(4).u32(1).u32(0).bytes(), bad_path});
  c.push_back(
      {"PathEmptySegment", create_head(4).u32(1).segments({"a", ""}).u8(1).bytes(), bad_path});
  c.push_back({"PathSegmentInvalidUtf8", create_head(4).u32(1).segments({"\x80"}).bytes(), utf8});
  c.push_back({"PathSegmentShort", create_head(4).u32(1).u32(1).u32(4).raw("ab").bytes(), eof});
  // Types.
  c.push_back({"TypeTagMissing", v4_field_type().bytes(), eof});
  c.push_back({"TypeTag12", v4_field_type().u8(12).bytes(), invalid("unknown type tag 12")});
  c.push_back({"TypeTag255", v4_field_type().u8(255).bytes(), invalid("unknown type tag 255")});
  c.push_back({"InnerTypeMissing", v4_field_type().u8(8).u8(9).bytes(), eof});
  c.push_back({"Nesting33", v4_field_type().repeat(33, 8).u8(1).bytes(),
               invalid("TypeNestingTooDeep { max: 32 }")});
  c.push_back({"Nesting33BeforeTag", v4_field_type().repeat(33, 9).bytes(),
               invalid("TypeNestingTooDeep { max: 32 }")});
  {
    Wire w = v4_field_type();
    for (int i = 0; i < 33; ++i) w.u8(10).u32(1).segments({"m"});
    c.push_back({"ObjectNesting33", w.u8(1).bytes(), invalid("TypeNestingTooDeep { max: 32 }")});
  }
  c.push_back({"MemberPathEmpty", v4_field_type().u8(10).u32(1).u32(0).bytes(), bad_path});
  c.push_back(
      {"VariantInvalidUtf8", v4_field_type().u8(11).u32(2).text("a").text("\xFE").bytes(), utf8});
  c.push_back({"VariantShort", v4_field_type().u8(11).u32(1).u32(2).raw("a").bytes(), eof});
  // Constraints.
  c.push_back({"ConstraintCountMissing", v4_field_type().u8(1).bytes(), eof});
  c.push_back({"ConstraintTagMissing", v4_field_type().u8(1).u32(1).bytes(), eof});
  c.push_back({"ConstraintTag0", v4_field_type().u8(1).u32(1).u8(0).bytes(),
               invalid("unknown constraint tag 0")});
  c.push_back({"ConstraintTag13", v4_field_type().u8(1).u32(1).u8(13).bytes(),
               invalid("unknown constraint tag 13")});
  c.push_back(
      {"ConstraintValueShort", v4_field_type().u8(1).u32(1).u8(5).raw("1234567").bytes(), eof});
  c.push_back({"RegexInvalidUtf8", v4_field_type().u8(4).u32(1).u8(9).text("\xC3").bytes(), utf8});
  // Indexes.
  c.push_back({"IndexCountMissing", v4_indexes().bytes(), eof});
  c.push_back({"IndexKindMissing", v4_indexes().u32(1).bytes(), eof});
  c.push_back(
      {"IndexKind0", v4_indexes().u32(1).u8(0).bytes(), invalid("UnknownIndexKind { got: 0 }")});
  c.push_back({"IndexKind3BeforePath", v4_indexes().u32(1).u8(3).bytes(),
               invalid("UnknownIndexKind { got: 3 }")});
  c.push_back({"IndexPathNoSegments", v4_indexes().u32(1).u8(1).u32(0).bytes(), bad_path});
  c.push_back({"IndexNameEmpty", v4_indexes().u32(1).u8(1).segments({"f"}).u32(0).bytes(),
               invalid("EmptyIndexName")});
  c.push_back({"IndexName1024BeforeBytes",
               v4_indexes().u32(1).u8(1).segments({"f"}).u32(1024).bytes(),
               invalid("IndexNameTooLong { got: 1024 }")});
  c.push_back({"IndexNameInvalidUtf8",
               v4_indexes().u32(1).u8(1).segments({"f"}).text("\xE0\x80\x80").bytes(), utf8});
  // Primary name.
  c.push_back({"PrimaryMissing", v4_indexes().u32(0).bytes(), eof});
  c.push_back({"Primary1024BeforeBytes", v4_indexes().u32(0).u32(1024).bytes(),
               invalid("CollectionNameTooLong { got: 1024 }")});
  c.push_back({"PrimaryShort", v4_indexes().u32(0).u32(2).raw("i").bytes(), eof});
  c.push_back({"PrimaryInvalidUtf8", v4_indexes().u32(0).text("\xFF").bytes(), utf8});
  // Trailing bytes.
  {
    Bytes trailing = valid_create;
    trailing.push_back(0);
    c.push_back({"TrailingAfterCreate", trailing, invalid("TrailingBytes")});
  }
  c.push_back(
      {"TrailingAfterV1Create", create_head(1).u32(0).u8(0).bytes(), invalid("TrailingBytes")});
  c.push_back({"V3HasNoIndexList", create_head(3).u32(0).u32(0).text("id").bytes(),
               invalid("TrailingBytes")});
  c.push_back({"TrailingAfterNewVersion",
               Wire().u16(4).u16(2).u32(1).u32(2).u32(0).u32(0).u8(9).bytes(),
               invalid("TrailingBytes")});
  c.push_back({"NewVersionHasNoPrimary",
               Wire().u16(4).u16(2).u32(1).u32(2).u32(0).u32(0).text("id").bytes(),
               invalid("TrailingBytes")});
  // Forged counts: each must end in a short read, never in a huge reservation.
  c.push_back({"FieldCountForged",
               create_head(4).u32(UINT32_MAX).segments({"id"}).u8(1).u32(0).bytes(), eof});
  c.push_back({"SegmentCountForged", create_head(4).u32(1).u32(UINT32_MAX).text("a").bytes(), eof});
  c.push_back({"ConstraintCountForged", v4_field_type().u8(1).u32(UINT32_MAX).u8(10).bytes(), eof});
  c.push_back({"MemberCountForged", v4_field_type().u8(10).u32(UINT32_MAX).bytes(), eof});
  c.push_back(
      {"VariantCountForged", v4_field_type().u8(11).u32(UINT32_MAX).text("a").bytes(), eof});
  c.push_back({"IndexCountForged", v4_indexes().u32(UINT32_MAX).bytes(), eof});
  return c;
}

class CatalogCodecRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(CatalogCodecRejectTest, FailsWithExactText) {
  EXPECT_THAT(decode_catalog_payload(GetParam().payload), ErrorRenders(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Payloads, CatalogCodecRejectTest, ::testing::ValuesIn(reject_cases()),
                         [](const ::testing::TestParamInfo<RejectCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(CatalogCodecTest, DecodeErrorDebugTexts) {
  using E = CatalogDecodeError;
  const std::vector<std::pair<CatalogDecodeError, std::string>> cases = {
      {E::UnexpectedEof{}, "UnexpectedEof"},
      {E::UnknownCatalogPayloadVersion{5}, "UnknownCatalogPayloadVersion { got: 5 }"},
      {E::UnknownEntryKind{65535}, "UnknownEntryKind { got: 65535 }"},
      {E::TrailingBytes{}, "TrailingBytes"},
      {E::TypeNestingTooDeep{32}, "TypeNestingTooDeep { max: 32 }"},
      {E::InvalidUtf8{}, "InvalidUtf8"},
      {E::CollectionNameTooLong{UINT64_MAX}, "CollectionNameTooLong { got: 18446744073709551615 }"},
      {E::EmptyCollectionName{}, "EmptyCollectionName"},
      {E::IndexNameTooLong{1024}, "IndexNameTooLong { got: 1024 }"},
      {E::EmptyIndexName{}, "EmptyIndexName"},
      {E::UnknownIndexKind{255}, "UnknownIndexKind { got: 255 }"},
  };
  for (const auto& [error, text] : cases) {
    EXPECT_EQ(error.debug(), text);
    EXPECT_EQ(to_db_error(error).render(), "format error: invalid catalog payload: " + text);
  }
}

// The writer-side check must refuse exactly the entries whose own encoding does not decode.
struct WriterCase {
  const char* name;
  CatalogRecordWire entry;
  std::string expected;  // empty: accepted
};

CatalogRecordWire create_with(std::vector<FieldDef> fields, std::vector<IndexDef> indexes,
                              std::optional<std::string> primary, std::string name = "users") {
  return CatalogRecordWire::CreateCollection{
      1, std::move(name), 1, std::move(fields), std::move(indexes), std::move(primary)};
}

std::vector<FieldDef> id_and(Type type) {
  std::vector<FieldDef> fields;
  fields.push_back(def("id", Type(Type::Kind::Int64)));
  fields.push_back(def("t", std::move(type)));
  return fields;
}

std::vector<IndexDef> index_named(std::string name) {
  std::vector<IndexDef> indexes;
  indexes.push_back(IndexDef{std::move(name), path({"id"}), IndexKind::Unique});
  return indexes;
}

std::vector<WriterCase> writer_cases() {
  const std::string incompatible = "schema error: incompatible schema change: ";
  const Type plain(Type::Kind::Int64);
  std::vector<WriterCase> c;
  c.push_back({"Plain", create_with(id_and(plain), index_named("by_id"), "id"), ""});
  c.push_back({"NoPrimary", create_with(id_and(plain), {}, std::nullopt), ""});
  c.push_back(
      {"IndexName1023", create_with(id_and(plain), index_named(std::string(1023, 'i')), "id"), ""});
  c.push_back({"IndexName1024",
               create_with(id_and(plain), index_named(std::string(1024, 'i')), "id"),
               incompatible + "index name of 1024 bytes is longer than 1023 bytes"});
  c.push_back({"IndexNameEmpty", create_with(id_and(plain), index_named(""), "id"),
               incompatible + "index name must not be empty"});
  c.push_back({"IndexNameInNewVersion",
               CatalogRecordWire::NewSchemaVersion{1, 2, id_and(plain),
                                                   index_named(std::string(5000, 'i'))},
               incompatible + "index name of 5000 bytes is longer than 1023 bytes"});
  {
    std::vector<FieldDef> fields = id_and(plain);
    fields.push_back(def(std::string(1024, 'p'), plain));
    c.push_back({"PrimaryName1024", create_with(std::move(fields), {}, std::string(1024, 'p')),
                 "schema error: invalid collection name"});
  }
  c.push_back({"CollectionNameEmpty", create_with(id_and(plain), {}, "id", ""),
               "schema error: invalid collection name"});
  c.push_back({"CollectionName1024", create_with(id_and(plain), {}, "id", std::string(1024, 'c')),
               "schema error: invalid collection name"});
  c.push_back({"Nesting32", create_with(id_and(nested(32)), {}, "id"), ""});
  c.push_back({"Nesting33", create_with(id_and(nested(33)), {}, "id"),
               incompatible + "field type nested more than 32 levels deep"});
  {
    std::vector<FieldDef> members;
    members.push_back(def("m", nested(32)));
    c.push_back(
        {"Nesting33ThroughObject",
         CatalogRecordWire::NewSchemaVersion{1, 2, id_and(Type::object(std::move(members))), {}},
         incompatible + "field type nested more than 32 levels deep"});
  }
  c.push_back({"VariantNotUtf8", create_with(id_and(Type::enumeration({"\xFF"})), {}, "id"),
               incompatible + "name or text is not valid UTF-8"});
  return c;
}

class CatalogEntryCheckTest : public ::testing::TestWithParam<WriterCase> {};

TEST_P(CatalogEntryCheckTest, RefusesWhatTheDecoderRefuses) {
  const WriterCase& c = GetParam();
  const Result<CatalogRecordWire> decoded = decode_catalog_payload(encode_catalog_payload(c.entry));
  if (c.expected.empty()) {
    EXPECT_THAT(check_catalog_entry_decodes(c.entry), IsOk());
    EXPECT_THAT(decoded, IsOk());
  } else {
    EXPECT_THAT(check_catalog_entry_decodes(c.entry), ErrorRenders(c.expected));
    EXPECT_FALSE(decoded.ok());
  }
}

INSTANTIATE_TEST_SUITE_P(Entries, CatalogEntryCheckTest, ::testing::ValuesIn(writer_cases()),
                         [](const ::testing::TestParamInfo<WriterCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace quarn
