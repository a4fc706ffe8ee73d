// The parts of the external sort that spill.cc and its tests share: sort keys, run items and
// their encoding, the private spill file and the merge source. Nothing else includes this.
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
#include "db/state/state_view.h"
#include "pager.h"
#include "query/ast.h"
#include "query/operators.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "result.h"
#include "spill.h"
#include "storage.h"

namespace quarn {

// The kind byte, then a form whose byte order is the value order: integers and timestamps
// big-endian with the sign bit flipped, unsigned integers big-endian, floats big-endian in
// their total order (-NaN < -inf < -0.0 < +0.0 < +inf < +NaN), texts, bytes and UUIDs raw.
// Not the canonical key form, which has no kind and is little-endian. Built by the same code as
// the keys of a sort, from the value's image.
Bytes sort_key(const ScalarValue& value);

// One selected row while runs are generated. is_null: nothing orderable at the path (key empty).
struct SortItem {
  Bytes key;
  std::uint32_t collection_id = 0;
  Bytes pk;  // canonical primary-key bytes
  bool is_null = false;
  // Where the state holds the row, while a sort runs; not in the run.
  RowView row;
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

// One run being merged: its whole payload, a read position and, for a run this process's sort
// made, the rows of its items in run order (the spill file is private, so what is read back is
// what was written).
class RunReader {
 public:
  struct Item {
    Bytes key;
    bool is_null = false;
    Bytes pk;
  };
  // An item read in place: key and pk are views of the payload, valid while the reader is; row
  // is the item's row when the run carries its rows.
  struct ItemView {
    ByteSpan key;
    bool is_null = false;
    ByteSpan pk;
    std::optional<RowView> row;
  };

  explicit RunReader(Bytes data) : data_(std::move(data)) {}
  // REQUIRES: rows[i] is the row of the payload's item i; they stay valid while the reader is.
  RunReader(Bytes data, std::vector<RowView> rows)
      : data_(std::move(data)), rows_(std::move(rows)) {}

  // The next item, or nothing at the end of the run; an item cut short by the end of the data
  // ends the run too, and what was read of it is dropped.
  std::optional<ItemView> next_view();
  // The same item, copied.
  std::optional<Item> next_item();

 private:
  Bytes data_;
  std::size_t pos_ = 0;
  std::vector<RowView> rows_;
  std::size_t items_read_ = 0;
};

// The current head of one run inside the merge heap: views of its run's payload, and its row
// when the run carries rows.
struct HeapItem {
  ByteSpan key;
  ByteSpan pk;
  std::size_t run = 0;
  bool desc = false;
  bool is_null = false;
  std::optional<RowView> row;
};

// The max-heap order: the natural order for a descending sort, its reverse for an ascending
// one, so the top of the heap is always the next row to deliver.
bool operator<(const HeapItem& a, const HeapItem& b);

// The runs of one sort, in a private temporary file: made unnamed (O_TMPFILE, or a mkstemp name
// removed at once) with permission bits 0600, so no other process can open it and it vanishes
// with its handle on every path, a crash included. The database file is never written.
class TempSpillFile {
 public:
  explicit TempSpillFile(FileStore store) : store_(std::move(store)) {}
  TempSpillFile(TempSpillFile&&) noexcept = default;
  TempSpillFile& operator=(TempSpillFile&&) = delete;
  TempSpillFile(const TempSpillFile&) = delete;
  TempSpillFile& operator=(const TempSpillFile&) = delete;

  // A new empty file in the directory dir. Errors: the system's, as DbError::Io (for a missing
  // directory among them); nothing is left in dir.
  static Result<TempSpillFile> create(const std::string& dir);

  // Appends a segment of type TempSpill holding payload at the file's current length, without
  // syncing; returns the offset of its header. Errors: the store's.
  Result<std::uint64_t> append_temp_segment(ByteSpan payload);

  // The length bytes behind the 32-byte header at offset; the payload CRC is not checked.
  // A range past the end is the store's read-past-end error.
  Result<Bytes> read_temp_payload(std::uint64_t offset, std::uint64_t length);

  FileStore& store() { return store_; }

 private:
  FileStore store_;
};

// The merge over the runs of one sort: each call delivers the next item in the sort's order (the
// natural order, or its exact reverse for desc), at most limit of them when one is given, reading
// the runs in place. Never fails.
class ExternalSortSource final : public RowSource {
 public:
  // Reads the first item of every run into the heap.
  ExternalSortSource(std::vector<RunReader> runs, std::uint32_t collection_id, bool desc,
                     std::optional<std::size_t> limit = std::nullopt);
  Result<std::optional<RowKey>> next_key() override;
  // The rows the runs carry, without a lookup; the rows of runs without them looked up in state.
  Result<std::optional<RowView>> next_row(const StateView& state) override;

 private:
  // The next head in delivery order, counted against the limit; its run moves on.
  std::optional<HeapItem> pop();

  std::vector<HeapItem> heap_;  // a max-heap by operator<, one item per unfinished run
  std::vector<RunReader> runs_;
  std::uint32_t collection_id_;
  bool desc_;
  std::size_t remaining_;
};

// Pulls every key of base, keeps those whose row is in state, and sorts them by the value at
// order_by's path in runs of at most kSpillRunItems items. A sort that needs more than one run
// writes every run as one segment to spill (made in spill_dir on the first run) and reads them
// back whole for the merge, so the file is no longer needed once this returns; one run stays in
// memory. No rows selected: no run. Errors: base's, the spill file's i/o errors.
Result<std::unique_ptr<ExternalSortSource>> sort_with_spill(const std::string& spill_dir,
                                                            std::optional<TempSpillFile>& spill,
                                                            RowSource& base, const StateView& state,
                                                            const OrderBy& order_by,
                                                            std::uint32_t collection_id);

}  // namespace quarn
