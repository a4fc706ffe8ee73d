#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "query/operators.h"
#include "testing/matchers.h"
#include "testing/predicates.h"
#include "testing/rows.h"

namespace quarn {
namespace {

using ::quarn::testing::all_of;
using ::quarn::testing::eq;
using ::quarn::testing::ErrorRenders;
using ::quarn::testing::gt;
using ::quarn::testing::IsOkAndHolds;
using ::quarn::testing::path;
using ::quarn::testing::s_i64;
using ::quarn::testing::s_str;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint32_t kPeople = 1;
constexpr std::uint32_t kOther = 2;

std::int64_t id_of(const Row& row) {
  return std::get<ScalarValue::Int64>(row.at("id").value()).value;
}
std::vector<std::int64_t> ids(const std::vector<Row>& rows) {
  std::vector<std::int64_t> out;
  for (const Row& row : rows) out.push_back(id_of(row));
  return out;
}

// Collection 1 has a unique index on email and a non-unique one on city; collection 2 holds rows
// with the same primary keys so that leaks between collections show.
class QueryExecutionTest : public ::testing::Test {
 protected:
  QueryExecutionTest() {
    std::vector<FieldDef> fields;
    fields.push_back(FieldDef{path({"id"}), Type(Type::Kind::Int64), {}});
    fields.push_back(FieldDef{path({"email"}), Type(Type::Kind::String), {}});
    fields.push_back(FieldDef{path({"city"}), Type(Type::Kind::String), {}});
    fields.push_back(FieldDef{path({"age"}), Type(Type::Kind::Int64), {}});
    catalog_
        .apply_record(CatalogRecordWire{CatalogRecordWire::CreateCollection{
            kPeople,
            "people",
            1,
            fields,
            {IndexDef{"by_email", path({"email"}), IndexKind::Unique},
             IndexDef{"by_city", path({"city"}), IndexKind::NonUnique},
             IndexDef{"by_score", path({"score"}), IndexKind::Unique}},
            std::string("id")}})
        .value();
    catalog_
        .apply_record(CatalogRecordWire{
            CatalogRecordWire::CreateCollection{kOther, "other", 1, fields, {}, std::string("id")}})
        .value();
    // Little-endian key bytes put 256 before 1 before 2 before 3.
    for (std::int64_t id : {1, 2, 3, 256, 5}) {
      add(id, "u" + std::to_string(id) + "@x", id == 5 ? "Oslo" : "Rome", id * 10);
    }
    Row stray;
    stray["id"] = RowValue(s_i64(1));
    stray["city"] = RowValue(s_str("Rome"));
    latest_.put(kOther, s_i64(1).canonical_key_bytes(), stray);
  }

  void add(std::int64_t id, const std::string& email, const std::string& city, std::int64_t age) {
    Row row;
    row["id"] = RowValue(s_i64(id));
    row["email"] = RowValue(s_str(email));
    row["city"] = RowValue(s_str(city));
    row["age"] = RowValue(s_i64(age));
    const Bytes pk = s_i64(id).canonical_key_bytes();
    latest_.put(kPeople, pk, row);
    index("by_email", IndexKind::Unique, s_str(email), pk);
    index("by_city", IndexKind::NonUnique, s_str(city), pk);
  }

  void index(const std::string& name, IndexKind kind, const ScalarValue& key, const Bytes& pk) {
    IndexEntry entry;
    entry.index_name = name;
    entry.key = key.canonical_key_bytes();
    entry.pk = pk;
    entry.collection_id = kPeople;
    entry.kind = kind;
    indexes_.apply(entry).value();
  }

  Query query(std::optional<Predicate> predicate, std::optional<std::size_t> limit = std::nullopt,
              std::optional<OrderBy> order_by = std::nullopt) const {
    Query q;
    q.collection_id = kPeople;
    q.predicate = std::move(predicate);
    q.limit = limit;
    q.order_by = std::move(order_by);
    return q;
  }

  Result<std::vector<Row>> run(const Query& q) const { return execute_query(state(), q); }

  // Every row the streaming path yields, or the first error.
  Result<std::vector<Row>> stream(const Query& q) const {
    QUARN_ASSIGN_OR_RETURN(QueryRowIter it, execute_query_iter(state(), q));
    std::vector<Row> rows;
    for (;;) {
      QUARN_ASSIGN_OR_RETURN(std::optional<Row> row, it.next());
      if (!row) return rows;
      rows.push_back(std::move(*row));
    }
  }

  StateView state() const { return StateView(catalog_, latest_, indexes_); }

  Catalog catalog_;
  IndexState indexes_;
  LatestRows latest_;
};

TEST_F(QueryExecutionTest, NoPredicateYieldsEachRowOfTheCollectionOnce) {
  ASSERT_OK_AND_ASSIGN(const std::vector<Row> rows, run(query(std::nullopt)));
  EXPECT_THAT(ids(rows), UnorderedElementsAre(1, 2, 3, 256, 5));
  EXPECT_THAT(stream(query(std::nullopt)), IsOkAndHolds(rows));
}

TEST_F(QueryExecutionTest, StreamingAndMaterialisedPathsAgree) {
  const std::vector<Query> queries = {
      query(eq({"city"}, s_str("Rome"))),
      query(eq({"city"}, s_str("Rome")), 2),
      query(all_of({eq({"city"}, s_str("Rome")), gt({"age"}, s_i64(20))}), 2),
      query(eq({"email"}, s_str("u3@x"))),
      query(eq({"email"}, s_str("u3@x")), 1),
      query(gt({"age"}, s_i64(20))),
      query(gt({"age"}, s_i64(20)), 2),
      query(std::nullopt, 3),
      query(eq({"city"}, s_str("Nowhere"))),
  };
  for (const Query& q : queries) {
    SCOPED_TRACE(q.predicate ? q.predicate->debug() : "no predicate");
    ASSERT_OK_AND_ASSIGN(const std::vector<Row> rows, run(q));
    EXPECT_THAT(stream(q), IsOkAndHolds(rows));
    if (q.limit) {
      EXPECT_LE(rows.size(), *q.limit);
    }
  }
}

TEST_F(QueryExecutionTest, LimitZeroYieldsNothingOnEveryPath) {
  for (const std::optional<Predicate>& p :
       {std::optional<Predicate>(), std::optional<Predicate>(eq({"email"}, s_str("u1@x"))),
        std::optional<Predicate>(eq({"city"}, s_str("Rome")))}) {
    EXPECT_THAT(run(query(p, 0)), IsOkAndHolds(IsEmpty()));
    EXPECT_THAT(stream(query(p, 0)), IsOkAndHolds(IsEmpty()));
    EXPECT_THAT(run(query(p, 0, OrderBy{path({"age"})})), IsOkAndHolds(IsEmpty()));
  }
}

TEST_F(QueryExecutionTest, NonUniqueLookupFollowsKeyByteOrder) {
  ASSERT_OK_AND_ASSIGN(const std::vector<Row> rows, run(query(eq({"city"}, s_str("Rome")), 3)));
  EXPECT_THAT(ids(rows), ElementsAre(256, 1, 2));
  ASSERT_OK_AND_ASSIGN(const std::vector<Row> streamed, stream(query(eq({"city"}, s_str("Rome")))));
  EXPECT_THAT(ids(streamed), ElementsAre(256, 1, 2, 3));
}

TEST_F(QueryExecutionTest, LimitCountsRowsThatPassTheResidual) {
  add(6, "u6@x", "Rome", 60);
  // Rome rows in key order: 256, 1, 2, 3, 6; only 3 and 6 are aged between 25 and 100.
  const Query q = query(all_of({eq({"city"}, s_str("Rome")), gt({"age"}, s_i64(25)),
                                Predicate::Lt{{path({"age"}), s_i64(100)}}}),
                        2);
  EXPECT_THAT(run(q).value(), ::testing::ResultOf(ids, ElementsAre(3, 6)));
  EXPECT_THAT(stream(q).value(), ::testing::ResultOf(ids, ElementsAre(3, 6)));
}

TEST_F(QueryExecutionTest, IndexedKeysWithoutARowAreSkipped) {
  const Bytes ghost = s_i64(77).canonical_key_bytes();
  index("by_email", IndexKind::Unique, s_str("ghost@x"), ghost);
  index("by_city", IndexKind::NonUnique, s_str("Rome"), ghost);
  EXPECT_THAT(run(query(eq({"email"}, s_str("ghost@x")))), IsOkAndHolds(IsEmpty()));
  EXPECT_THAT(stream(query(eq({"email"}, s_str("ghost@x")))), IsOkAndHolds(IsEmpty()));
  EXPECT_THAT(run(query(eq({"city"}, s_str("Rome")))).value(),
              ::testing::ResultOf(ids, ElementsAre(256, 1, 2, 3)));
  EXPECT_THAT(stream(query(eq({"city"}, s_str("Rome")))).value(),
              ::testing::ResultOf(ids, ElementsAre(256, 1, 2, 3)));
}

TEST_F(QueryExecutionTest, UniqueLookupFailingItsResidualIsEmpty) {
  const Query q = query(all_of({eq({"email"}, s_str("u2@x")), gt({"age"}, s_i64(100))}));
  EXPECT_THAT(run(q), IsOkAndHolds(IsEmpty()));
  EXPECT_THAT(stream(q), IsOkAndHolds(IsEmpty()));

  IndexUniqueSource source(state(), kPeople, s_i64(2).canonical_key_bytes(), std::nullopt);
  EXPECT_THAT(source.next_key(),
              IsOkAndHolds(std::optional<RowKey>(RowKey{kPeople, s_i64(2).canonical_key_bytes()})));
  for (int i = 0; i < 3; ++i) EXPECT_THAT(source.next_key(), IsOkAndHolds(std::nullopt));
}

// Key bytes carry no kind: an Eq of another kind, or a Float64 zero of the other sign, must give
// what a scan gives.
TEST_F(QueryExecutionTest, IndexPathsAgreeWithAScanWhereKeyBytesMislead) {
  // Bytes "u1@x" have the key bytes of String "u1@x".
  const ScalarValue as_bytes = ScalarValue::Bytes{Bytes{'u', '1', '@', 'x'}};
  EXPECT_THAT(run(query(eq({"email"}, as_bytes))), IsOkAndHolds(IsEmpty()));
  EXPECT_THAT(stream(query(eq({"email"}, as_bytes))), IsOkAndHolds(IsEmpty()));

  Row row;
  row["id"] = RowValue(s_i64(9));
  row["score"] = RowValue(ScalarValue::Float64{-0.0});
  latest_.put(kPeople, s_i64(9).canonical_key_bytes(), row);
  index("by_score", IndexKind::Unique, ScalarValue::Float64{-0.0}, s_i64(9).canonical_key_bytes());
  const Query zero = query(eq({"score"}, ScalarValue::Float64{0.0}));
  EXPECT_THAT(run(zero).value(), ::testing::ResultOf(ids, ElementsAre(9)));
  EXPECT_THAT(stream(zero).value(), ::testing::ResultOf(ids, ElementsAre(9)));

  const Query nan = query(eq({"score"}, ScalarValue::Float64{kNaN}));
  EXPECT_THAT(run(nan), IsOkAndHolds(IsEmpty()));
  EXPECT_THAT(stream(nan), IsOkAndHolds(IsEmpty()));
}

TEST_F(QueryExecutionTest, OrderingAppliesBeforeTheLimit) {
  const Query q = query(std::nullopt, 2, OrderBy{path({"age"}), OrderDirection::Desc});
  EXPECT_THAT(run(q).value(), ::testing::ResultOf(ids, ElementsAre(256, 5)));
  EXPECT_THAT(stream(q).value(), ::testing::ResultOf(ids, ElementsAre(256, 5)));
  ASSERT_OK_AND_ASSIGN(const QueryRowIter it, execute_query_iter(state(), q));
  EXPECT_TRUE(std::holds_alternative<QueryRowIter::Materialized>(it.value()));
}

TEST_F(QueryExecutionTest, UnknownCollectionFailsFirst) {
  Query q = query(eq({"email"}, s_str("u1@x")), 1, OrderBy{path({"age"})});
  q.collection_id = 42;
  EXPECT_THAT(run(q), ErrorRenders("schema error: unknown collection id 42"));
  EXPECT_THAT(execute_query_iter(state(), q),
              ErrorRenders("schema error: unknown collection id 42"));
  q.order_by.reset();
  EXPECT_THAT(execute_query_iter(state(), q),
              ErrorRenders("schema error: unknown collection id 42"));
}

// Replays a script of answers and counts how often it was asked.
class ScriptedSource final : public RowSource {
 public:
  ScriptedSource(std::vector<Result<std::optional<RowKey>>> script, int* calls)
      : script_(std::move(script)), calls_(calls) {}
  Result<std::optional<RowKey>> next_key() override {
    ++*calls_;
    if (next_ >= script_.size()) return std::optional<RowKey>();
    return script_[next_++];
  }

 private:
  std::vector<Result<std::optional<RowKey>>> script_;
  std::size_t next_ = 0;
  int* calls_;
};

TEST_F(QueryExecutionTest, LimitZeroNeverAsksItsSource) {
  int calls = 0;
  LimitOp limit(std::make_unique<ScriptedSource>(
                    std::vector<Result<std::optional<RowKey>>>{
                        std::optional<RowKey>(RowKey{kPeople, s_i64(1).canonical_key_bytes()})},
                    &calls),
                0);
  EXPECT_THAT(limit.next_key(), IsOkAndHolds(std::nullopt));
  EXPECT_EQ(calls, 0);
}

TEST_F(QueryExecutionTest, StreamErrorsPassThroughAndTheIteratorStaysUsable) {
  int calls = 0;
  const DbError failure = io_error(IoErrorKind::Other, "disk gone");
  std::vector<Result<std::optional<RowKey>>> script;
  script.emplace_back(failure);
  script.emplace_back(std::optional<RowKey>(RowKey{kPeople, s_i64(77).canonical_key_bytes()}));
  script.emplace_back(std::optional<RowKey>(RowKey{kPeople, s_i64(2).canonical_key_bytes()}));
  script.emplace_back(std::optional<RowKey>(RowKey{kPeople, s_i64(3).canonical_key_bytes()}));
  QueryRowIter it = QueryRowIter::streaming(
      state(),
      std::make_unique<LimitOp>(std::make_unique<ScriptedSource>(std::move(script), &calls), 2));
  EXPECT_THAT(it.next(), ErrorRenders("i/o error: disk gone"));
  // The error used none of the limit; the key of the absent row 77 used one and is skipped.
  ASSERT_OK_AND_ASSIGN(const std::optional<Row> row, it.next());
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(id_of(*row), 2);
  EXPECT_THAT(it.next(), IsOkAndHolds(std::nullopt));
  EXPECT_EQ(calls, 3);
}

// Rows {id, v} in id order.
std::vector<Row> rows_with(const std::vector<std::optional<ScalarValue>>& values) {
  std::vector<Row> rows;
  for (std::size_t i = 0; i < values.size(); ++i) {
    Row row;
    row["id"] = RowValue(s_i64(static_cast<std::int64_t>(i)));
    if (values[i]) row["v"] = RowValue(*values[i]);
    rows.push_back(std::move(row));
  }
  return rows;
}

TEST(ApplyOrderByAndLimitTest, MissingValuesGoLastAscendingFirstDescendingStably) {
  const std::vector<std::optional<ScalarValue>> values = {std::nullopt, s_i64(3), s_i64(1),
                                                          std::nullopt, s_i64(3), s_i64(2)};
  std::vector<Row> asc = rows_with(values);
  apply_order_by_and_limit(asc, OrderBy{path({"v"}), OrderDirection::Asc}, std::nullopt);
  EXPECT_THAT(ids(asc), ElementsAre(2, 5, 1, 4, 0, 3));
  std::vector<Row> desc = rows_with(values);
  apply_order_by_and_limit(desc, OrderBy{path({"v"}), OrderDirection::Desc}, std::nullopt);
  EXPECT_THAT(ids(desc), ElementsAre(0, 3, 1, 4, 5, 2));
  std::vector<Row> cut = rows_with(values);
  apply_order_by_and_limit(cut, OrderBy{path({"v"}), OrderDirection::Asc}, 2);
  EXPECT_THAT(ids(cut), ElementsAre(2, 5));
  std::vector<Row> unordered = rows_with(values);
  apply_order_by_and_limit(unordered, std::nullopt, 4);
  EXPECT_THAT(ids(unordered), ElementsAre(0, 1, 2, 3));
  apply_order_by_and_limit(unordered, std::nullopt, 9);
  EXPECT_EQ(unordered.size(), 4u);
}

TEST(ApplyOrderByAndLimitTest, NaNAndOtherKindsTieWithEverything) {
  const std::vector<std::vector<std::optional<ScalarValue>>> tied = {
      {ScalarValue::Float64{kNaN}, ScalarValue::Float64{1.0}},
      {ScalarValue::Float64{1.0}, ScalarValue::Float64{kNaN}},
      {ScalarValue::Float64{0.5}, s_i64(1)},
      {s_i64(1), ScalarValue::Float64{0.5}},
      {ScalarValue::Float64{-0.0}, ScalarValue::Float64{0.0}},
      {ScalarValue::Float64{0.0}, ScalarValue::Float64{-0.0}},
  };
  for (const OrderDirection direction : {OrderDirection::Asc, OrderDirection::Desc}) {
    for (const auto& values : tied) {
      std::vector<Row> rows = rows_with(values);
      apply_order_by_and_limit(rows, OrderBy{path({"v"}), direction}, std::nullopt);
      EXPECT_THAT(ids(rows), ElementsAre(0, 1));
    }
  }
}

// Mixed kinds and NaN make the comparison no strict weak order; the sort must still end with a
// permutation, and order each run of same-kind, NaN-free values correctly.
TEST(ApplyOrderByAndLimitTest, InconsistentComparisonsStillGiveAPermutation) {
  const std::uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::vector<std::optional<ScalarValue>> values;
  for (int i = 0; i < 3000; ++i) {
    switch (random() % 5) {
      case 0:
        values.push_back(s_i64(static_cast<std::int64_t>(random() % 50)));
        break;
      case 1:
        values.push_back(ScalarValue::Uint64{random() % 50});
        break;
      case 2:
        values.push_back(ScalarValue::Float64{
            random() % 7 == 0 ? kNaN : static_cast<double>(random() % 50) * 0.5});
        break;
      case 3:
        values.push_back(s_str(std::string(random() % 4, 'a')));
        break;
      default:
        values.push_back(std::nullopt);
        break;
    }
  }
  std::vector<Row> rows = rows_with(values);
  apply_order_by_and_limit(rows, OrderBy{path({"v"}), OrderDirection::Desc}, std::nullopt);
  std::vector<std::int64_t> got = ids(rows);
  std::sort(got.begin(), got.end());
  std::vector<std::int64_t> expected(values.size());
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::int64_t>(i);
  EXPECT_THAT(got, ElementsAreArray(expected));

  std::vector<Row> ints = rows_with({s_i64(3), s_i64(-2), s_i64(3), s_i64(9), s_i64(0)});
  apply_order_by_and_limit(ints, OrderBy{path({"v"}), OrderDirection::Desc}, std::nullopt);
  EXPECT_THAT(ids(ints), ElementsAre(3, 0, 2, 4, 1));
}

}  // namespace
}  // namespace quarn
