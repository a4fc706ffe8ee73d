#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/state/row_table.h"

namespace quarn {
namespace {

Bytes image_of(std::int64_t n) { return pack_row(Row{{"n", ScalarValue::Int64{n}}}); }

std::int64_t n_of(RowView row) { return row.find("n")->fixed<std::int64_t>(); }

// key -> n, or -1 for an erased marker.
std::map<Bytes, std::int64_t> contents(const RowTable& table) {
  std::map<Bytes, std::int64_t> out;
  for (const RowTable::Entry entry : table) {
    EXPECT_TRUE(
        out.emplace(Bytes(entry.pk.begin(), entry.pk.end()), entry.erased ? -1 : n_of(entry.row))
            .second);
  }
  return out;
}

TEST(RowTableTest, PutReplaceEraseAndMarkers) {
  RowTable table;
  const Bytes one = image_of(1);
  const Bytes two = image_of(2);
  const ByteSpan one_span(one);
  const ByteSpan two_span(two);
  EXPECT_EQ(table.put(Bytes{1}, &one_span), RowTable::Replaced::Nothing);
  EXPECT_EQ(table.put(Bytes{1}, &two_span), RowTable::Replaced::Stored);
  EXPECT_EQ(table.put(Bytes{}, nullptr), RowTable::Replaced::Nothing);  // an empty key, as a marker
  EXPECT_EQ(table.put(Bytes{}, nullptr), RowTable::Replaced::Marker);
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(n_of(table.find(Bytes{1})->row), 2);
  EXPECT_TRUE(table.find(Bytes{})->erased);
  EXPECT_FALSE(table.find(Bytes{1, 0}).has_value());
  EXPECT_TRUE(table.erase(Bytes{1}));
  EXPECT_FALSE(table.erase(Bytes{1}));
  const std::map<Bytes, std::int64_t> left = contents(table);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left.begin()->first.empty());
  EXPECT_EQ(left.begin()->second, -1);
}

#ifndef NDEBUG
// Views read stored images unchecked, so debug builds refuse a malformed one where it is stored.
TEST(RowTableTest, DebugBuildsRefuseToStoreAMalformedImage) {
  RowTable table;
  Bytes cut = image_of(1);
  cut.pop_back();
  const ByteSpan span(cut);
  EXPECT_THROW(table.put(Bytes{1}, &span), InternalFault);
  EXPECT_TRUE(table.empty());
}
#endif

TEST(RowTableTest, IterationFollowsStoringOrderAndSkipsReplacedEntries) {
  RowTable table;
  for (const std::uint8_t k : {std::uint8_t{3}, std::uint8_t{1}, std::uint8_t{2}}) {
    const Bytes image = image_of(k);
    const ByteSpan span(image);
    table.put(Bytes{k}, &span);
  }
  const Bytes again = image_of(10);
  const ByteSpan again_span(again);
  table.put(Bytes{3}, &again_span);
  std::vector<std::uint8_t> keys;
  for (const RowTable::Entry entry : table) keys.push_back(entry.pk[0]);
  EXPECT_EQ(keys, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(RowTable().begin(), RowTable().end());
}

TEST(RowTableTest, ManyChangesMatchAModelThroughCompactionsAndCopies) {
  RowTable table;
  std::map<Bytes, std::int64_t> model;
  std::mt19937 random(7);
  std::optional<std::map<Bytes, std::int64_t>> snapshot;
  std::unique_ptr<RowTable> copy;
  for (int step = 0; step < 20000; ++step) {
    const Bytes key{static_cast<std::uint8_t>(random() % 200), static_cast<std::uint8_t>(step % 3)};
    if (random() % 3 == 0) {
      EXPECT_EQ(table.erase(key), model.erase(key) == 1);
    } else {
      const Bytes image = image_of(step);
      const ByteSpan span(image);
      EXPECT_EQ(table.put(key, &span),
                model.contains(key) ? RowTable::Replaced::Stored : RowTable::Replaced::Nothing);
      model[key] = step;
    }
    if (step == 10000) {
      copy = std::make_unique<RowTable>(table);
      snapshot = model;
    }
  }
  EXPECT_EQ(contents(table), model);
  EXPECT_EQ(table.size(), model.size());
  // The copy kept its own state through the later changes.
  EXPECT_EQ(contents(*copy), *snapshot);
}

TEST(RowTableTest, AKeyAndRowTakenFromTheTableItselfCanBeStoredAgain) {
  RowTable table;
  for (std::uint8_t k = 0; k < 100; ++k) {
    const Bytes image = image_of(k);
    const ByteSpan span(image);
    table.put(Bytes(50, k), &span);
  }
  // Each put grows the buffer the key is read from.
  for (int round = 0; round < 3; ++round) {
    for (std::uint8_t k = 0; k < 100; ++k) {
      const ByteSpan stored_key = table.find(Bytes(50, k))->pk;
      const Bytes image = image_of(k + 1000);
      const ByteSpan span(image);
      EXPECT_EQ(table.put(stored_key, &span), RowTable::Replaced::Stored);
    }
  }
  for (std::uint8_t k = 0; k < 100; ++k) EXPECT_EQ(n_of(table.find(Bytes(50, k))->row), k + 1000);
  // A stored row under another key: its image, too, is read from the growing buffer.
  for (std::uint8_t k = 0; k < 100; ++k) {
    const ByteSpan stored_image = table.find(Bytes(50, k))->row.image();
    EXPECT_EQ(table.put(Bytes(7, k), &stored_image), RowTable::Replaced::Nothing);
  }
  for (std::uint8_t k = 0; k < 100; ++k) EXPECT_EQ(n_of(table.find(Bytes(7, k))->row), k + 1000);
}

TEST(RowTableTest, ATableOfManyMiBGrowsCopiesAndCompactsWithEveryRow) {
  // Large enough that its buffer becomes a mapping of its own and is grown as one.
  auto text_of = [](std::int64_t n) {
    return std::string(static_cast<std::size_t>(1000 + n % 50), static_cast<char>('a' + n % 26));
  };
  auto image_with = [&](int n) {
    return pack_row(Row{{"n", ScalarValue::Int64{n}}, {"s", ScalarValue::String{text_of(n)}}});
  };

  RowTable table;
  std::map<Bytes, std::int64_t> model;
  for (int n = 0; n < 6000; ++n) {
    const Bytes key{static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)};
    const Bytes image = image_with(n);
    const ByteSpan span(image);
    table.put(key, &span);
    model[key] = n;
  }
  const RowTable copy(table);
  // Erasing most rows compacts the buffer into a new one.
  for (int n = 0; n < 6000; ++n) {
    if (n % 4 == 0) continue;
    const Bytes key{static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)};
    EXPECT_TRUE(table.erase(key));
    model.erase(key);
  }
  EXPECT_EQ(contents(table), model);
  EXPECT_EQ(contents(copy).size(), 6000u);
  for (const RowTable::Entry entry : copy) {
    const std::int64_t n = n_of(entry.row);
    EXPECT_EQ(entry.row.find("s")->text(), text_of(n));
  }
  // Room reserved up front is filled without a move.
  RowTable reserved;
  reserved.reserve(std::size_t{8} << 20, 6000);
  for (const RowTable::Entry entry : copy) {
    const ByteSpan image = entry.row.image();
    reserved.put(entry.pk, &image);
  }
  EXPECT_EQ(contents(reserved), contents(copy));
}

}  // namespace
}  // namespace quarn
