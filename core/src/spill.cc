// External sort: sort keys, run encoding, the private spill file and the merge.
//
// Run item layout (no header, no count; items back to back in sorted order):
//   [0, 1)          is_null, 0 or 1
//   [1, 5)          key length n, u32
//   [5, 5 + n)      key bytes
//   [5 + n, 9 + n)  primary-key length m, u32
//   [9 + n, 9 + n + m)  primary-key bytes
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "db/helpers.h"
#include "query/planner.h"
#include "segments/header.h"
#include "segments/writer.h"
#include "spill_internal.h"

namespace quarn {
namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// The key of a fixed-width value: its number, then ordered as unsigned big-endian bytes.
void append_fixed_key(Bytes& out, ValueNumber number, std::uint64_t ordered) {
  const std::size_t at = out.size();
  out.resize(at + 9);
  out[at] = static_cast<std::uint8_t>(number);
  for (std::size_t i = 0; i < 8; ++i) {
    out[at + 1 + i] = static_cast<std::uint8_t>(ordered >> (56 - 8 * i));
  }
}

// Signed numbers order as unsigned ones with the sign bit flipped; floats by their IEEE total
// order.
std::uint64_t signed_order(std::int64_t value) {
  return static_cast<std::uint64_t>(value) ^ kSignBit;
}
std::uint64_t float_order(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits & kSignBit) == 0 ? bits | kSignBit : ~bits;
}

// The key of a text, byte string or uuid: its number, then its bytes.
void append_raw_key(Bytes& out, ValueNumber number, ByteSpan bytes) {
  out.push_back(static_cast<std::uint8_t>(number));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Appends the sort key of a primitive value of a row image; false, appending nothing, for Null,
// List and Object, which have no key. Every sort key is built here.
bool append_sort_key(ValueView value, Bytes& out) {
  return value.visit(Overloaded{
      [&](ValueView::Bool v) {
        out.push_back(static_cast<std::uint8_t>(ValueNumber::Bool));
        out.push_back(v.value ? 1 : 0);
        return true;
      },
      [&](ValueView::Int64 v) {
        append_fixed_key(out, ValueNumber::Int64, signed_order(v.value));
        return true;
      },
      [&](ValueView::Uint64 v) {
        append_fixed_key(out, ValueNumber::Uint64, v.value);
        return true;
      },
      [&](ValueView::Float64 v) {
        append_fixed_key(out, ValueNumber::Float64, float_order(v.value));
        return true;
      },
      [&](ValueView::String v) {
        append_raw_key(out, ValueNumber::String, as_span(v.value));
        return true;
      },
      [&](ValueView::Bytes v) {
        append_raw_key(out, ValueNumber::Bytes, v.value);
        return true;
      },
      [&](ValueView::Uuid v) {
        append_raw_key(out, ValueNumber::Uuid, v.value);
        return true;
      },
      [&](ValueView::Timestamp v) {
        append_fixed_key(out, ValueNumber::Timestamp, signed_order(v.value));
        return true;
      },
      [](ValueView::Null) { return false; },
      [](const ValueView::List&) { return false; },
      [](const ValueView::Object&) { return false; },
  });
}

// Fills key with the row's sort key at path; false (key empty) when nothing orderable is there.
bool row_sort_key(RowView row, const FieldPath& path, Bytes& key) {
  key.clear();
  const std::optional<ValueView> value = row.at_path(path);
  return value && append_sort_key(*value, key);
}

int compare_bytes(ByteSpan a, ByteSpan b) {
  const std::size_t common = std::min(a.size(), b.size());
  // memcmp compares as unsigned bytes; a proper prefix comes first.
  const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (c != 0) return c < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace

Bytes sort_key(const ScalarValue& value) {
  Bytes image;
  packed_build::scalar(image, value);
  Bytes out;
  append_sort_key(ValueView(image.data()), out);
  return out;
}

int compare_sort_items(bool a_null, ByteSpan a_key, ByteSpan a_pk, bool b_null, ByteSpan b_key,
                       ByteSpan b_pk) {
  if (a_null != b_null) return a_null ? 1 : -1;
  if (const int by_key = compare_bytes(a_key, b_key); by_key != 0) return by_key;
  return compare_bytes(a_pk, b_pk);
}

void sort_run_items(std::vector<SortItem>& items, bool desc) {
  std::stable_sort(items.begin(), items.end(), [desc](const SortItem& a, const SortItem& b) {
    const int c = compare_sort_items(a.is_null, a.key, a.pk, b.is_null, b.key, b.pk);
    return desc ? c > 0 : c < 0;
  });
}

Bytes encode_run(std::span<const SortItem> items) {
  std::size_t total = 0;
  for (const SortItem& item : items) total += 9 + item.key.size() + item.pk.size();
  Bytes out;
  out.reserve(total);
  ByteWriter w(out);
  for (const SortItem& item : items) {
    QUARN_CHECK(item.key.size() <= kMaxEncodedLength && item.pk.size() <= kMaxEncodedLength,
                "sort key or primary key too long for a spill run");
    w.put_u8(item.is_null ? 1 : 0);
    w.put_len_prefixed(ByteSpan(item.key));
    w.put_len_prefixed(ByteSpan(item.pk));
  }
  return out;
}

std::optional<RunReader::Item> RunReader::next_item() {
  ByteReader r(ByteSpan(data_).subspan(std::min(pos_, data_.size())));
  std::uint8_t is_null = 0;
  std::uint32_t key_len = 0;
  std::uint32_t pk_len = 0;
  Item item;
  if (!r.get_u8(is_null) || !r.get_u32(key_len) || !r.get_bytes(key_len, item.key) ||
      !r.get_u32(pk_len) || !r.get_bytes(pk_len, item.pk)) {
    pos_ = data_.size();
    return std::nullopt;
  }
  item.is_null = is_null != 0;
  pos_ += r.position();
  return item;
}

bool operator<(const HeapItem& a, const HeapItem& b) {
  const int natural = compare_sort_items(a.is_null, a.key, a.pk, b.is_null, b.key, b.pk);
  return a.desc ? natural < 0 : natural > 0;
}

Result<TempSpillFile> TempSpillFile::create(const std::string& dir) {
  QUARN_TRY(check_no_nul(dir));
  // O_EXCL: the unnamed file can never be linked into the directory.
  int fd = retry_on_eintr(
      [&] { return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600); });
  if (fd >= 0) return TempSpillFile(FileStore(RawFileStore(fd)));
  // Kernels or file systems without unnamed files: a fresh name, removed before any byte.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return io_error_from_errno(errno);
  std::string name = dir + "/.quarn-spill-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return io_error_from_errno(errno);
  RawFileStore file(fd);
  if (::unlink(name.c_str()) != 0) return io_error_from_errno(errno);
  return TempSpillFile(FileStore(std::move(file)));
}

std::string spill_temp_dir() {
  const char* env = std::getenv("TMPDIR");
  struct stat st {};
  if (env != nullptr && *env != '\0' && ::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) return env;
  return "/tmp";
}

Result<std::uint64_t> TempSpillFile::append_temp_segment(ByteSpan payload) {
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t end, store_.len());
  SegmentWriter<FileStore> writer(store_, end);
  return writer.append(SegmentType::TempSpill, payload);
}

Result<Bytes> TempSpillFile::read_temp_payload(std::uint64_t offset, std::uint64_t length) {
  // Read past the page cache in one call: each run is read once, whole.
  RawFileStore& file = store_.paged().inner();
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t file_len, file.len());
  if (offset > file_len || kSegmentHeaderSize > file_len - offset ||
      length > file_len - offset - kSegmentHeaderSize) {
    return io_error(IoErrorKind::UnexpectedEof, "read past end of store");
  }
  Bytes payload(static_cast<std::size_t>(length));
  QUARN_TRY(file.read_exact_at(offset + kSegmentHeaderSize, payload));
  return payload;
}

ExternalSortSource::ExternalSortSource(std::vector<RunReader> runs, std::uint32_t collection_id,
                                       bool desc)
    : runs_(std::move(runs)), collection_id_(collection_id), desc_(desc) {
  for (std::size_t run = 0; run < runs_.size(); ++run) {
    if (std::optional<RunReader::Item> head = runs_[run].next_item()) {
      heap_.push_back(
          HeapItem{std::move(head->key), std::move(head->pk), run, desc_, head->is_null});
    }
  }
  std::make_heap(heap_.begin(), heap_.end());
}

Result<std::optional<RowKey>> ExternalSortSource::next_key() {
  if (heap_.empty()) return std::optional<RowKey>();
  std::pop_heap(heap_.begin(), heap_.end());
  HeapItem top = std::move(heap_.back());
  heap_.pop_back();
  if (std::optional<RunReader::Item> next = runs_[top.run].next_item()) {
    heap_.push_back(
        HeapItem{std::move(next->key), std::move(next->pk), top.run, desc_, next->is_null});
    std::push_heap(heap_.begin(), heap_.end());
  }
  return std::optional<RowKey>(RowKey{collection_id_, std::move(top.pk)});
}

namespace {

// Delivery order: the natural order, reversed for desc.
bool delivered_before(const SortItem& a, const SortItem& b, bool desc) {
  const int c = compare_sort_items(a.is_null, a.key, a.pk, b.is_null, b.key, b.pk);
  return desc ? c > 0 : c < 0;
}

// Items of one run during generation, their keys and primary keys side by side in one arena
// (no allocation per item).
struct RunBuffer {
  struct Item {
    std::size_t at;  // key bytes, then primary-key bytes, in arena
    std::uint32_t key_len;
    std::uint32_t pk_len;
    bool is_null;
    RowView row;
  };
  Bytes arena;
  std::vector<Item> items;

  ByteSpan key(const Item& item) const { return ByteSpan(arena).subspan(item.at, item.key_len); }
  ByteSpan pk(const Item& item) const {
    return ByteSpan(arena).subspan(item.at + item.key_len, item.pk_len);
  }
  void clear() {
    arena.clear();
    items.clear();
  }
  // Sorts the items into delivery order, stably.
  void sort(bool desc) {
    std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
      const int c = compare_sort_items(a.is_null, key(a), pk(a), b.is_null, key(b), pk(b));
      return desc ? c > 0 : c < 0;
    });
  }
  // The run payload: encode_run's layout.
  Bytes encode() const {
    Bytes out;
    out.reserve(arena.size() + 9 * items.size());
    ByteWriter w(out);
    for (const Item& item : items) {
      w.put_u8(item.is_null ? 1 : 0);
      w.put_len_prefixed(key(item));
      w.put_len_prefixed(pk(item));
    }
    return out;
  }
};

// What run generation made: the items of a sort that fit in one run, sorted in memory; or the
// runs that were spilled, read back for the merge, with the rows of each run's items in the
// run's order (the file is private, so what is read back is what was written).
struct GeneratedRuns {
  RunBuffer in_memory;
  std::vector<Bytes> spilled;
  std::vector<std::vector<RowView>> spilled_rows;
};

// feed(add) calls add(pk, row) for every selected row and stops when add returns false; it
// returns its own error, if any.
template <class Feed>
Result<GeneratedRuns> generate_runs(const std::string& spill_dir,
                                    std::optional<TempSpillFile>& spill, const OrderBy& order_by,
                                    Feed feed) {
  const bool desc = order_by.direction == OrderDirection::Desc;
  struct RunRef {
    std::uint64_t offset;
    std::uint64_t length;
  };
  std::vector<RunRef> runs;
  GeneratedRuns out;
  RunBuffer buffer;
  buffer.items.reserve(kSpillRunItems);
  auto write_run = [&]() -> Status {
    if (!spill) {
      QUARN_ASSIGN_OR_RETURN(TempSpillFile made, TempSpillFile::create(spill_dir));
      spill.emplace(std::move(made));
    }
    buffer.sort(desc);
    std::vector<RowView>& rows = out.spilled_rows.emplace_back();
    rows.reserve(buffer.items.size());
    for (const RunBuffer::Item& item : buffer.items) rows.push_back(item.row);
    const Bytes payload = buffer.encode();
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t offset, spill->append_temp_segment(payload));
    runs.push_back(RunRef{offset, payload.size()});
    buffer.clear();
    return ok_status();
  };
  Status failed = ok_status();
  QUARN_TRY(feed([&](ByteSpan pk, RowView row) {
    // A full buffer is spilled only once a further item proves the sort needs more than one run.
    if (buffer.items.size() == kSpillRunItems) {
      failed = write_run();
      if (!failed.ok()) return false;
    }
    QUARN_CHECK(pk.size() <= kMaxEncodedLength, "primary key too long for a spill run");
    const std::size_t at = buffer.arena.size();
    bool has_value = false;
    if (const std::optional<ValueView> value = row.at_path(order_by.path)) {
      has_value = append_sort_key(*value, buffer.arena);
    }
    const std::size_t key_len = buffer.arena.size() - at;
    QUARN_CHECK(key_len <= kMaxEncodedLength, "sort key too long for a spill run");
    buffer.arena.insert(buffer.arena.end(), pk.begin(), pk.end());
    buffer.items.push_back(RunBuffer::Item{at, static_cast<std::uint32_t>(key_len),
                                           static_cast<std::uint32_t>(pk.size()), !has_value, row});
    return true;
  }));
  QUARN_TRY(std::move(failed));
  if (runs.empty()) {
    buffer.sort(desc);
    out.in_memory = std::move(buffer);
    return out;
  }
  if (!buffer.items.empty()) QUARN_TRY(write_run());
  out.spilled.reserve(runs.size());
  for (const RunRef& run : runs) {
    QUARN_ASSIGN_OR_RETURN(Bytes payload, spill->read_temp_payload(run.offset, run.length));
    out.spilled.push_back(std::move(payload));
  }
  return out;
}

// A feed over a row source: its keys whose rows are in state.
auto source_feed(RowSource& base, const StateView& state) {
  return [&base, &state](auto add) -> Status {
    while (true) {
      QUARN_ASSIGN_OR_RETURN(std::optional<RowKey> found, base.next_key());
      if (!found) return ok_status();
      const std::optional<RowView> row = state.get(found->collection_id, found->pk);
      if (row && !add(ByteSpan(found->pk), *row)) return ok_status();
    }
  };
}

// The first k items of the sort, held in a bounded heap whose top is the last of them.
std::vector<SortItem> top_k(const Plan& plan, const StateView& state, const OrderBy& order_by,
                            std::size_t k) {
  const bool desc = order_by.direction == OrderDirection::Desc;
  auto before = [desc](const SortItem& a, const SortItem& b) {
    return delivered_before(a, b, desc);
  };
  std::vector<SortItem> heap;
  heap.reserve(k);
  SortItem candidate;
  for_each_plan_row(plan, state, [&](ByteSpan pk, RowView row) {
    candidate.is_null = !row_sort_key(row, order_by.path, candidate.key);
    if (heap.size() == k) {
      // Most rows lose to the last kept one on the key alone: no primary key copied for them.
      const SortItem& last = heap.front();
      const int c =
          compare_sort_items(candidate.is_null, candidate.key, pk, last.is_null, last.key, last.pk);
      if (desc ? c <= 0 : c >= 0) return true;
    }
    candidate.pk.assign(pk.begin(), pk.end());
    candidate.row = row;
    if (heap.size() < k) {
      heap.push_back(candidate);
      std::push_heap(heap.begin(), heap.end(), before);
    } else {
      std::pop_heap(heap.begin(), heap.end(), before);
      heap.back() = candidate;
      std::push_heap(heap.begin(), heap.end(), before);
    }
    return true;
  });
  std::sort_heap(heap.begin(), heap.end(), before);
  return heap;
}

}  // namespace

Result<std::unique_ptr<ExternalSortSource>> sort_with_spill(const std::string& spill_dir,
                                                            std::optional<TempSpillFile>& spill,
                                                            RowSource& base, const StateView& state,
                                                            const OrderBy& order_by,
                                                            std::uint32_t collection_id) {
  QUARN_ASSIGN_OR_RETURN(GeneratedRuns runs,
                         generate_runs(spill_dir, spill, order_by, source_feed(base, state)));
  std::vector<RunReader> readers;
  for (Bytes& payload : runs.spilled) readers.emplace_back(std::move(payload));
  if (!runs.in_memory.items.empty()) readers.emplace_back(runs.in_memory.encode());
  return std::make_unique<ExternalSortSource>(std::move(readers), collection_id,
                                              order_by.direction == OrderDirection::Desc);
}

namespace {

// One item of a run payload, read in place.
struct RunHead {
  ByteSpan key;
  ByteSpan pk;
  std::size_t run = 0;
  bool is_null = false;
};

// The item at pos of data (the run item layout), advancing pos; nothing at the end of the data
// or for an item it cuts short, as RunReader::next_item.
std::optional<RunHead> read_run_item(ByteSpan data, std::size_t& pos) {
  ByteReader r(data.subspan(std::min(pos, data.size())));
  std::uint8_t is_null = 0;
  std::uint32_t key_len = 0;
  std::uint32_t pk_len = 0;
  RunHead head;
  if (!r.get_u8(is_null) || !r.get_u32(key_len)) return std::nullopt;
  const std::size_t key_at = pos + r.position();
  if (!r.skip(key_len) || !r.get_u32(pk_len)) return std::nullopt;
  const std::size_t pk_at = pos + r.position();
  if (!r.skip(pk_len)) return std::nullopt;
  head.key = data.subspan(key_at, key_len);
  head.pk = data.subspan(pk_at, pk_len);
  head.is_null = is_null != 0;
  pos += r.position();
  return head;
}

// The merge of ExternalSortSource without a copy per item: emit(pk, run, index in run) in
// delivery order until it returns false.
template <class Emit>
void merge_runs(const std::vector<Bytes>& runs, bool desc, Emit emit) {
  auto after = [desc](const RunHead& a, const RunHead& b) {
    const int c = compare_sort_items(a.is_null, a.key, a.pk, b.is_null, b.key, b.pk);
    return desc ? c < 0 : c > 0;
  };
  std::vector<std::size_t> pos(runs.size(), 0);
  std::vector<std::size_t> taken(runs.size(), 0);
  std::vector<RunHead> heap;
  heap.reserve(runs.size());
  for (std::size_t run = 0; run < runs.size(); ++run) {
    if (std::optional<RunHead> head = read_run_item(runs[run], pos[run])) {
      head->run = run;
      heap.push_back(*head);
    }
  }
  std::make_heap(heap.begin(), heap.end(), after);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), after);
    const RunHead top = heap.back();
    heap.pop_back();
    if (std::optional<RunHead> next = read_run_item(runs[top.run], pos[top.run])) {
      next->run = top.run;
      heap.push_back(*next);
      std::push_heap(heap.begin(), heap.end(), after);
    }
    if (!emit(top.pk, top.run, taken[top.run]++)) return;
  }
}

// emit(pk, row) for the query's result in order, limit applied; the core of ordered_result_keys.
template <class Emit>
Status visit_ordered(const StateView& state, const Query& query, const std::string& spill_dir,
                     Emit emit) {
  QUARN_ASSIGN_OR_RETURN(const Plan plan, plan_catalog_query(state.catalog(), query));
  const std::size_t limit = query.limit.value_or(std::numeric_limits<std::size_t>::max());
  if (limit == 0) return ok_status();
  std::size_t emitted = 0;
  auto counted = [&](ByteSpan pk, RowView row) {
    emit(pk, row);
    return ++emitted < limit;
  };
  if (!query.order_by) {
    for_each_plan_row(plan, state, counted);
    return ok_status();
  }
  // The order is total (ties go by primary key), so the first k of a bounded heap are the first
  // k of the whole sort; a heap that fits in one run needs no file.
  if (limit <= kSpillRunItems) {
    for (const SortItem& item : top_k(plan, state, *query.order_by, limit)) {
      counted(item.pk, item.row);
    }
    return ok_status();
  }
  std::optional<TempSpillFile> spill;
  QUARN_ASSIGN_OR_RETURN(GeneratedRuns runs,
                         generate_runs(spill_dir, spill, *query.order_by, [&](auto add) -> Status {
                           for_each_plan_row(plan, state, add);
                           return ok_status();
                         }));
  spill.reset();
  if (runs.spilled.empty()) {
    for (const RunBuffer::Item& item : runs.in_memory.items) {
      if (!counted(runs.in_memory.pk(item), item.row)) break;
    }
    return ok_status();
  }
  merge_runs(runs.spilled, query.order_by->direction == OrderDirection::Desc,
             [&](ByteSpan pk, std::size_t run, std::size_t index) {
               QUARN_CHECK(index < runs.spilled_rows[run].size(), "a run read back longer");
               return counted(pk, runs.spilled_rows[run][index]);
             });
  return ok_status();
}

}  // namespace

Result<std::vector<Bytes>> ordered_result_keys(const StateView& state, const Query& query,
                                               const std::string& spill_dir) {
  std::vector<Bytes> keys;
  QUARN_TRY(visit_ordered(state, query, spill_dir,
                          [&](ByteSpan pk, RowView) { keys.emplace_back(pk.begin(), pk.end()); }));
  return keys;
}

Result<std::vector<RowView>> ordered_result_rows(const StateView& state, const Query& query,
                                                 const std::string& spill_dir) {
  std::vector<RowView> rows;
  QUARN_TRY(
      visit_ordered(state, query, spill_dir, [&](ByteSpan, RowView row) { rows.push_back(row); }));
  return rows;
}

Result<QueryRowIter> execute_query_iter_with_spill_path(
    const StateView& state, const Query& query, const std::optional<std::string>& spill_dir) {
  if (!query.order_by) return execute_query_iter(state, query);
  if (!spill_dir) {
    QUARN_ASSIGN_OR_RETURN(std::vector<Row> rows, execute_query(state, query));
    return QueryRowIter::materialized(std::move(rows));
  }
  QUARN_ASSIGN_OR_RETURN(const Plan plan, plan_catalog_query(state.catalog(), query));
  // Without the limit: it applies to the merged order, not to what the sort reads.
  const std::unique_ptr<RowSource> base = make_plan_source(plan, state);
  // Closed when this returns, on every path: the merge holds what it needs in memory.
  std::optional<TempSpillFile> spill;
  QUARN_ASSIGN_OR_RETURN(
      std::unique_ptr<RowSource> source,
      sort_with_spill(*spill_dir, spill, *base, state, *query.order_by, plan.collection_id()));
  if (query.limit) source = std::make_unique<LimitOp>(std::move(source), *query.limit);
  return QueryRowIter::streaming(state, std::move(source));
}

}  // namespace quarn
