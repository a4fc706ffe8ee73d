// Rendering of every error category and the debug forms used by messages.
#include "error.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "result.h"
#include "testing/matchers.h"

namespace quarn {
namespace {

struct RenderCase {
  const char* name;
  DbError error;
  const char* text;
};

class RenderTest : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RenderTest, RendersExactText) { EXPECT_EQ(GetParam().error.render(), GetParam().text); }

using F = FormatError;
using S = SchemaError;

INSTANTIATE_TEST_SUITE_P(
    AllAlternatives, RenderTest,
    ::testing::Values(
        RenderCase{"BadMagic", F::BadMagic{{0x7f, 0x45, 0x4c, 0x46}},
                   "format error: bad magic bytes: expected \"QDB0\", got [7f, 45, 4c, 46]"},
        RenderCase{"TruncatedHeader", F::TruncatedHeader{3, 32},
                   "format error: truncated header: got 3 bytes, expected 32"},
        RenderCase{"UnsupportedVersionMajorFirst", F::UnsupportedVersion{1, 6},
                   "format error: unsupported format version 1.6"},
        RenderCase{"TruncatedSuperblock", F::TruncatedSuperblock{0, 4096},
                   "format error: truncated superblock: got 0 bytes, expected 4096"},
        RenderCase{"BadSuperblockMagicZeros", F::BadSuperblockMagic{{0, 0, 0, 0}},
                   "format error: bad superblock magic bytes: expected \"QSB0\", got [00, 00, "
                   "00, 00]"},
        RenderCase{"SuperblockChecksum", F::SuperblockChecksumMismatch{},
                   "format error: superblock checksum mismatch"},
        RenderCase{"TruncatedSegmentHeader", F::TruncatedSegmentHeader{18446744073709551615ull, 32},
                   "format error: truncated segment header: got 18446744073709551615 bytes, "
                   "expected 32"},
        RenderCase{"BadSegmentMagic", F::BadSegmentMagic{{0xab, 0xcd, 0x0e, 0xf0}},
                   "format error: bad segment magic bytes: expected \"QSG0\", got [ab, cd, 0e, "
                   "f0]"},
        RenderCase{"SegmentHeaderChecksum", F::SegmentHeaderChecksumMismatch{},
                   "format error: segment header checksum mismatch"},
        RenderCase{"SegmentPayloadChecksum", F::SegmentPayloadChecksumMismatch{},
                   "format error: segment payload checksum mismatch"},
        RenderCase{"PayloadPastEof", F::SegmentPayloadPastEof{},
                   "format error: segment payload extends past end of file"},
        RenderCase{"InvalidCatalog", F::InvalidCatalogPayload{"x"},
                   "format error: invalid catalog payload: x"},
        RenderCase{"TruncatedRecord", F::TruncatedRecordPayload{},
                   "format error: truncated record payload"},
        RenderCase{"RecordTypeMismatch", F::RecordTypeMismatch{},
                   "format error: record payload type does not match schema"},
        RenderCase{"RecordUtf8", F::InvalidRecordUtf8{},
                   "format error: invalid UTF-8 in record string"},
        RenderCase{"UnsupportedV1", F::UnsupportedTypeInV1{},
                   "format error: unsupported type in record payload v1"},
        RenderCase{"UnknownRecordVersion", F::UnknownRecordPayloadVersion{7},
                   "format error: unknown record payload version 7"},
        RenderCase{"TrailingRecord", F::TrailingRecordBytes{},
                   "format error: trailing bytes in record payload"},
        RenderCase{"InvalidTxn", F::InvalidTxnPayload{"m"},
                   "format error: invalid transaction marker payload: m"},
        RenderCase{"InvalidFieldPath", S::InvalidFieldPath{}, "schema error: invalid field path"},
        RenderCase{"DuplicateNameQuoteEscaped", S::DuplicateCollectionName{"a\"b"},
                   "schema error: duplicate collection name: \"a\\\"b\""},
        RenderCase{"UnknownId", S::UnknownCollectionId{4294967295u},
                   "schema error: unknown collection id 4294967295"},
        RenderCase{"UnknownNameNewline", S::UnknownCollectionName{"a\nb"},
                   "schema error: unknown collection name \"a\\nb\""},
        RenderCase{"InvalidName", S::InvalidCollectionName{},
                   "schema error: invalid collection name"},
        RenderCase{"InvalidVersion", S::InvalidSchemaVersion{2, 5},
                   "schema error: invalid schema version: expected 2, got 5"},
        RenderCase{"VersionLimit", S::SchemaVersionLimit{},
                   "schema error: schema version limit reached (cannot bump further)"},
        RenderCase{"UnexpectedId", S::UnexpectedCollectionId{1, 3},
                   "schema error: unexpected collection id in catalog replay: expected 1, got 3"},
        RenderCase{"NoPk", S::NoPrimaryKey{9},
                   "schema error: collection 9 has no primary key (upgrade catalog or "
                   "re-register)"},
        RenderCase{"PkNotFound", S::PrimaryFieldNotFound{"id"},
                   "schema error: primary field \"id\" not found as a top-level field"},
        RenderCase{"PkNotRetained", S::PrimaryFieldNotRetained{"id"},
                   "schema error: schema update must retain top-level primary field \"id\""},
        RenderCase{"InsertMissingPk", S::InsertMissingPrimaryKey{"id"},
                   "schema error: insert row missing primary key field \"id\""},
        RenderCase{"InsertMissingField", S::InsertMissingField{"x"},
                   "schema error: insert row missing field \"x\""},
        RenderCase{"Unique", S::UniqueIndexViolation{}, "schema error: unique index violation"},
        RenderCase{"Incompatible", S::IncompatibleChange{"r"},
                   "schema error: incompatible schema change: r"},
        RenderCase{"Migration", S::MigrationRequired{"r"}, "schema error: migration required: r"},
        RenderCase{"ValidationEmptyPath", ValidationError{{}, "bad"}, "validation error: bad"},
        RenderCase{"ValidationDottedPath", ValidationError{{"tags", "0"}, "bad"},
                   "validation error at tags.0: bad"},
        RenderCase{"Nested", TransactionError::Nested{},
                   "transaction error: nested transactions are not supported"},
        RenderCase{"QuerySyntax", DbError::QuerySyntax{"expected FROM"},
                   "query error: expected FROM"},
        RenderCase{"NotImplemented", DbError::NotImplemented{}, "not implemented"},
        RenderCase{"IoMessage", io_error(IoErrorKind::UnexpectedEof, "read past end of VecStore"),
                   "i/o error: read past end of VecStore"}),
    [](const ::testing::TestParamInfo<RenderCase>& p) { return std::string(p.param.name); });

TEST(ErrorTest, OsErrorShowsStrerrorAndNumber) {
  DbError e = io_error_from_errno(2);
  EXPECT_EQ(e.render(), std::string("i/o error: ") + std::strerror(2) + " (os error 2)");
  EXPECT_EQ(e.inner_text(), std::string(std::strerror(2)) + " (os error 2)");
  EXPECT_EQ(e.as<IoError>().kind, IoErrorKind::NotFound);
}

TEST(ErrorTest, InnerTextDropsOnlyThePrefix) {
  EXPECT_EQ(DbError(S::InvalidCollectionName{}).inner_text(), "invalid collection name");
  EXPECT_EQ(DbError(ValidationError{{"a"}, "m"}).inner_text(), "validation error at a: m");
  EXPECT_EQ(DbError(DbError::QuerySyntax{"q"}).inner_text(), "q");
  EXPECT_EQ(DbError(S::UniqueIndexViolation{}).category(), ErrorCategory::Schema);
}

struct DebugCase {
  const char* name;
  std::string input;
  std::string expected;
};

class DebugStringTest : public ::testing::TestWithParam<DebugCase> {};

TEST_P(DebugStringTest, Escapes) { EXPECT_EQ(debug_string(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Characters, DebugStringTest,
    ::testing::Values(DebugCase{"Plain", "abc", "\"abc\""}, DebugCase{"Empty", "", "\"\""},
                      DebugCase{"SingleQuoteKept", "it's", "\"it's\""},
                      DebugCase{"Controls", std::string("\t\r\n\0\\", 5), "\"\\t\\r\\n\\0\\\\\""},
                      DebugCase{"OtherControl", "\x01\x7f", "\"\\u{1}\\u{7f}\""},
                      DebugCase{"PrintableNonAscii", "caf\xc3\xa9 \xe6\x97\xa5",
                                "\"caf\xc3\xa9 \xe6\x97\xa5\""},
                      DebugCase{"CombiningAcute", "e\xcc\x81", "\"e\\u{301}\""},
                      DebugCase{"NoBreakSpace", "\xc2\xa0", "\"\\u{a0}\""},
                      DebugCase{"ZeroWidthJoiner", "\xe2\x80\x8d", "\"\\u{200d}\""},
                      DebugCase{"Emoji", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""}),
    [](const ::testing::TestParamInfo<DebugCase>& p) { return std::string(p.param.name); });

TEST(ResultTest, CarriesValueOrError) {
  Result<int> good = 3;
  ASSERT_OK(good);
  EXPECT_EQ(good.value(), 3);
  Result<int> bad = FormatError::SuperblockChecksumMismatch{};
  EXPECT_THAT(bad, testing::ErrorRenders("format error: superblock checksum mismatch"));
  EXPECT_THROW((void)bad.value(), InternalFault);
  Status st = SchemaError::UniqueIndexViolation{};
  EXPECT_THAT(st, testing::ErrorCategoryIs(ErrorCategory::Schema));
}

}  // namespace
}  // namespace quarn
