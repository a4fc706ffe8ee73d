// External sort: sort keys, run encoding, run generation, the private spill file and the merge.
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

// Delivery order: the natural order, reversed for desc.
bool delivered_before(bool desc, bool a_null, ByteSpan a_key, ByteSpan a_pk, bool b_null,
                      ByteSpan b_key, ByteSpan b_pk) {
  const int c = compare_sort_items(a_null, a_key, a_pk, b_null, b_key, b_pk);
  return desc ? c > 0 : c < 0;
}

// The one writer of the run item layout.
void append_run_item(ByteWriter& w, bool is_null, ByteSpan key, ByteSpan pk) {
  w.put_u8(is_null ? 1 : 0);
  w.put_len_prefixed(key);
  w.put_len_prefixed(pk);
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
    return delivered_before(desc, a.is_null, a.key, a.pk, b.is_null, b.key, b.pk);
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
    append_run_item(w, item.is_null, item.key, item.pk);
  }
  return out;
}

std::optional<RunReader::ItemView> RunReader::next_view() {
  const ByteSpan data(data_);
  ByteReader r(data.subspan(std::min(pos_, data.size())));
  std::uint8_t is_null = 0;
  std::uint32_t key_len = 0;
  std::uint32_t pk_len = 0;
  ItemView item;
  if (!r.get_u8(is_null) || !r.get_u32(key_len) || !r.get_span(key_len, item.key) ||
      !r.get_u32(pk_len) || !r.get_span(pk_len, item.pk)) {
    pos_ = data_.size();
    return std::nullopt;
  }
  item.is_null = is_null != 0;
  if (items_read_ < rows_.size()) item.row = rows_[items_read_];
  ++items_read_;
  pos_ += r.position();
  return item;
}

std::optional<RunReader::Item> RunReader::next_item() {
  const std::optional<ItemView> item = next_view();
  if (!item) return std::nullopt;
  return Item{Bytes(item->key.begin(), item->key.end()), item->is_null,
              Bytes(item->pk.begin(), item->pk.end())};
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
                                       bool desc, std::optional<std::size_t> limit)
    : runs_(std::move(runs)),
      collection_id_(collection_id),
      desc_(desc),
      remaining_(limit.value_or(std::numeric_limits<std::size_t>::max())) {
  heap_.reserve(runs_.size());
  for (std::size_t run = 0; run < runs_.size(); ++run) {
    if (std::optional<RunReader::ItemView> head = runs_[run].next_view()) {
      heap_.push_back(HeapItem{head->key, head->pk, run, desc_, head->is_null, head->row});
    }
  }
  std::make_heap(heap_.begin(), heap_.end());
}

std::optional<HeapItem> ExternalSortSource::pop() {
  if (remaining_ == 0 || heap_.empty()) return std::nullopt;
  --remaining_;
  std::pop_heap(heap_.begin(), heap_.end());
  // The views stay good: a run's payload is never changed while it is read.
  HeapItem top = heap_.back();
  heap_.pop_back();
  if (std::optional<RunReader::ItemView> next = runs_[top.run].next_view()) {
    heap_.push_back(HeapItem{next->key, next->pk, top.run, desc_, next->is_null, next->row});
    std::push_heap(heap_.begin(), heap_.end());
  }
  return top;
}

Result<std::optional<RowKey>> ExternalSortSource::next_key() {
  const std::optional<HeapItem> top = pop();
  if (!top) return std::optional<RowKey>();
  return std::optional<RowKey>(RowKey{collection_id_, Bytes(top->pk.begin(), top->pk.end())});
}

Result<std::optional<RowView>> ExternalSortSource::next_row(const StateView& state) {
  while (const std::optional<HeapItem> top = pop()) {
    if (top->row) return top->row;
    if (std::optional<RowView> row = state.get(collection_id_, top->pk)) return row;
  }
  return std::optional<RowView>();
}

namespace {

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
      return delivered_before(desc, a.is_null, key(a), pk(a), b.is_null, key(b), pk(b));
    });
  }
  // The run payload, items in their order.
  Bytes encode() const {
    Bytes out;
    out.reserve(arena.size() + 9 * items.size());
    ByteWriter w(out);
    for (const Item& item : items) append_run_item(w, item.is_null, key(item), pk(item));
    return out;
  }
  // The items' rows in their order.
  std::vector<RowView> rows() const {
    std::vector<RowView> out;
    out.reserve(items.size());
    for (const Item& item : items) out.push_back(item.row);
    return out;
  }
};

// The runs of one sort, each with the rows of its items: the items that fit in one run, sorted in
// memory; or every run spilled to spill (made in spill_dir on the first run) and read back whole.
// feed(add) calls add(pk, row) for every selected row and stops when add returns false; it
// returns its own error, if any.
template <class Feed>
Result<std::vector<RunReader>> generate_runs(const std::string& spill_dir,
                                             std::optional<TempSpillFile>& spill,
                                             const OrderBy& order_by, Feed feed) {
  const bool desc = order_by.direction == OrderDirection::Desc;
  struct RunRef {
    std::uint64_t offset;
    std::uint64_t length;
    std::vector<RowView> rows;
  };
  std::vector<RunRef> runs;
  RunBuffer buffer;
  buffer.items.reserve(kSpillRunItems);
  auto write_run = [&]() -> Status {
    if (!spill) {
      QUARN_ASSIGN_OR_RETURN(TempSpillFile made, TempSpillFile::create(spill_dir));
      spill.emplace(std::move(made));
    }
    buffer.sort(desc);
    const Bytes payload = buffer.encode();
    QUARN_ASSIGN_OR_RETURN(const std::uint64_t offset, spill->append_temp_segment(payload));
    runs.push_back(RunRef{offset, payload.size(), buffer.rows()});
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
  std::vector<RunReader> out;
  if (runs.empty()) {
    if (!buffer.items.empty()) {
      buffer.sort(desc);
      out.emplace_back(buffer.encode(), buffer.rows());
    }
    return out;
  }
  if (!buffer.items.empty()) QUARN_TRY(write_run());
  out.reserve(runs.size());
  for (RunRef& run : runs) {
    QUARN_ASSIGN_OR_RETURN(Bytes payload, spill->read_temp_payload(run.offset, run.length));
    out.emplace_back(std::move(payload), std::move(run.rows));
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

// A feed over a plan's rows where the state holds them: no key copied, no row looked up.
auto plan_feed(const Plan& plan, const StateView& state) {
  return [&plan, &state](auto add) -> Status {
    for_each_plan_row(plan, state, add);
    return ok_status();
  };
}

// The first k items of the sort as one run, held in a bounded heap whose top is the last of
// them. REQUIRES: k > 0.
RunReader top_k(const Plan& plan, const StateView& state, const OrderBy& order_by, std::size_t k) {
  const bool desc = order_by.direction == OrderDirection::Desc;
  auto before = [desc](const SortItem& a, const SortItem& b) {
    return delivered_before(desc, a.is_null, a.key, a.pk, b.is_null, b.key, b.pk);
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
  std::vector<RowView> rows;
  rows.reserve(heap.size());
  for (const SortItem& item : heap) rows.push_back(item.row);
  return RunReader(encode_run(heap), std::move(rows));
}

}  // namespace

Result<std::unique_ptr<ExternalSortSource>> sort_with_spill(const std::string& spill_dir,
                                                            std::optional<TempSpillFile>& spill,
                                                            RowSource& base, const StateView& state,
                                                            const OrderBy& order_by,
                                                            std::uint32_t collection_id) {
  QUARN_ASSIGN_OR_RETURN(std::vector<RunReader> runs,
                         generate_runs(spill_dir, spill, order_by, source_feed(base, state)));
  return std::make_unique<ExternalSortSource>(std::move(runs), collection_id,
                                              order_by.direction == OrderDirection::Desc);
}

Result<QueryRowIter> execute_query_iter_with_spill_path(
    const StateView& state, const Query& query, const std::optional<std::string>& spill_dir) {
  if (!query.order_by) return execute_query_iter(state, query);
  if (!spill_dir) {
    QUARN_ASSIGN_OR_RETURN(std::vector<Row> rows, execute_query(state, query));
    return QueryRowIter::materialized(std::move(rows));
  }
  QUARN_ASSIGN_OR_RETURN(const Plan plan, plan_catalog_query(state.catalog(), query));
  const OrderBy& order_by = *query.order_by;
  std::vector<RunReader> runs;
  if (query.limit && *query.limit <= kSpillRunItems) {
    // The order is total (ties go by primary key), so the first k of a bounded heap are the first
    // k of the whole sort; a heap that fits in one run needs no file.
    if (*query.limit > 0) runs.push_back(top_k(plan, state, order_by, *query.limit));
  } else {
    // Closed when this returns, on every path: the merge holds what it needs in memory.
    std::optional<TempSpillFile> spill;
    QUARN_ASSIGN_OR_RETURN(runs,
                           generate_runs(*spill_dir, spill, order_by, plan_feed(plan, state)));
  }
  return QueryRowIter::streaming(
      state, std::make_unique<ExternalSortSource>(std::move(runs), plan.collection_id(),
                                                  order_by.direction == OrderDirection::Desc,
                                                  query.limit));
}

Result<std::vector<RowView>> query_result_rows(const StateView& state, const Query& query,
                                               const std::string& spill_dir) {
  if (!query.order_by) return execute_query_refs(state, query);
  QUARN_ASSIGN_OR_RETURN(QueryRowIter sorted,
                         execute_query_iter_with_spill_path(state, query, spill_dir));
  std::vector<RowView> rows;
  while (true) {
    QUARN_ASSIGN_OR_RETURN(const std::optional<RowView> row, sorted.next_view());
    if (!row) return rows;
    rows.push_back(*row);
  }
}

}  // namespace quarn
