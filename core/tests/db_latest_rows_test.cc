// The latest-rows map: keys per collection, replacement, erase, and independent copies.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "db/latest_rows.h"

namespace quarn {
namespace {

Row row(const std::string& name) { return Row{{"name", RowValue(ScalarValue::String{name})}}; }

TEST(LatestRowsTest, KeysAreCollectionAndPrimaryKeyBytes) {
  LatestRows rows;
  rows.put(1, Bytes{7}, row("a"));
  rows.put(2, Bytes{7}, row("b"));
  rows.put(1, Bytes{7, 0}, row("c"));
  rows.put(1, Bytes{7}, row("d"));
  EXPECT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows.size_of(1), 2u);
  EXPECT_EQ(rows.get(1, Bytes{7})->to_row(), row("d"));
  EXPECT_EQ(rows.get(2, Bytes{7})->to_row(), row("b"));
  EXPECT_FALSE(rows.get(3, Bytes{7}).has_value());

  EXPECT_TRUE(rows.erase(1, Bytes{7}));
  EXPECT_FALSE(rows.erase(1, Bytes{7}));
  EXPECT_FALSE(rows.erase(9, Bytes{7}));
  EXPECT_FALSE(rows.get(1, Bytes{7}).has_value());
  EXPECT_EQ(rows.size(), 2u);
}

TEST(LatestRowsTest, RowsOfOneCollection) {
  LatestRows rows;
  rows.put(1, Bytes{1}, row("a"));
  rows.put(1, Bytes{2}, row("b"));
  rows.put(2, Bytes{3}, row("c"));
  std::set<Bytes> keys;
  for (const auto entry : rows.rows_of(1)) keys.insert(Bytes(entry.pk.begin(), entry.pk.end()));
  EXPECT_EQ(keys, (std::set<Bytes>{{1}, {2}}));
  EXPECT_EQ(rows.rows_of(5).begin(), rows.rows_of(5).end());
}

TEST(LatestRowsTest, CopiesAreIndependent) {
  LatestRows committed;
  committed.put(1, Bytes{1}, row("a"));
  LatestRows staged = committed;
  staged.put(1, Bytes{1}, row("changed"));
  staged.put(1, Bytes{2}, row("new"));
  staged.erase(1, Bytes{1});
  LatestRows other = committed;
  other.erase(1, Bytes{1});

  EXPECT_EQ(committed.get(1, Bytes{1})->to_row(), row("a"));
  EXPECT_EQ(committed.size(), 1u);
  EXPECT_EQ(staged.size(), 1u);
  EXPECT_EQ(other.size(), 0u);
  EXPECT_FALSE(committed == staged);
  LatestRows same;
  same.put(1, Bytes{1}, row("a"));
  EXPECT_TRUE(committed == same);
}

}  // namespace
}  // namespace quarn
