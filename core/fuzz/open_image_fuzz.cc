// The whole open sequence over an arbitrary image, then every read a caller can make of what
// it opened: each row by its key, a filtered scan, an index lookup per index, and an ORDER BY
// through the external sort (all rows, and a prefix by limit) and in memory. An image that opens
// reopens from its own snapshot unchanged, and both orderings deliver every row of the collection.
// Most mutations would only break a checksum, so the mutator mends the checksums of half of the
// images it makes, letting the fuzzer reach replay with damaged payloads.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "bytes.h"
#include "checksum.h"
#include "db/database.h"
#include "db/helpers.h"
#include "fuzz_support.h"
#include "query/operators.h"
#include "query/planner.h"
#include "segments/header.h"
#include "spill_internal.h"
#include "superblock.h"
#include "txn.h"

namespace quarn::fuzz {
namespace {

// A scratch directory for the external sort's private run files, removed when the process ends
// (the runs themselves are unnamed, so it stays empty).
const std::string& spill_dir() {
  static const std::string path = [] {
    const char* dir = getenv("TMPDIR");
    std::string name =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/quarn-fuzz-spill-XXXXXX";
    require(mkdtemp(name.data()) != nullptr);
    static const std::string removed_at_exit = name;
    atexit([] { rmdir(removed_at_exit.c_str()); });
    return name;
  }();
  return path;
}

std::uint64_t load(const std::uint8_t* at, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | at[i];
  return v;
}

void store_u32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Rewrites the superblock, segment header, payload and marker checksums in place, as far as the
// segments lie end to end inside the image.
void mend_checksums(std::uint8_t* image, std::size_t size) {
  if (size < kDataStart) return;
  for (const std::uint64_t slot : {kSuperblockSlotAOffset, kSuperblockSlotBOffset}) {
    std::uint8_t* sb = image + slot;
    const std::size_t covered =
        load(sb + kSuperblockVersionAt, 2) == 0 ? kSuperblockV0CrcAt : kSuperblockV1CrcAt;
    store_u32(sb + covered, crc32c(ByteSpan(sb, covered)));
  }
  std::size_t pos = kDataStart;
  while (size - pos >= kSegmentHeaderSize) {
    std::uint8_t* header = image + pos;
    const std::uint64_t len = load(header + kSegmentPayloadLenAt, 8);
    if (len > size - pos - kSegmentHeaderSize) return;
    std::uint8_t* payload = header + kSegmentHeaderSize;
    const std::uint64_t type = load(header + kSegmentTypeAt, 2);
    if (len == kTxnPayloadV0Size && type >= 6 && type <= 8) {
      store_u32(payload + kTxnCrcAt, crc32c(ByteSpan(payload, kTxnCrcAt)));
    }
    store_u32(header + kSegmentPayloadCrcAt, crc32c(ByteSpan(payload, len)));
    store_u32(header + kSegmentHeaderCrcAt, crc32c(ByteSpan(header, kSegmentHeaderCrcAt)));
    pos += kSegmentHeaderSize + len;
  }
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

// As count_rows for the external sort, checking that each row follows the one before in the
// sort's order: by sort key (rows without a value last), then primary-key bytes; reversed for
// Desc.
std::optional<std::size_t> sorted_rows(Result<QueryRowIter> iter, const OrderBy& order_by,
                                       const std::optional<std::string>& primary) {
  if (!iter.ok() || !primary) return std::nullopt;
  const FieldPath pk_path = FieldPath::make({*primary}).value();
  std::optional<SortItem> previous;
  std::size_t n = 0;
  for (;;) {
    Result<std::optional<Row>> row = iter.value().next();
    if (!row.ok()) return std::nullopt;
    if (!row.value()) return n;
    ++n;
    SortItem item;
    const std::optional<ScalarValue> value = scalar_at_path(*row.value(), order_by.path);
    item.is_null = !value;
    if (value) item.key = sort_key(*value);
    item.pk = scalar_at_path(*row.value(), pk_path).value().canonical_key_bytes();
    if (previous) {
      const int order = compare_sort_items(previous->is_null, previous->key, previous->pk,
                                           item.is_null, item.key, item.pk);
      require(order_by.direction == OrderDirection::Asc ? order < 0 : order > 0);
    }
    previous = std::move(item);
  }
}

void read_collection(const Database<VecStore>& db, const CollectionInfo& info, bool desc) {
  const std::uint32_t id = info.collection_id;
  std::optional<Row> first;
  std::size_t rows = 0;
  for (const auto entry : db.state().rows_of(id)) {
    ++rows;
    if (!first) first = entry.row.to_row();
    if (!info.primary_field) continue;
    const std::optional<ScalarValue> pk =
        entry.row.scalar_at(FieldPath::make({*info.primary_field}).value());
    // Every stored row holds its own key.
    require(pk && pk->canonical_key_bytes() == Bytes(entry.pk.begin(), entry.pk.end()));
    Result<std::optional<Row>> got = db.get(id, *pk);
    require(got.ok() && got.value().has_value());
  }
  require(rows == db.state().row_count(id));

  Query all;
  all.collection_id = id;
  require(count_rows(execute_query_iter(db.state(), all)) == rows);

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
    require(execute_query(db.state(), eq).ok());
    Query range = all;
    // No value is both at least and below the same value.
    range.predicate =
        Predicate::And{{Predicate::Gte{{path, *value}}, Predicate::Lt{{path, *value}}}};
    require(count_rows(execute_query_iter(db.state(), range)) == 0u);
  }

  if (paths.empty()) return;
  Query ordered = all;
  ordered.order_by = OrderBy{paths.front(), desc ? OrderDirection::Desc : OrderDirection::Asc};
  require(sorted_rows(execute_query_iter_with_spill_path(db.state(), ordered, spill_dir()),
                      *ordered.order_by, info.primary_field) == rows);
  require(count_rows(execute_query_iter_with_spill_path(db.state(), ordered, std::nullopt)) ==
          rows);
  // A limit the bounded heap takes, and the rows the cursor reads by view: the same prefix.
  Query limited = ordered;
  limited.limit = rows / 2;
  require(sorted_rows(execute_query_iter_with_spill_path(db.state(), limited, spill_dir()),
                      *limited.order_by, info.primary_field) == rows / 2);
  const Result<std::vector<RowView>> viewed = query_result_rows(db.state(), limited, spill_dir());
  require(viewed.ok() && viewed.value().size() == rows / 2);
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
  for (const CollectionInfo& info : db.value().catalog().collections()) {
    const std::uint32_t id = info.collection_id;
    require(again.value().state().row_count(id) == db.value().state().row_count(id));
  }
  require(again.value().catalog().collection_names() == db.value().catalog().collection_names());
}

}  // namespace
}  // namespace quarn::fuzz

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, max_size);
  if (seed % 2 == 0) quarn::fuzz::mend_checksums(data, size);
  return size;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::fuzz::run(quarn::ByteSpan(data, size));
  return 0;
}
