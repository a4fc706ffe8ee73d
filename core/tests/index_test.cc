// Index state rules (unique and non-unique, apply and delete, lookups, copies) and the index
// payload: golden bytes, round trips, version 1, every rejection.
#include "index.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/matchers.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using ::quarn::testing::IsOkAndHolds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

Bytes b(std::string_view text) { return Bytes(text.begin(), text.end()); }

// "02 00 ff" -> {0x02, 0x00, 0xff}; blanks are ignored.
Bytes hex(std::string_view text) {
  Bytes out;
  int pending = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int v = c <= '9' ? c - '0' : c - 'a' + 10;
    if (pending < 0) {
      pending = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(pending * 16 + v));
      pending = -1;
    }
  }
  return out;
}

IndexEntry entry(std::string name, std::string_view key, std::string_view pk,
                 IndexKind kind = IndexKind::Unique, IndexOp op = IndexOp::Insert,
                 std::uint32_t collection_id = 1) {
  return IndexEntry{std::move(name), b(key), b(pk), collection_id, kind, op};
}

IndexEntry del(std::string name, std::string_view key, std::string_view pk,
               IndexKind kind = IndexKind::Unique) {
  return entry(std::move(name), key, pk, kind, IndexOp::Delete);
}

std::optional<Bytes> unique(const IndexState& s, std::string_view name, std::string_view key,
                            std::uint32_t collection_id = 1) {
  const std::optional<ByteSpan> pk = s.unique_lookup(collection_id, name, b(key));
  if (!pk) return std::nullopt;
  return Bytes(pk->begin(), pk->end());
}

std::optional<std::vector<Bytes>> non_unique(const IndexState& s, std::string_view name,
                                             std::string_view key,
                                             std::uint32_t collection_id = 1) {
  return s.non_unique_lookup(collection_id, name, b(key));
}

constexpr IndexKind kNonUnique = IndexKind::NonUnique;

TEST(IndexStateTest, UniqueInsertIsIdempotentAndRefusesAnotherPk) {
  IndexState s;
  ASSERT_OK(s.apply(entry("u", "k", "p")));
  ASSERT_OK(s.apply(entry("u", "k", "p")));
  EXPECT_EQ(unique(s, "u", "k"), b("p"));

  EXPECT_THAT(s.apply(entry("u", "k", "q")), ErrorRenders("schema error: unique index violation"));
  EXPECT_EQ(unique(s, "u", "k"), b("p"));

  // One entry only: a single matching delete empties the key.
  ASSERT_OK(s.apply(del("u", "k", "p")));
  EXPECT_EQ(unique(s, "u", "k"), std::nullopt);
}

TEST(IndexStateTest, UniqueDeleteRemovesOnlyItsOwnPk) {
  IndexState s;
  ASSERT_OK(s.apply(entry("u", "k", "p")));
  ASSERT_OK(s.apply(del("u", "k", "q")));
  EXPECT_EQ(unique(s, "u", "k"), b("p"));
  ASSERT_OK(s.apply(del("u", "k", "p")));
  EXPECT_EQ(unique(s, "u", "k"), std::nullopt);
  // With the key gone, another primary key may take it.
  ASSERT_OK(s.apply(entry("u", "k", "q")));
  EXPECT_EQ(unique(s, "u", "k"), b("q"));
}

TEST(IndexStateTest, NonUniqueKeepsPksInByteOrderAndDropsEmptyKeys) {
  IndexState s;
  for (const char* pk : {"b", "a", "ab", "\x80", "a"}) {
    ASSERT_OK(s.apply(entry("n", "k", pk, kNonUnique)));
  }
  // Unsigned byte order: a prefix first, 0x80 after every ASCII byte; "a" only once.
  EXPECT_EQ(non_unique(s, "n", "k"), (std::vector<Bytes>{b("a"), b("ab"), b("b"), b("\x80")}));

  ASSERT_OK(s.apply(del("n", "k", "zz", kNonUnique)));
  EXPECT_EQ(non_unique(s, "n", "k")->size(), 4u);
  for (const char* pk : {"b", "a", "ab", "\x80"}) {
    ASSERT_OK(s.apply(del("n", "k", pk, kNonUnique)));
  }
  EXPECT_EQ(non_unique(s, "n", "k"), std::nullopt);
}

TEST(IndexStateTest, KindsLiveInSeparateMaps) {
  IndexState s;
  ASSERT_OK(s.apply(entry("i", "k", "p")));
  ASSERT_OK(s.apply(entry("i", "k", "q", kNonUnique)));
  EXPECT_EQ(unique(s, "i", "k"), b("p"));
  EXPECT_EQ(non_unique(s, "i", "k"), std::vector<Bytes>{b("q")});

  ASSERT_OK(s.apply(del("i", "k", "p")));
  EXPECT_EQ(unique(s, "i", "k"), std::nullopt);
  EXPECT_EQ(non_unique(s, "i", "k"), std::vector<Bytes>{b("q")});
}

TEST(IndexStateTest, IndexesAreKeyedByCollectionAndName) {
  IndexState s;
  ASSERT_OK(s.apply(entry("u", "k", "p", IndexKind::Unique, IndexOp::Insert, 1)));
  // Neither another collection's index of the same name nor another name conflicts.
  ASSERT_OK(s.apply(entry("u", "k", "q", IndexKind::Unique, IndexOp::Insert, 2)));
  ASSERT_OK(s.apply(entry("v", "k", "r")));
  EXPECT_EQ(unique(s, "u", "k", 1), b("p"));
  EXPECT_EQ(unique(s, "u", "k", 2), b("q"));
  EXPECT_EQ(unique(s, "v", "k"), b("r"));
  EXPECT_EQ(unique(s, "u", "k", 3), std::nullopt);
  EXPECT_EQ(unique(s, "u", "other"), std::nullopt);
}

TEST(IndexStateTest, DeletesOfMissingEntriesSucceed) {
  IndexState s;
  EXPECT_OK(s.apply(del("nowhere", "k", "p")));
  EXPECT_OK(s.apply(del("nowhere", "k", "p", kNonUnique)));
  EXPECT_EQ(unique(s, "nowhere", "k"), std::nullopt);
  EXPECT_EQ(non_unique(s, "nowhere", "k"), std::nullopt);
}

TEST(IndexStateTest, EmptyKeyAndPkAreOrdinaryBytes) {
  IndexState s;
  ASSERT_OK(s.apply(entry("u", "", "")));
  EXPECT_EQ(unique(s, "u", ""), Bytes{});
  EXPECT_THAT(s.apply(entry("u", "", "p")), ErrorRenders("schema error: unique index violation"));

  ASSERT_OK(s.apply(entry("n", "", "", kNonUnique)));
  ASSERT_OK(s.apply(entry("n", "", "p", kNonUnique)));
  EXPECT_EQ(non_unique(s, "n", ""), (std::vector<Bytes>{Bytes{}, b("p")}));
}

TEST(IndexStateTest, CopiesAreIndependent) {
  IndexState committed;
  ASSERT_OK(committed.apply(entry("u", "k", "p")));
  ASSERT_OK(committed.apply(entry("n", "k", "p", kNonUnique)));

  IndexState staged = committed;
  ASSERT_OK(staged.apply(del("u", "k", "p")));
  ASSERT_OK(staged.apply(entry("n", "k", "q", kNonUnique)));
  ASSERT_OK(staged.apply(entry("u", "k2", "p")));

  EXPECT_EQ(unique(committed, "u", "k"), b("p"));
  EXPECT_EQ(unique(committed, "u", "k2"), std::nullopt);
  EXPECT_EQ(non_unique(committed, "n", "k"), std::vector<Bytes>{b("p")});
  EXPECT_EQ(unique(staged, "u", "k"), std::nullopt);
  EXPECT_EQ(non_unique(staged, "n", "k"), (std::vector<Bytes>{b("p"), b("q")}));

  // Assignment replaces the whole state, as a commit of the staged copy does.
  committed = staged;
  EXPECT_EQ(unique(committed, "u", "k2"), b("p"));
  EXPECT_EQ(non_unique(committed, "n", "k")->size(), 2u);
}

// v2 header with one entry: collection 7, Unique, Delete, name "u", key "k", pk "p".
constexpr std::string_view kOneEntryV2 =
    "0200 01000000 07000000 01 02 01000000 75 01000000 6b 01000000 70";

TEST(IndexPayloadTest, EncodesGoldenBytes) {
  EXPECT_EQ(encode_index_payload({}), hex("0200 00000000"));
  EXPECT_EQ(encode_index_payload({entry("u", "k", "p", IndexKind::Unique, IndexOp::Delete, 7)}),
            hex(kOneEntryV2));
  EXPECT_EQ(
      encode_index_payload({entry("ix", "", "\x01\x02", kNonUnique, IndexOp::Insert, 0x01020304)}),
      hex("0200 01000000 04030201 02 01 02000000 6978 00000000 02000000 0102"));
}

TEST(IndexPayloadTest, RoundTripsEntriesInOrder) {
  const std::vector<IndexEntry> entries = {
      entry("by_email", "a@b", std::string_view("\x05\0\0\0\0\0\0\0", 8)),
      entry("by_tag", "red", "pk1", kNonUnique, IndexOp::Delete, 4294967295u),
      entry("\xc3\xa9t\xc3\xa9", "", "", kNonUnique),
      entry("by_email", std::string_view("\0\xff", 2), "x", IndexKind::Unique, IndexOp::Delete, 0),
  };
  EXPECT_THAT(decode_index_payload(encode_index_payload(entries)), IsOkAndHolds(entries));
  EXPECT_THAT(decode_index_payload(encode_index_payload({})), IsOkAndHolds(IsEmpty()));
}

TEST(IndexPayloadTest, VersionOneEntriesAreInserts) {
  const Bytes v1 =
      hex("0100 02000000"
          " 03000000 01 01000000 75 01000000 6b 01000000 70"
          " 03000000 02 01000000 6e 00000000 00000000");
  EXPECT_THAT(decode_index_payload(v1),
              IsOkAndHolds(ElementsAre(entry("u", "k", "p", IndexKind::Unique, IndexOp::Insert, 3),
                                       entry("n", "", "", kNonUnique, IndexOp::Insert, 3))));
}

TEST(IndexPayloadTest, ForgedCountFailsWithoutLargeAllocation) {
  // The count claims 2^32 - 1 entries; only one follows.
  Bytes payload = hex(kOneEntryV2);
  payload[2] = payload[3] = payload[4] = payload[5] = 0xff;
  EXPECT_THAT(decode_index_payload(payload),
              ErrorRenders("format error: invalid catalog payload: unexpected eof"));
}

struct RejectCase {
  const char* name;
  std::string_view payload;
  const char* text;
};

class IndexPayloadRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(IndexPayloadRejectTest, FailsWithExactText) {
  EXPECT_THAT(decode_index_payload(hex(GetParam().payload)), ErrorRenders(GetParam().text));
}

constexpr const char* kEof = "format error: invalid catalog payload: unexpected eof";

INSTANTIATE_TEST_SUITE_P(
    EveryError, IndexPayloadRejectTest,
    ::testing::Values(
        RejectCase{"Empty", "", kEof}, RejectCase{"OneByte", "02", kEof},
        RejectCase{"VersionZero", "0000 00000000", "format error: unsupported format version 0.0"},
        RejectCase{"VersionThree", "0300 00000000", "format error: unsupported format version 0.3"},
        RejectCase{"VersionMax", "ffff", "format error: unsupported format version 0.65535"},
        RejectCase{"NoCount", "0200", kEof}, RejectCase{"ShortCount", "0200 000000", kEof},
        RejectCase{"NoEntry", "0200 01000000", kEof},
        RejectCase{"ShortCollectionId", "0200 01000000 070000", kEof},
        RejectCase{"NoKind", "0200 01000000 07000000", kEof},
        RejectCase{"KindZero", "0200 01000000 07000000 00",
                   "format error: invalid catalog payload: unknown index kind tag 0"},
        RejectCase{"KindThree", "0200 01000000 07000000 03 01",
                   "format error: invalid catalog payload: unknown index kind tag 3"},
        RejectCase{"KindMax", "0100 01000000 07000000 ff",
                   "format error: invalid catalog payload: unknown index kind tag 255"},
        RejectCase{"NoOp", "0200 01000000 07000000 01", kEof},
        RejectCase{"OpZero", "0200 01000000 07000000 01 00",
                   "format error: invalid catalog payload: unknown index op tag 0"},
        RejectCase{"OpThree", "0200 01000000 07000000 01 03",
                   "format error: invalid catalog payload: unknown index op tag 3"},
        RejectCase{"NoNameLength", "0200 01000000 07000000 01 01 0100", kEof},
        // Refused before the missing rest is read.
        RejectCase{"EmptyName", "0200 01000000 07000000 01 01 00000000",
                   "format error: invalid catalog payload: empty index name"},
        RejectCase{"EmptyNameV1", "0100 01000000 07000000 01 00000000",
                   "format error: invalid catalog payload: empty index name"},
        RejectCase{"NameLongerThanPayload", "0200 01000000 07000000 01 01 ffffffff 75", kEof},
        RejectCase{"NameNotUtf8", "0200 01000000 07000000 01 01 01000000 ff",
                   "format error: invalid catalog payload: invalid utf-8 in index name"},
        RejectCase{"NameOverlongUtf8", "0200 01000000 07000000 01 01 02000000 c080",
                   "format error: invalid catalog payload: invalid utf-8 in index name"},
        RejectCase{"NameSurrogate", "0200 01000000 07000000 01 01 03000000 eda080",
                   "format error: invalid catalog payload: invalid utf-8 in index name"},
        RejectCase{"NameCutUtf8", "0200 01000000 07000000 01 01 01000000 c3",
                   "format error: invalid catalog payload: invalid utf-8 in index name"},
        RejectCase{"NoKey", "0200 01000000 07000000 01 01 01000000 75", kEof},
        RejectCase{"KeyLongerThanPayload", "0200 01000000 07000000 01 01 01000000 75 05000000 6b",
                   kEof},
        RejectCase{"NoPk", "0200 01000000 07000000 01 01 01000000 75 01000000 6b", kEof},
        RejectCase{"ShortPk", "0200 01000000 07000000 01 01 01000000 75 01000000 6b 02000000 70",
                   kEof},
        RejectCase{"TrailingAfterEmptyList", "0200 00000000 00",
                   "format error: invalid catalog payload: trailing bytes in index payload"},
        RejectCase{"TrailingAfterEntry",
                   "0200 01000000 07000000 01 02 01000000 75 01000000 6b 01000000 70 00",
                   "format error: invalid catalog payload: trailing bytes in index payload"},
        // Read as version 1, the op byte of a version 2 entry shifts every later field.
        RejectCase{"VersionTwoEntryReadAsOne",
                   "0100 01000000 07000000 01 02 01000000 75 01000000 6b 01000000 70", kEof}),
    [](const ::testing::TestParamInfo<RejectCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quarn
