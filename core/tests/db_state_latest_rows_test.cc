// The latest-rows map: keys per collection, replacement, erase, independent copies and shares.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/state/latest_rows.h"

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

// A share is what a reader keeps of the rows while the map goes on changing: its views must
// never see a write, nor point at memory a write freed (run under ASan, a use-after-free fails).
TEST(LatestRowsTest, ViewsThroughAShareOutliveEveryWriteToTheMap) {
  LatestRows rows;
  for (std::uint8_t k = 0; k < 8; ++k) rows.put(1, Bytes{k}, row("old"));
  rows.put(2, Bytes{0}, row("other"));
  const LatestRows shared = rows.share();
  std::vector<RowView> views;
  for (const auto entry : shared.rows_of(1)) views.push_back(entry.row);
  views.push_back(*shared.get(2, Bytes{0}));

  rows.put(1, Bytes{0}, row("replaced"));
  rows.erase(1, Bytes{1});
  // Enough new rows to move the table's buffer and compact it.
  for (int i = 0; i < 5000; ++i) {
    rows.put(1, Bytes{9, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)},
             row(std::string(64, 'x')));
  }
  LatestRows overlay = LatestRows::overlay_on(rows);
  overlay.put(2, Bytes{0}, row("changed"));
  rows.absorb(std::move(overlay));
  rows = LatestRows();

  ASSERT_EQ(views.size(), 9u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(views[i].to_row(), row("old"));
  EXPECT_EQ(views[8].to_row(), row("other"));
  EXPECT_EQ(shared.size(), 9u);
}

}  // namespace
}  // namespace quarn
