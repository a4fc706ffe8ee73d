// The whole open sequence over an arbitrary image, then every read a caller can make of what
// it opened: each row by its key, a filtered scan, an index lookup per index, and an ORDER BY
// through the external sort and in memory. An image that opens reopens from its own snapshot
// unchanged, and both orderings deliver every row of the collection.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "bytes.h"
#include "db/database.h"
#include "db/helpers.h"
#include "fuzz_support.h"
#include "query/operators.h"
#include "query/planner.h"
#include "spill.h"

namespace quarn::fuzz {
namespace {

// An empty scratch file for the external sort's runs, removed when the process ends.
const std::string& spill_path() {
  static const std::string path = [] {
    const char* dir = getenv("TMPDIR");
    std::string name =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/quarn-fuzz-spill-XXXXXX";
    const int fd = mkstemp(name.data());
    require(fd >= 0);
    close(fd);
    static const std::string removed_at_exit = name;
    atexit([] { unlink(removed_at_exit.c_str()); });
    return name;
  }();
  return path;
}

// Rows the query yields, draining the iterator; nothing when it fails.
std::optional<std::size_t> count_rows(Result<QueryRowIter> iter) {
  if (!iter.ok()) return std::nullopt;
  std::size_t n = 0;
  for (;;) {
    Result<std::optional<Row>> row = iter.value().next();
    if (!row.ok()) return std::nullopt;
    if (!row.value()) return n;
    ++n;
  }
}

void read_collection(const Database<VecStore>& db, const CollectionInfo& info, bool desc) {
  const std::uint32_t id = info.collection_id;
  std::optional<Row> first;
  std::size_t rows = 0;
  for (const auto entry : db.latest().rows_of(id)) {
    ++rows;
    if (!first) first = entry.row;
    if (!info.primary_field) continue;
    const std::optional<ScalarValue> pk =
        scalar_at_path(entry.row, FieldPath::make({*info.primary_field}).value());
    // Every stored row holds its own key.
    require(pk && pk->canonical_key_bytes() == Bytes(entry.pk.begin(), entry.pk.end()));
    Result<std::optional<Row>> got = db.get(id, *pk);
    require(got.ok() && got.value().has_value());
  }
  require(rows == db.latest().size_of(id));

  Query all;
  all.collection_id = id;
  require(count_rows(execute_query_iter(db.catalog(), db.indexes(), db.latest(), all)) == rows);

  // A filter and an index lookup on values a row holds.
  std::vector<FieldPath> paths;
  for (const FieldDef& def : info.fields) paths.push_back(def.path);
  for (const IndexDef& index : info.indexes) paths.push_back(index.path);
  for (const FieldPath& path : paths) {
    std::optional<ScalarValue> value;
    if (first) value = scalar_at_path(*first, path);
    if (!value) continue;
    Query eq = all;
    eq.predicate = Predicate::Eq{{path, *value}};
    require(explain_query(db.catalog(), eq).ok());
    require(execute_query(db.catalog(), db.indexes(), db.latest(), eq).ok());
    Query range = all;
    // No value is both at least and below the same value.
    range.predicate =
        Predicate::And{{Predicate::Gte{{path, *value}}, Predicate::Lt{{path, *value}}}};
    require(count_rows(execute_query_iter(db.catalog(), db.indexes(), db.latest(), range)) == 0u);
  }

  if (paths.empty()) return;
  Query ordered = all;
  ordered.order_by = OrderBy{paths.front(), desc ? OrderDirection::Desc : OrderDirection::Asc};
  require(count_rows(execute_query_iter_with_spill_path(db.catalog(), db.indexes(), db.latest(),
                                                        ordered, spill_path())) == rows);
  require(count_rows(execute_query_iter_with_spill_path(db.catalog(), db.indexes(), db.latest(),
                                                        ordered, std::nullopt)) == rows);
}

void run(ByteSpan input) {
  Result<Database<VecStore>> db =
      Database<VecStore>::from_snapshot_bytes(Bytes(input.begin(), input.end()));
  if (!db.ok()) return;
  const bool desc = !input.empty() && (input.back() & 1) != 0;
  for (const CollectionInfo& info : db.value().catalog().collections()) {
    read_collection(db.value(), info, desc);
  }
  // The open has already cut what recovery cuts: a second open changes nothing.
  const Bytes image = db.value().snapshot_bytes();
  Result<Database<VecStore>> again = Database<VecStore>::from_snapshot_bytes(image);
  require(again.ok());
  require(again.value().snapshot_bytes() == image);
  require(again.value().latest().size() == db.value().latest().size());
  require(again.value().catalog().collection_names() == db.value().catalog().collection_names());
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
