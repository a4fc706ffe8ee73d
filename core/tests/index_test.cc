// Index state rules (unique and non-unique, apply and delete, lookups, copies) and the index
// payload: golden bytes, round trips, version 1, every rejection.
#include "index.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <span>
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

// Keys whose lengths need one, two and three length bytes, and keys that prefix one another,
// each keep their own primary key, committed and through an absorbed overlay.
TEST(IndexStateTest, UniqueKeysOfEveryLengthKeepTheirPks) {
  const std::size_t lengths[] = {0, 1, 2, 127, 128, 300, 20000};
  const auto key_of = [](std::size_t n) { return std::string(n, 'k'); };
  const auto pk_of = [](std::size_t n) {
    return "p" + std::to_string(n) + std::string(n % 200, 'x');
  };
  IndexState s;
  for (const std::size_t n : lengths) ASSERT_OK(s.apply(entry("u", key_of(n), pk_of(n))));
  IndexState overlay = IndexState::overlay_on(s);
  for (const std::size_t n : lengths) {
    ASSERT_OK(overlay.apply(del("u", key_of(n), pk_of(n))));
    ASSERT_OK(overlay.apply(entry("u", key_of(n), pk_of(n + 1))));
  }
  for (const std::size_t n : lengths) {
    EXPECT_EQ(unique(s, "u", key_of(n)), b(pk_of(n))) << n;
    EXPECT_EQ(unique(overlay, "u", key_of(n)), b(pk_of(n + 1))) << n;
  }
  s.absorb(std::move(overlay));
  for (const std::size_t n : lengths) {
    EXPECT_EQ(unique(s, "u", key_of(n)), b(pk_of(n + 1))) << n;
    EXPECT_THAT(s.apply(entry("u", key_of(n), pk_of(n))),
                ErrorRenders("schema error: unique index violation"));
  }
  EXPECT_EQ(unique(s, "u", key_of(3)), std::nullopt);
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

std::vector<Bytes> contents(const PkSet& set) {
  std::vector<Bytes> out;
  set.for_each([&](ByteSpan pk) { out.emplace_back(pk.begin(), pk.end()); });
  return out;
}

// A seeded random run against std::set: keys of every length from empty to several chunks, so
// prefixes, chunk splits, joins and lone oversized keys all occur.
TEST(PkSetTest, MatchesAnOrderedSetThroughInsertsAndErases) {
  for (const std::uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::set<Bytes> model;
    PkSet set;
    const auto random_pk = [&] {
      const std::size_t sizes[] = {0, 1, 2, 3, 9, 130, 700};
      Bytes pk(sizes[rng() % 7]);
      // Few distinct bytes: many keys share prefixes, and re-inserts and erases hit.
      for (std::uint8_t& byte : pk) byte = static_cast<std::uint8_t>(0x7e + rng() % 4);
      return pk;
    };
    for (int step = 0; step < 4000; ++step) {
      const Bytes pk = random_pk();
      // Grow for the first half, then shrink to nothing.
      if (rng() % 4 < (step < 2000 ? 3u : 1u)) {
        ASSERT_EQ(set.insert(pk), model.insert(pk).second) << "seed " << seed;
      } else {
        ASSERT_EQ(set.erase(pk), model.erase(pk) == 1) << "seed " << seed;
      }
      ASSERT_EQ(set.contains(pk), model.contains(pk)) << "seed " << seed;
      if (step % 97 == 0 || step == 1999) {
        ASSERT_EQ(contents(set), std::vector<Bytes>(model.begin(), model.end())) << "seed " << seed;
        ASSERT_EQ(set.empty(), model.empty());
      }
    }
    for (const Bytes& pk : std::vector<Bytes>(model.begin(), model.end())) {
      ASSERT_TRUE(set.erase(pk));
    }
    EXPECT_TRUE(set.empty());
    EXPECT_EQ(set.chunk_count(), 0u);
    EXPECT_FALSE(set.contains(Bytes{}));
  }
}

// One key of 100k primary keys, each 8 bytes, changed one at a time in random order: every
// change moves one chunk, not the set. Copies stay independent.
TEST(PkSetTest, LargeSetInRandomOrder) {
  constexpr std::uint64_t kCount = 100000;
  std::vector<std::uint64_t> order(kCount);
  for (std::uint64_t i = 0; i < kCount; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  const auto pk_of = [](std::uint64_t v) {
    Bytes pk(8);
    for (int i = 0; i < 8; ++i)
      pk[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
    return pk;
  };
  PkSet set;
  for (const std::uint64_t v : order) ASSERT_TRUE(set.insert(pk_of(v)));
  EXPECT_GT(set.chunk_count(), 100u);
  const PkSet copy = set;
  std::vector<Bytes> all = contents(set);
  ASSERT_EQ(all.size(), kCount);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(all.front(), pk_of(0));
  EXPECT_EQ(all.back(), pk_of(kCount - 1));

  for (const std::uint64_t v : order) ASSERT_TRUE(set.erase(pk_of(v)));
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(contents(copy).size(), kCount);
}

// Keys added in ascending order fill their chunks instead of leaving each half empty.
TEST(PkSetTest, AscendingFillLeavesChunksFull) {
  PkSet set;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(set.insert(b("pk" + std::to_string(10000 + i))));  // 7 bytes, 8 with length
  }
  EXPECT_LE(set.chunk_count(), 1000 * 8 / PkSet::kMaxChunkBytes + 2);
}

// An overlay's view of one non-unique key after a run of changes, the base untouched until
// absorb, and the absorbed state the same as the changes applied to a copy of the base.
struct OverlayCase {
  const char* name;
  std::vector<const char*> base;
  std::vector<std::pair<IndexOp, const char*>> ops;
  std::optional<std::vector<Bytes>> expected;
};

class NonUniqueOverlayTest : public ::testing::TestWithParam<OverlayCase> {};

TEST_P(NonUniqueOverlayTest, OverlaySeesChangesAndAbsorbMatchesDirectApply) {
  const OverlayCase& c = GetParam();
  IndexState base;
  for (const char* pk : c.base) ASSERT_OK(base.apply(entry("n", "k", pk, kNonUnique)));
  IndexState direct = base;
  const std::optional<std::vector<Bytes>> before = non_unique(base, "n", "k");

  IndexState overlay = IndexState::overlay_on(base);
  for (const auto& [op, pk] : c.ops) {
    ASSERT_OK(overlay.apply(entry("n", "k", pk, kNonUnique, op)));
    ASSERT_OK(direct.apply(entry("n", "k", pk, kNonUnique, op)));
    ASSERT_EQ(non_unique(overlay, "n", "k"), non_unique(direct, "n", "k")) << "after " << pk;
  }
  EXPECT_EQ(non_unique(overlay, "n", "k"), c.expected);
  EXPECT_EQ(non_unique(base, "n", "k"), before);

  base.absorb(std::move(overlay));
  EXPECT_EQ(non_unique(base, "n", "k"), c.expected);
  // The absorbed set keeps working as a committed one.
  ASSERT_OK(base.apply(entry("n", "k", "m", kNonUnique)));
  ASSERT_OK(direct.apply(entry("n", "k", "m", kNonUnique)));
  EXPECT_EQ(non_unique(base, "n", "k"), non_unique(direct, "n", "k"));
}

constexpr IndexOp kIns = IndexOp::Insert;
constexpr IndexOp kDel = IndexOp::Delete;

INSTANTIATE_TEST_SUITE_P(
    Cases, NonUniqueOverlayTest,
    ::testing::Values(OverlayCase{"AddToNewKey",
                                  {},
                                  {{kIns, "b"}, {kIns, "a"}, {kIns, "ab"}},
                                  std::vector<Bytes>{b("a"), b("ab"), b("b")}},
                      OverlayCase{
                          "AddAndRemoveOnNewKey", {}, {{kIns, "a"}, {kDel, "a"}}, std::nullopt},
                      OverlayCase{"RemoveLastOfBase", {"a"}, {{kDel, "a"}}, std::nullopt},
                      OverlayCase{"RemoveReAddRemove",
                                  {"a", "b"},
                                  {{kDel, "a"}, {kIns, "a"}, {kDel, "a"}, {kDel, "b"}, {kIns, "b"}},
                                  std::vector<Bytes>{b("b")}},
                      OverlayCase{"MixedWithPrefixes",
                                  {"a", "ab", "b"},
                                  {{kDel, "ab"},
                                   {kIns, ""},
                                   {kIns, "aa"},
                                   {kIns, "a"},
                                   {kDel, "zz"},
                                   {kIns, "abc"},
                                   {kDel, "b"}},
                                  std::vector<Bytes>{Bytes{}, b("a"), b("aa"), b("abc")}},
                      OverlayCase{"EmptyThenRefill",
                                  {"a", "b"},
                                  {{kDel, "a"}, {kDel, "b"}, {kIns, "c"}},
                                  std::vector<Bytes>{b("c")}}),
    [](const ::testing::TestParamInfo<OverlayCase>& p) { return std::string(p.param.name); });

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

IndexEntry owned_copy(const IndexEntryView& v) {
  return IndexEntry{std::string(v.index_name),
                    Bytes(v.key.begin(), v.key.end()),
                    Bytes(v.pk.begin(), v.pk.end()),
                    v.collection_id,
                    v.kind,
                    v.op};
}

bool lies_in(ByteSpan part, ByteSpan whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// The view decoder agrees with the owning one on payload: the same entries, as views into the
// payload, or the same first error. Its storage holds another payload's entries beforehand, as
// when it is reused from segment to segment.
void expect_view_decoder_agrees(ByteSpan payload) {
  const Bytes earlier = hex(kOneEntryV2);
  std::vector<IndexEntryView> storage;
  ASSERT_OK(decode_index_payload_views(earlier, storage));
  ASSERT_EQ(storage.size(), 1u);

  const Result<std::vector<IndexEntry>> owning = decode_index_payload(payload);
  const Result<std::span<const IndexEntryView>> views =
      decode_index_payload_views(payload, storage);
  if (!owning.ok()) {
    EXPECT_THAT(views, ErrorRenders(owning.error().render()));
    return;
  }
  ASSERT_OK(views);
  std::vector<IndexEntry> copied;
  for (const IndexEntryView& v : views.value()) {
    EXPECT_TRUE(lies_in(as_span(v.index_name), payload) && lies_in(v.key, payload) &&
                lies_in(v.pk, payload));
    copied.push_back(owned_copy(v));
  }
  EXPECT_EQ(copied, owning.value());
}

TEST_P(IndexPayloadRejectTest, ViewDecoderFailsAlike) {
  expect_view_decoder_agrees(hex(GetParam().payload));
}

struct ViewDecodeCase {
  const char* name;
  Bytes payload;
};

void PrintTo(const ViewDecodeCase& c, std::ostream* os) { *os << c.name; }

class IndexPayloadViewTest : public ::testing::TestWithParam<ViewDecodeCase> {};

TEST_P(IndexPayloadViewTest, ViewDecoderGivesTheSameEntries) {
  expect_view_decoder_agrees(GetParam().payload);
}

INSTANTIATE_TEST_SUITE_P(
    Valid, IndexPayloadViewTest,
    ::testing::Values(
        ViewDecodeCase{"Empty", hex("0200 00000000")}, ViewDecodeCase{"OneEntry", hex(kOneEntryV2)},
        ViewDecodeCase{"VersionOne", hex("0100 02000000"
                                         " ffffffff 02 02000000 c3a9 00000000 01000000 01"
                                         " 00000000 01 01000000 75 02000000 6b6b 00000000")},
        ViewDecodeCase{"Mixed", encode_index_payload({
                                    entry("by_email", "a@b", std::string_view("\x05\0\0\0", 4)),
                                    entry("by_tag", "red", "pk1", kNonUnique, IndexOp::Delete, 9),
                                    entry("by_tag", "", "", kNonUnique),
                                    entry("by_email", std::string(300, 'k'), "x", IndexKind::Unique,
                                          IndexOp::Delete, 0),
                                })}),
    [](const ::testing::TestParamInfo<ViewDecodeCase>& p) { return std::string(p.param.name); });

std::string outcome(const Status& status) { return status.ok() ? "ok" : status.error().render(); }

// Every lookup over the run's small universe, to compare two states by.
std::vector<std::optional<std::vector<Bytes>>> every_lookup(const IndexState& s) {
  std::vector<std::optional<std::vector<Bytes>>> out;
  for (const std::uint32_t collection_id : {1u, 2u}) {
    for (const char* key : {"", "a", "b"}) {
      const std::optional<Bytes> owner = unique(s, "u", key, collection_id);
      out.push_back(owner ? std::optional(std::vector<Bytes>{*owner}) : std::nullopt);
      out.push_back(non_unique(s, "n", key, collection_id));
    }
  }
  return out;
}

// A seeded random run of inserts and deletes, duplicate, conflicting and absent ones included,
// applied as owned entries to one state and as views to another, committed and in an overlay:
// each step has the same outcome and leaves the same lookups, and so does the absorb. The views
// are of a copy that is gone before the next step, so a state that kept them would show it.
TEST(IndexStateTest, ApplyByViewMatchesApplyByEntry) {
  for (const bool in_overlay : {false, true}) {
    for (const std::uint32_t seed : {1u, 2u, 3u}) {
      SCOPED_TRACE(std::string(in_overlay ? "overlay" : "committed") + ", seed " +
                   std::to_string(seed));
      std::mt19937 rng(seed);
      const auto random_entry = [&] {
        const char* keys[] = {"", "a", "b"};
        const char* pks[] = {"p", "q", "pq"};
        const bool non_unique_kind = rng() % 2 == 0;
        const char* key = keys[rng() % 3];
        const char* pk = pks[rng() % 3];
        const IndexOp op = rng() % 3 == 0 ? IndexOp::Delete : IndexOp::Insert;
        const std::uint32_t collection_id = rng() % 4 == 0 ? 2 : 1;
        return entry(non_unique_kind ? "n" : "u", key, pk,
                     non_unique_kind ? kNonUnique : IndexKind::Unique, op, collection_id);
      };
      IndexState by_entry_base;
      // Violations in the setup change nothing and do not matter.
      for (int i = 0; i < 20; ++i) {
        ignore_error(by_entry_base.apply(random_entry()), "setup entries may conflict");
      }
      IndexState by_view_base = by_entry_base;
      IndexState by_entry = in_overlay ? IndexState::overlay_on(by_entry_base) : by_entry_base;
      IndexState by_view = in_overlay ? IndexState::overlay_on(by_view_base) : by_view_base;
      for (int step = 0; step < 300; ++step) {
        const IndexEntry e = random_entry();
        auto copy = std::make_unique<IndexEntry>(e);
        const Status via_view = by_view.apply(IndexEntryView{
            copy->index_name, copy->key, copy->pk, copy->collection_id, copy->kind, copy->op});
        copy.reset();
        ASSERT_EQ(outcome(via_view), outcome(by_entry.apply(e))) << "step " << step;
        ASSERT_EQ(every_lookup(by_view), every_lookup(by_entry)) << "step " << step;
      }
      if (in_overlay) {
        by_entry_base.absorb(std::move(by_entry));
        by_view_base.absorb(std::move(by_view));
        EXPECT_EQ(every_lookup(by_view_base), every_lookup(by_entry_base));
      }
    }
  }
}

}  // namespace
}  // namespace quarn
