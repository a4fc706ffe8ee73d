// The external sort: sort-key order across and within kinds, the run codec, the merge heap, the
// spill file that always cuts the file back, and ORDER BY queries through it.
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "db/database.h"
#include "segments/reader.h"
#include "segments/writer.h"
#include "spill_internal.h"
#include "testing/matchers.h"
#include "testing/rows.h"
#include "testing/temp_dir.h"

namespace quarn {
namespace {

using ::quarn::testing::ErrorRenders;
using ::quarn::testing::FileSizeLimit;
using ::quarn::testing::i64;
using ::quarn::testing::index_def;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::null;
using ::quarn::testing::opt;
using ::quarn::testing::read_file;
using ::quarn::testing::TempDir;
using ::quarn::testing::write_file;
using K = Type::Kind;

using S = ScalarValue;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();

S f64(double v) { return S::Float64{v}; }
S nan_with_sign(bool negative) {
  return S::Float64{std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1 : 1)};
}

// Strictly ascending in the external sort's order: kinds by kind byte, values within a kind.
std::vector<S> ascending_values() {
  return {
      S::Bool{false},
      S::Bool{true},
      S::Int64{kMinI64},
      S::Int64{-1},
      S::Int64{0},
      S::Int64{1},
      S::Int64{256},
      S::Int64{kMaxI64},
      S::Uint64{0},
      S::Uint64{1},
      S::Uint64{256},
      S::Uint64{std::numeric_limits<std::uint64_t>::max()},
      nan_with_sign(true),
      f64(-kInf),
      f64(-1.5),
      f64(-std::numeric_limits<double>::denorm_min()),
      f64(-0.0),
      f64(0.0),
      f64(std::numeric_limits<double>::denorm_min()),
      f64(1.5),
      f64(kInf),
      nan_with_sign(false),
      S::String{""},
      S::String{"B"},
      S::String{"a"},
      S::String{"ab"},
      S::String{"\xc3\xa9"},
      S::Bytes{{}},
      S::Bytes{{0}},
      S::Bytes{{0, 0}},
      S::Bytes{{255}},
      S::Uuid{{0}},
      S::Uuid{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      S::Uuid{{1}},
      S::Timestamp{kMinI64},
      S::Timestamp{-1},
      S::Timestamp{0},
      S::Timestamp{kMaxI64},
  };
}

TEST(SortKeyTest, ByteOrderIsValueOrderAcrossAndWithinKinds) {
  const std::vector<S> values = ascending_values();
  for (std::size_t i = 0; i < values.size(); ++i) {
    for (std::size_t j = 0; j < values.size(); ++j) {
      const int c =
          compare_sort_items(false, sort_key(values[i]), {}, false, sort_key(values[j]), {});
      EXPECT_EQ(c, i < j ? -1 : (i > j ? 1 : 0))
          << values[i].debug() << " vs " << values[j].debug();
    }
  }
}

struct GoldenKey {
  const char* name;
  S value;
  Bytes key;
};

class SortKeyGoldenTest : public ::testing::TestWithParam<GoldenKey> {};

TEST_P(SortKeyGoldenTest, EncodesBigEndianWithKindByte) {
  EXPECT_EQ(sort_key(GetParam().value), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SortKeyGoldenTest,
    ::testing::Values(
        GoldenKey{"BoolTrue", S::Bool{true}, {0x00, 0x01}},
        GoldenKey{
            "Int64MinusOne", S::Int64{-1}, {0x01, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
        GoldenKey{"Int64One", S::Int64{1}, {0x01, 0x80, 0, 0, 0, 0, 0, 0, 0x01}},
        GoldenKey{"Uint64BigEndian", S::Uint64{0x0102}, {0x02, 0, 0, 0, 0, 0, 0, 0x01, 0x02}},
        GoldenKey{"Float64Zero", f64(0.0), {0x03, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        GoldenKey{"Float64NegativeZero",
                  f64(-0.0),
                  {0x03, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
        GoldenKey{"Float64One", f64(1.0), {0x03, 0xbf, 0xf0, 0, 0, 0, 0, 0, 0}},
        GoldenKey{"StringRaw", S::String{"ab"}, {0x04, 'a', 'b'}},
        GoldenKey{"BytesRaw", S::Bytes{{}}, {0x05}},
        GoldenKey{"UuidAsStored",
                  S::Uuid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
                  {0x06, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        GoldenKey{"TimestampSignFlipped", S::Timestamp{0}, {0x07, 0x80, 0, 0, 0, 0, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<GoldenKey>& param) { return param.param.name; });

SortItem item(std::optional<S> value, Bytes pk) {
  SortItem out;
  out.is_null = !value.has_value();
  if (value) out.key = sort_key(*value);
  out.collection_id = 1;
  out.pk = std::move(pk);
  return out;
}

TEST(SortItemTest, NullLastThenKeyThenPrimaryKeyAndDescReversesAll) {
  // Already in natural order: equal values tie-break on pk bytes, nulls last among themselves.
  const std::vector<SortItem> natural = {
      item(S::Int64{-5}, {9}), item(S::Int64{3}, {1}),   item(S::Int64{3}, {1, 0}),
      item(S::Int64{3}, {2}),  item(S::String{""}, {0}), item(std::nullopt, {0}),
      item(std::nullopt, {7}),
  };
  auto pks = [](const std::vector<SortItem>& items) {
    std::vector<Bytes> out;
    for (const SortItem& i : items) out.push_back(i.pk);
    return out;
  };
  std::vector<SortItem> shuffled = {natural[3], natural[6], natural[0], natural[5],
                                    natural[2], natural[4], natural[1]};
  sort_run_items(shuffled, false);
  EXPECT_EQ(pks(shuffled), pks(natural));
  sort_run_items(shuffled, true);
  EXPECT_EQ(pks(shuffled), pks(std::vector<SortItem>(natural.rbegin(), natural.rend())));
}

TEST(RunCodecTest, EncodesItemLayout) {
  const std::vector<SortItem> items = {item(S::Bool{true}, {0xaa}), item(std::nullopt, {})};
  const Bytes expected = {0, 2, 0, 0, 0, 0x00, 0x01, 1, 0, 0, 0, 0xaa, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(encode_run(items), expected);
}

TEST(RunCodecTest, ReaderRoundTripsAndEndsQuietlyOnACutItem) {
  const std::vector<SortItem> items = {item(S::String{"xy"}, {1, 2}), item(std::nullopt, {3}),
                                       item(S::Bytes{{}}, {})};
  const Bytes run = encode_run(items);
  // Cutting the run anywhere yields exactly the items that are complete before the cut.
  std::vector<std::size_t> ends;
  for (std::size_t at = 0, i = 0; i < items.size(); ++i) {
    at += 9 + items[i].key.size() + items[i].pk.size();
    ends.push_back(at);
  }
  for (std::size_t cut = 0; cut <= run.size(); ++cut) {
    RunReader reader(Bytes(run.begin(), run.begin() + static_cast<std::ptrdiff_t>(cut)));
    std::size_t complete = 0;
    while (complete < ends.size() && ends[complete] <= cut) ++complete;
    for (std::size_t i = 0; i < complete; ++i) {
      std::optional<RunReader::Item> got = reader.next_item();
      ASSERT_TRUE(got.has_value()) << "cut " << cut;
      EXPECT_EQ(got->key, items[i].key);
      EXPECT_EQ(got->pk, items[i].pk);
      EXPECT_EQ(got->is_null, items[i].is_null);
    }
    EXPECT_FALSE(reader.next_item().has_value()) << "cut " << cut;
    EXPECT_FALSE(reader.next_item().has_value()) << "cut " << cut;
  }
}

TEST(HeapItemTest, MaxHeapPopsInDeliveryOrder) {
  // A heap item views its run's bytes; these stand in for them.
  std::vector<Bytes> keys;
  std::vector<Bytes> pks;
  for (const std::uint8_t pk : std::vector<std::uint8_t>{3, 1, 4, 0, 2}) {
    // pk 4 has no value; 1 and 3 share a value.
    keys.push_back(pk == 4 ? Bytes{} : sort_key(S::Int64{pk == 3 ? 1 : pk}));
    pks.push_back(Bytes{pk});
  }
  for (const bool desc : {false, true}) {
    std::priority_queue<HeapItem> heap;
    for (std::size_t i = 0; i < pks.size(); ++i) {
      heap.push(HeapItem{keys[i], pks[i], 0, desc, pks[i][0] == 4, std::nullopt});
    }
    std::vector<std::uint8_t> popped;
    while (!heap.empty()) {
      popped.push_back(heap.top().pk[0]);
      heap.pop();
    }
    const std::vector<std::uint8_t> asc = {0, 1, 3, 2, 4};
    EXPECT_EQ(popped, desc ? std::vector<std::uint8_t>(asc.rbegin(), asc.rend()) : asc);
  }
}

// The names in a directory; an unnamed spill file never shows up here.
std::vector<std::string> entries(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    out.push_back(entry.path().filename().string());
  }
  return out;
}

TEST(TempSpillFileTest, AppendsTypedSegmentsToAnUnnamedPrivateFile) {
  TempDir dir;
  ASSERT_OK_AND_ASSIGN(TempSpillFile spill, TempSpillFile::create(dir.path().string()));
  struct stat st {};
  ASSERT_EQ(::fstat(spill.store().paged().inner().fd(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_nlink, 0u);
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{});
  const Bytes a = {1, 2, 3};
  const Bytes b(20000, 7);  // spans pages of the spill store's cache
  EXPECT_THAT(spill.append_temp_segment(a), IsOkAndHolds(0u));
  EXPECT_THAT(spill.append_temp_segment(b), IsOkAndHolds(32u + 3));
  EXPECT_THAT(spill.read_temp_payload(32 + 3, b.size()), IsOkAndHolds(b));
  EXPECT_THAT(spill.read_temp_payload(0, a.size()), IsOkAndHolds(a));
  EXPECT_THAT(spill.read_temp_payload(32 + 3, b.size() + 1),
              ErrorRenders("i/o error: read past end of store"));
  ASSERT_OK_AND_ASSIGN(const auto segments, scan_segments(spill.store(), 0));
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1].header.segment_type, SegmentType::TempSpill);
  EXPECT_EQ(segments[1].header.payload_len, b.size());
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{});
}

TEST(TempSpillFileTest, TempDirIsTmpdirWhenItNamesADirectory) {
  TempDir dir;
  const char* saved = std::getenv("TMPDIR");
  const std::optional<std::string> old = saved ? std::optional<std::string>(saved) : std::nullopt;
  const std::string file = dir.file("plain").string();
  write_file(file, Bytes{1});
  const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
      {dir.path().string(), dir.path().string()}, {std::nullopt, "/tmp"}, {"", "/tmp"},
      {dir.file("absent").string(), "/tmp"},      {file, "/tmp"},
  };
  for (const auto& [env, expected] : cases) {
    if (env) {
      ::setenv("TMPDIR", env->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    EXPECT_EQ(spill_temp_dir(), expected) << (env ? *env : "unset");
  }
  if (old) {
    ::setenv("TMPDIR", old->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

TEST(TempSpillFileTest, MissingDirectoryFailsWithoutCreatingIt) {
  TempDir dir;
  const auto path = dir.file("absent");
  EXPECT_THAT(TempSpillFile::create(path.string()),
              ErrorRenders("i/o error: No such file or directory (os error 2)"));
  EXPECT_FALSE(std::filesystem::exists(path));
}

RowValue f64_value(double v) { return RowValue(ScalarValue::Float64{v}); }

// One row of the test collection: id (primary), v (optional float; nullopt stores null), g.
struct TestRow {
  std::int64_t id;
  std::optional<double> v;
  std::int64_t g = 0;
};

// A database file with collection t(id Int64 primary, v Optional<Float64>, g Int64 with a
// non-unique index), and ORDER BY queries over it that spill into a directory of their own.
class SpillQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("db.quarn").string();
    ASSERT_OK_AND_ASSIGN(Database<FileStore> db, Database<FileStore>::open(path_));
    db_.emplace(std::move(db));
    ASSERT_OK_AND_ASSIGN(
        const auto ids,
        db_->register_collection_with_indexes(
            "t",
            {testing::def("id", Type(K::Int64)), testing::def("v", opt(Type(K::Float64))),
             testing::def("g", Type(K::Int64))},
            {index_def("by_g", {"g"}, IndexKind::NonUnique)}, "id"));
    id_ = ids.first;
  }

  // All rows in one transaction: one commit, not one per row.
  void insert(const std::vector<TestRow>& rows) {
    ASSERT_OK(db_->begin_transaction());
    for (const TestRow& r : rows) {
      ASSERT_OK(db_->insert(
          id_, Row{{"id", i64(r.id)}, {"v", r.v ? f64_value(*r.v) : null()}, {"g", i64(r.g)}}));
    }
    ASSERT_OK(db_->commit_txn_staging());
  }
  void insert_ids(std::int64_t n) {
    std::vector<TestRow> rows;
    // Spread over the key space so the map's order is nothing like the sorted one.
    for (std::int64_t i = 0; i < n; ++i) rows.push_back({(i * 7919) % n, 1.0});
    insert(rows);
  }

  Query order_query(const char* field, OrderDirection direction,
                    std::optional<std::size_t> limit = std::nullopt) {
    Query q;
    q.collection_id = id_;
    q.order_by = OrderBy{testing::path({field}), direction};
    q.limit = limit;
    return q;
  }

  Result<QueryRowIter> run(const Query& q) {
    return execute_query_iter_with_spill_path(db_->state(), q, spill_dir_.path().string());
  }

  // The ids the iterator yields, in order; fails the test on an error.
  static std::vector<std::int64_t> drain(QueryRowIter& it) {
    std::vector<std::int64_t> ids;
    while (true) {
      Result<std::optional<Row>> row = it.next();
      EXPECT_OK(row);
      if (!row.ok() || !row.value()) return ids;
      ids.push_back(row.value()->at("id").as_scalar()->get_if<ScalarValue::Int64>()->value);
    }
  }

  // The database file is never written and the spill directory keeps no file.
  void expect_untouched(const Bytes& before) const {
    EXPECT_EQ(read_file(path_), before);
    EXPECT_EQ(entries(spill_dir_.path()), std::vector<std::string>{});
  }

  TempDir dir_;
  TempDir spill_dir_;
  std::string path_;
  std::optional<Database<FileStore>> db_;
  std::uint32_t id_ = 0;
};

std::vector<std::int64_t> iota_ids(std::int64_t n) {
  std::vector<std::int64_t> out;
  for (std::int64_t i = 0; i < n; ++i) out.push_back(i);
  return out;
}

struct BoundaryCase {
  const char* name;
  std::int64_t rows;
  std::size_t runs;
};

class SpillRunBoundaryTest : public SpillQueryTest,
                             public ::testing::WithParamInterface<BoundaryCase> {};

TEST_P(SpillRunBoundaryTest, RunsOf2048InThePrivateFile) {
  insert_ids(GetParam().rows);
  const Bytes before = read_file(path_);
  for (const OrderDirection direction : {OrderDirection::Asc, OrderDirection::Desc}) {
    std::vector<std::int64_t> expected = iota_ids(GetParam().rows);
    if (direction == OrderDirection::Desc) std::reverse(expected.begin(), expected.end());
    {
      std::optional<TempSpillFile> spill;
      ScanSource base(db_->state(), id_, std::nullopt);
      ASSERT_OK_AND_ASSIGN(std::unique_ptr<ExternalSortSource> sorted,
                           sort_with_spill(spill_dir_.path().string(), spill, base, db_->state(),
                                           OrderBy{testing::path({"id"}), direction}, id_));
      // One run stays in memory: no file at all.
      ASSERT_EQ(spill.has_value(), GetParam().runs > 0);
      std::vector<SegmentMeta> runs;
      if (spill) {
        ASSERT_OK_AND_ASSIGN(runs, scan_segments(spill->store(), 0));
      }
      ASSERT_EQ(runs.size(), GetParam().runs);
      for (const SegmentMeta& meta : runs) {
        EXPECT_EQ(meta.header.segment_type, SegmentType::TempSpill);
      }
      if (!runs.empty()) {
        const std::uint64_t full =
            std::min<std::uint64_t>(static_cast<std::uint64_t>(GetParam().rows), kSpillRunItems);
        EXPECT_EQ(runs[0].header.payload_len, full * (9 + 9 + 8));
      }
      QueryRowIter it = QueryRowIter::streaming(db_->state(), std::move(sorted));
      EXPECT_EQ(drain(it), expected);
    }
    ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(order_query("id", direction)));
    EXPECT_EQ(drain(it), expected);
    EXPECT_EQ(drain(it), std::vector<std::int64_t>{});
    expect_untouched(before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SpillRunBoundaryTest,
    ::testing::Values(BoundaryCase{"NoRows", 0, 0}, BoundaryCase{"OneRow", 1, 0},
                      BoundaryCase{"OneShort", 2047, 0}, BoundaryCase{"Exactly", 2048, 0},
                      BoundaryCase{"OneOver", 2049, 2}, BoundaryCase{"ThreeRuns", 4097, 3}),
    [](const ::testing::TestParamInfo<BoundaryCase>& param) { return param.param.name; });

struct OrderCase {
  const char* name;
  std::vector<TestRow> rows;
  const char* field;
  OrderDirection direction;
  std::vector<std::int64_t> expected;
};

class SpillOrderTest : public SpillQueryTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(SpillOrderTest, DeliversSortKeyOrder) {
  insert(GetParam().rows);
  ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(order_query(GetParam().field, GetParam().direction)));
  EXPECT_EQ(drain(it), GetParam().expected);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto kAsc = OrderDirection::Asc;
constexpr auto kDesc = OrderDirection::Desc;

// Primary-key bytes are little-endian: 256 (00 01 ..) < 1 (01 ..) < 2 (02 ..) < -1 (ff ..).
const std::vector<TestRow> kTiedRows = {{1, 2.0}, {-1, 2.0}, {256, 2.0}, {2, 2.0}};
// Rows 2 and 3 have no value.
const std::vector<TestRow> kSomeMissing = {
    {3, std::nullopt}, {1, 5.0}, {2, std::nullopt}, {4, -1.0}};
const std::vector<TestRow> kFloats = {{1, kNaN},  {2, kInf}, {3, -0.0}, {4, 0.0},
                                      {5, -kInf}, {6, -1.5}, {7, 1e300}};

INSTANTIATE_TEST_SUITE_P(
    Orders, SpillOrderTest,
    ::testing::Values(
        OrderCase{"IntegersNumericallyNotByLittleEndianBytes",
                  {{1, 0.0}, {-1, 0.0}, {0, 0.0}, {-300, 0.0}, {300, 0.0}},
                  "id",
                  kAsc,
                  {-300, -1, 0, 1, 300}},
        OrderCase{"TiesByPrimaryKeyBytes", kTiedRows, "v", kAsc, {256, 1, 2, -1}},
        OrderCase{"TiesByPrimaryKeyBytesReversedForDesc", kTiedRows, "v", kDesc, {-1, 2, 1, 256}},
        OrderCase{"MissingLastAscending", kSomeMissing, "v", kAsc, {4, 1, 2, 3}},
        OrderCase{"MissingFirstDescending", kSomeMissing, "v", kDesc, {3, 2, 1, 4}},
        OrderCase{"AbsentPathIsMissingForAll", kTiedRows, "nope", kAsc, {256, 1, 2, -1}},
        OrderCase{"FloatTotalOrder", kFloats, "v", kAsc, {5, 6, 3, 4, 7, 2, 1}},
        OrderCase{"FloatTotalOrderDesc", kFloats, "v", kDesc, {1, 2, 7, 4, 3, 6, 5}}),
    [](const ::testing::TestParamInfo<OrderCase>& param) { return param.param.name; });

TEST_F(SpillQueryTest, LimitAppliesAfterTheWholeSortAndRepeats) {
  insert_ids(5000);
  const Bytes before = read_file(path_);
  for (int pass = 0; pass < 2; ++pass) {
    {
      ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(order_query("id", kDesc, 2)));
      EXPECT_EQ(drain(it), (std::vector<std::int64_t>{4999, 4998}));
    }
    expect_untouched(before);
  }
  ASSERT_OK_AND_ASSIGN(QueryRowIter none, run(order_query("id", kAsc, 0)));
  EXPECT_EQ(drain(none), std::vector<std::int64_t>{});
}

// The ids of rows a cursor would read.
std::vector<std::int64_t> ids_of(const std::vector<RowView>& rows) {
  std::vector<std::int64_t> ids;
  for (const RowView row : rows) {
    ids.push_back(row.find("id")->fixed<std::int64_t>());
  }
  return ids;
}

// The rows a cursor remembers are the iterator's, and a limit small enough for the bounded heap
// gives exactly the first rows of the whole sort, ties (by primary-key bytes) included.
TEST_F(SpillQueryTest, ResultRowsAreTheIteratorsAndTopKIsThePrefixOfTheFullSort) {
  std::vector<TestRow> rows;
  for (std::int64_t i = 0; i < 5000; ++i) {
    rows.push_back(
        {(i * 7919) % 5000, i % 11 == 0 ? std::nullopt : std::optional<double>(i % 7), i % 3});
  }
  insert(rows);
  const Bytes before = read_file(path_);
  for (const OrderDirection direction : {kAsc, kDesc}) {
    for (const bool filtered : {false, true}) {
      Query whole = order_query("v", direction);
      if (filtered) {
        whole.predicate = Predicate(Predicate::Gte{{testing::path({"g"}), ScalarValue::Int64{1}}});
      }
      std::vector<std::int64_t> full;
      {
        // Without a limit: runs spilled and merged, whatever the limit cases below take.
        ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(whole));
        full = drain(it);
      }
      ASSERT_EQ(full.size(), filtered ? 3333u : 5000u);
      for (const std::optional<std::size_t> limit :
           std::vector<std::optional<std::size_t>>{std::nullopt, 0, 1, 7, 2048, 2049, 4000}) {
        Query q = whole;
        q.limit = limit;
        std::vector<std::int64_t> expected = full;
        if (limit && *limit < expected.size()) expected.resize(*limit);
        const std::string context = "limit " + (limit ? std::to_string(*limit) : "none");
        ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(q));
        EXPECT_EQ(drain(it), expected) << context;
        ASSERT_OK_AND_ASSIGN(const std::vector<RowView> viewed,
                             query_result_rows(db_->state(), q, spill_dir_.path().string()));
        EXPECT_EQ(ids_of(viewed), expected) << context;
      }
    }
  }
  Query unordered;
  unordered.collection_id = id_;
  for (const std::optional<std::size_t> limit :
       std::vector<std::optional<std::size_t>>{std::nullopt, 0, 3}) {
    unordered.limit = limit;
    ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(unordered));
    ASSERT_OK_AND_ASSIGN(const std::vector<RowView> viewed,
                         query_result_rows(db_->state(), unordered, spill_dir_.path().string()));
    EXPECT_EQ(ids_of(viewed), drain(it));
  }
  expect_untouched(before);
}

// Runs made elsewhere carry no rows: the merge looks each up, passes over an absent one, and
// counts it against the limit as a key it delivered.
TEST_F(SpillQueryTest, MergeLooksUpRowsOfRunsWithoutThemAndCountsAbsentKeys) {
  insert({{1, 1.0}, {2, 1.0}, {3, 1.0}});
  auto keyed = [](std::int64_t key, std::int64_t id) {
    SortItem out;
    out.key = sort_key(S::Int64{key});
    out.pk = S(S::Int64{id}).canonical_key_bytes();
    return out;
  };
  auto merge = [&](std::optional<std::size_t> limit) {
    std::vector<RunReader> runs;
    runs.emplace_back(encode_run(std::vector<SortItem>{keyed(1, 1), keyed(4, 3)}));
    // 99 is no row of the collection.
    runs.emplace_back(encode_run(std::vector<SortItem>{keyed(2, 2), keyed(3, 99)}));
    return std::make_unique<ExternalSortSource>(std::move(runs), id_, false, limit);
  };
  QueryRowIter all = QueryRowIter::streaming(db_->state(), merge(std::nullopt));
  EXPECT_EQ(drain(all), (std::vector<std::int64_t>{1, 2, 3}));
  QueryRowIter limited = QueryRowIter::streaming(db_->state(), merge(3));
  EXPECT_EQ(drain(limited), (std::vector<std::int64_t>{1, 2}));
  const std::unique_ptr<ExternalSortSource> keys = merge(3);
  for (const std::int64_t id : {1, 2, 99}) {
    EXPECT_THAT(
        keys->next_key(),
        IsOkAndHolds(std::optional<RowKey>(RowKey{id_, S(S::Int64{id}).canonical_key_bytes()})));
  }
  EXPECT_THAT(keys->next_key(), IsOkAndHolds(std::nullopt));
}

TEST_F(SpillQueryTest, IndexLookupWithResidualFeedsTheSort) {
  insert({{1, 1.0, 7}, {2, -1.0, 7}, {3, 3.0, 7}, {4, 9.0, 8}, {5, 2.0, 7}});
  Query q = order_query("v", kDesc);
  q.predicate = Predicate(Predicate::And{
      {Predicate(Predicate::Eq{{testing::path({"g"}), ScalarValue::Int64{7}}}),
       Predicate(Predicate::Gt{{testing::path({"v"}), ScalarValue::Float64{0.0}}})}});
  ASSERT_OK_AND_ASSIGN(const Plan plan, plan_catalog_query(db_->catalog(), q));
  ASSERT_NE(plan.get_if<Plan::IndexLookup>(), nullptr);
  ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(q));
  EXPECT_EQ(drain(it), (std::vector<std::int64_t>{3, 5, 1}));
}

TEST_F(SpillQueryTest, SpillOnlyWithOrderingAndDirectory) {
  insert({{2, 1.0}, {1, 1.0}});
  const Bytes before = read_file(path_);
  Query unordered;
  unordered.collection_id = id_;
  ASSERT_OK_AND_ASSIGN(QueryRowIter streaming, run(unordered));
  EXPECT_TRUE(std::holds_alternative<QueryRowIter::Streaming>(streaming.value()));
  expect_untouched(before);
  // No spill path: the in-memory ordering, which keeps equal rows in their found order.
  ASSERT_OK_AND_ASSIGN(
      QueryRowIter in_memory,
      execute_query_iter_with_spill_path(db_->state(), order_query("v", kAsc), std::nullopt));
  EXPECT_TRUE(std::holds_alternative<QueryRowIter::Materialized>(in_memory.value()));
  EXPECT_EQ(drain(in_memory).size(), 2u);
  expect_untouched(before);
}

TEST_F(SpillQueryTest, UnknownCollectionFailsBeforeAnyFileIsMade) {
  insert_ids(3);
  const Bytes before = read_file(path_);
  Query q = order_query("id", kAsc);
  q.collection_id = id_ + 1;
  EXPECT_THAT(run(q),
              ErrorRenders("schema error: unknown collection id " + std::to_string(id_ + 1)));
  expect_untouched(before);
}

TEST_F(SpillQueryTest, MissingSpillDirectoryIsAnIoErrorAndIsNotCreated) {
  insert_ids(3000);
  const Bytes before = read_file(path_);
  const std::string absent = dir_.file("absent").string();
  EXPECT_THAT(execute_query_iter_with_spill_path(db_->state(), order_query("id", kAsc), absent),
              ErrorRenders("i/o error: No such file or directory (os error 2)"));
  EXPECT_FALSE(std::filesystem::exists(absent));
  expect_untouched(before);
}

// Yields inner's keys, then fails once `after` keys have passed.
class FailingSource final : public RowSource {
 public:
  FailingSource(std::unique_ptr<RowSource> inner, std::size_t after)
      : inner_(std::move(inner)), after_(after) {}
  Result<std::optional<RowKey>> next_key() override {
    if (after_ == 0) return io_error(IoErrorKind::Other, "source failed");
    --after_;
    return inner_->next_key();
  }

 private:
  std::unique_ptr<RowSource> inner_;
  std::size_t after_;
};

TEST_F(SpillQueryTest, SourceErrorAfterARunLeavesNothingBehind) {
  insert_ids(3000);
  const Bytes before = read_file(path_);
  {
    std::optional<TempSpillFile> spill;
    FailingSource source(std::make_unique<ScanSource>(db_->state(), id_, std::nullopt), 2500);
    EXPECT_THAT(sort_with_spill(spill_dir_.path().string(), spill, source, db_->state(),
                                OrderBy{testing::path({"id"}), kAsc}, id_),
                ErrorRenders("i/o error: source failed"));
    EXPECT_TRUE(spill.has_value());
  }
  expect_untouched(before);
}

TEST_F(SpillQueryTest, FailedRunWriteLeavesTheDatabaseFileAlone) {
  insert_ids(2049);
  const Bytes before = read_file(path_);
  // Writes past the limit fail in every file: the first run's payload (53 KiB) is torn.
  std::optional<Result<QueryRowIter>> failed;
  {
    FileSizeLimit limit(1000);
    failed.emplace(run(order_query("id", kAsc)));
  }
  EXPECT_THAT(*failed, ErrorRenders("i/o error: File too large (os error 27)"));
  expect_untouched(before);
  // The second run's header is torn instead.
  {
    FileSizeLimit limit(32 + 2048 * 26 + 10);
    failed.emplace(run(order_query("id", kAsc)));
  }
  EXPECT_THAT(*failed, ErrorRenders("i/o error: File too large (os error 27)"));
  expect_untouched(before);
  ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(order_query("id", kAsc)));
  EXPECT_EQ(drain(it), iota_ids(2049));
}

// The reader's sort used to cut the file back to the length it saw when it began, taking
// commits of another handle (another process, in practice) with it.
TEST_F(SpillQueryTest, CommitsOfAnotherHandleDuringASortSurvive) {
  insert_ids(3000);
  ASSERT_OK_AND_ASSIGN(Database<FileStore> writer, Database<FileStore>::open(path_));
  {
    ASSERT_OK_AND_ASSIGN(QueryRowIter it, run(order_query("id", kDesc)));
    for (std::int64_t id = 10000; id < 10005; ++id) {
      ASSERT_OK(writer.insert(id_, Row{{"id", i64(id)}, {"v", null()}, {"g", i64(0)}}));
    }
    EXPECT_EQ(drain(it).size(), 3000u);
  }
  const Bytes written = read_file(path_);
  ASSERT_OK_AND_ASSIGN(Database<FileStore> reopened, Database<FileStore>::open(path_));
  EXPECT_EQ(reopened.state().row_count(id_), 3005u);
  EXPECT_EQ(read_file(path_), written);
}

TEST_F(SpillQueryTest, LeftoverRunsInAFileDoNotBreakOpen) {
  insert_ids(2100);
  // Older versions spilled into the database file itself; a process that ended during a sort
  // left its runs behind the last commit.
  const std::string copy = dir_.file("copy.quarn").string();
  std::filesystem::copy_file(path_, copy);
  {
    ASSERT_OK_AND_ASSIGN(FileStore store, FileStore::open(copy, OpenMode::ExistingOnly));
    ASSERT_OK_AND_ASSIGN(const std::uint64_t end, store.len());
    SegmentWriter<FileStore> writer(store, end);
    ASSERT_OK(writer.append(SegmentType::TempSpill, Bytes(2048 * 26, 1)));
    ASSERT_OK(writer.append(SegmentType::TempSpill, Bytes(100, 2)));
  }
  ASSERT_OK_AND_ASSIGN(Database<FileStore> leftover, Database<FileStore>::open(copy));
  EXPECT_EQ(leftover.state().row_count(id_), 2100u);
  ASSERT_OK(leftover.insert(id_, Row{{"id", i64(5000)}, {"v", null()}, {"g", i64(0)}}));
  ASSERT_OK_AND_ASSIGN(Database<FileStore> reopened, Database<FileStore>::open(copy));
  EXPECT_EQ(reopened.state().row_count(id_), 2101u);
}

}  // namespace
}  // namespace quarn
