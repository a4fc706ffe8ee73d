// The external sort behind ORDER BY with a spill file: order-preserving sort keys, sorted runs
// written as temporary segments at the end of the database file, and the heap merge that
// delivers them. The runs live only as long as the iterator: dropping it cuts the file back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "catalog/state.h"
#include "db/latest_rows.h"
#include "index.h"
#include "pager.h"
#include "query/ast.h"
#include "query/operators.h"
#include "record/scalar.h"
#include "result.h"
#include "storage.h"

namespace quarn {

// Most sort items held in memory at once while runs are generated; each full buffer is a run.
inline constexpr std::size_t kSpillRunItems = 2048;

// The kind byte, then a form whose byte order is the value order: integers and timestamps
// big-endian with the sign bit flipped, unsigned integers big-endian, floats big-endian in
// their total order (-NaN < -inf < -0.0 < +0.0 < +inf < +NaN), texts, bytes and UUIDs raw.
// Not the canonical key form, which has no kind and is little-endian.
Bytes sort_key(const ScalarValue& value);

// One selected row while runs are generated. is_null: nothing orderable at the path (key empty).
struct SortItem {
  Bytes key;
  std::uint32_t collection_id = 0;
  Bytes pk;  // canonical primary-key bytes
  bool is_null = false;
};

// The natural order: rows with a value first, then key bytes, then primary-key bytes, each
// compared as unsigned bytes with a proper prefix first. Negative, zero or positive.
int compare_sort_items(bool a_null, ByteSpan a_key, ByteSpan a_pk, bool b_null, ByteSpan b_key,
                       ByteSpan b_pk);

// Sorts items in the natural order (reversed for desc), stably.
void sort_run_items(std::vector<SortItem>& items, bool desc);

// The run payload: per item, in the given order, the is_null byte (0 or 1), a u32 key length,
// the key, a u32 primary-key length and the primary key; little-endian lengths, no header.
// REQUIRES: every key and primary key is shorter than 2^32 bytes.
Bytes encode_run(std::span<const SortItem> items);

// One run being merged: its whole payload and a read position.
class RunReader {
 public:
  struct Item {
    Bytes key;
    bool is_null = false;
    Bytes pk;
  };

  explicit RunReader(Bytes data) : data_(std::move(data)) {}

  // The next item, or nothing at the end of the run; an item cut short by the end of the data
  // ends the run too, and what was read of it is dropped.
  std::optional<Item> next_item();

 private:
  Bytes data_;
  std::size_t pos_ = 0;
};

// The current head of one run inside the merge heap.
struct HeapItem {
  Bytes key;
  Bytes pk;
  std::size_t run = 0;
  bool desc = false;
  bool is_null = false;
};

// The max-heap order: the natural order for a descending sort, its reverse for an ascending
// one, so the top of the heap is always the next row to deliver.
bool operator<(const HeapItem& a, const HeapItem& b);

// Runs appended to the end of a file the database also uses, through a handle of its own.
// base_len is the length when the sort began; dropping the object truncates the file back to
// it and syncs, ignoring errors of both (the runs then stay until compaction; an open ignores
// them). Moving hands that duty to the new object.
class TempSpillFile {
 public:
  TempSpillFile(FileStore store, std::uint64_t base_len)
      : store_(std::move(store)), base_len_(base_len) {}
  ~TempSpillFile();
  TempSpillFile(TempSpillFile&& other) noexcept;
  TempSpillFile& operator=(TempSpillFile&&) = delete;
  TempSpillFile(const TempSpillFile&) = delete;
  TempSpillFile& operator=(const TempSpillFile&) = delete;

  // Opens an existing file (never created, never truncated) with its own page cache and takes
  // its current length as the base. Errors: the system's, as DbError::Io.
  static Result<TempSpillFile> open(const std::string& path);

  // Appends a segment of type TempSpill holding payload at the store's current length, without
  // syncing; returns the offset of its header. Errors: the store's.
  Result<std::uint64_t> append_temp_segment(ByteSpan payload);

  // The length bytes behind the 32-byte header at offset; the payload CRC is not checked.
  // A range past the end is the store's read-past-end error.
  Result<Bytes> read_temp_payload(std::uint64_t offset, std::uint64_t length);

  std::uint64_t base_len() const { return base_len_; }
  // REQUIRES: not moved from.
  FileStore& store() { return *store_; }

 private:
  std::optional<FileStore> store_;
  std::uint64_t base_len_;
};

// The merge over the runs of one sort: each call delivers the next key in the sort's order
// (the natural order, or its exact reverse for desc). Owns the spill file, so dropping the
// source cuts the runs off the file. Never fails.
class ExternalSortSource final : public RowSource {
 public:
  // Reads the first item of every run into the heap.
  ExternalSortSource(TempSpillFile spill, std::vector<RunReader> runs, std::uint32_t collection_id,
                     bool desc);
  Result<std::optional<RowKey>> next_key() override;

 private:
  TempSpillFile spill_;
  std::vector<HeapItem> heap_;  // a max-heap by operator<, one item per unfinished run
  std::vector<RunReader> runs_;
  std::uint32_t collection_id_;
  bool desc_;
};

// Pulls every key of base, keeps those whose row is in latest, and sorts them by the value at
// order_by's path in runs of at most kSpillRunItems items, each appended to spill as one
// segment and then read back whole for the merge. No rows selected: no run. Errors: base's,
// the spill file's i/o errors; on every failure the file is cut back before the error returns.
Result<std::unique_ptr<ExternalSortSource>> sort_with_spill(TempSpillFile spill, RowSource& base,
                                                            const LatestRows& latest,
                                                            const OrderBy& order_by,
                                                            std::uint32_t collection_id);

// Runs the query. Without an ordering: execute_query_iter. With one but no spill path: the
// in-memory ordering, materialised. Otherwise the external sort over the plan's source with
// runs spilled to the end of the existing file at spill_path (normally the database file), and
// the limit applied to the merged order; the iterator keeps the runs and a reference to latest,
// and dropping it cuts the file back to its length before the sort. Nothing may write that file
// while the iterator lives. Errors: SchemaError::UnknownCollectionId before the file is
// touched; DbError::Io when the file cannot be opened (it is never created) or written.
Result<QueryRowIter> execute_query_iter_with_spill_path(
    const Catalog& catalog, const IndexState& indexes, const LatestRows& latest, const Query& query,
    const std::optional<std::string>& spill_path);

}  // namespace quarn
