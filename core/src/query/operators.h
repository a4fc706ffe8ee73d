// Row sources and query execution over one database's in-memory state, read through a
// StateView. Sources yield row keys, or the rows they stand for; the iterator hands out row
// copies or views. Nothing here changes the state it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "bytes.h"
#include "db/state/state_view.h"
#include "query/ast.h"
#include "query/planner.h"
#include "record/row_value.h"
#include "result.h"

namespace quarn {

// What a state's rows are keyed by.
struct RowKey {
  std::uint32_t collection_id = 0;
  Bytes pk;  // canonical primary-key bytes

  bool operator==(const RowKey&) const = default;
};

// A single-pass stream of row keys. Sources holding a StateView must not outlive its state, and
// the state must not change while they exist.
class RowSource {
 public:
  RowSource() = default;
  virtual ~RowSource() = default;
  RowSource(const RowSource&) = delete;
  RowSource& operator=(const RowSource&) = delete;

  // The next key, nothing at the end, or an error; each call moves the source forward. After
  // an error a later call may be made and asks the source again.
  virtual Result<std::optional<RowKey>> next_key() = 0;

  // The row of the next key whose row is in state, where state holds it, nothing at the end, or
  // an error. Keys without a row are passed over, having moved the source on as next_key does
  // (a limit counts them). By default next_key's keys looked up in state; a source that holds
  // its rows answers without a lookup. REQUIRES: state is the one the source reads.
  virtual Result<std::optional<RowView>> next_row(const StateView& state);
};

// Every row of one collection satisfying predicate (all rows when absent), in the state's order.
class ScanSource final : public RowSource {
 public:
  ScanSource(const StateView& state, std::uint32_t collection_id,
             std::optional<Predicate> predicate);
  Result<std::optional<RowKey>> next_key() override;

 private:
  std::optional<Predicate> predicate_;
  StateView::RowIterator pos_;
  StateView::RowIterator end_;
  std::uint32_t collection_id_;
};

// The one row a unique lookup found, if it is present and satisfies residual; answers once.
class IndexUniqueSource final : public RowSource {
 public:
  IndexUniqueSource(const StateView& state, std::uint32_t collection_id, std::optional<Bytes> pk,
                    std::optional<Predicate> residual);
  Result<std::optional<RowKey>> next_key() override;

 private:
  std::optional<Bytes> pk_;
  std::optional<Predicate> residual_;
  StateView state_;
  std::uint32_t collection_id_;
  bool done_ = false;
};

// The rows of a non-unique lookup's keys, in the given (ascending byte) order; keys whose row is
// absent or fails residual are skipped.
class IndexNonUniqueSource final : public RowSource {
 public:
  IndexNonUniqueSource(const StateView& state, std::uint32_t collection_id, std::vector<Bytes> pks,
                       std::optional<Predicate> residual);
  Result<std::optional<RowKey>> next_key() override;

 private:
  std::vector<Bytes> pks_;
  std::size_t next_ = 0;  // pks_ before it are consumed
  std::optional<Predicate> residual_;
  StateView state_;
  std::uint32_t collection_id_;
};

// At most `remaining` keys of inner; at 0 it never asks inner again. Errors pass through and
// count for nothing.
class LimitOp final : public RowSource {
 public:
  LimitOp(std::unique_ptr<RowSource> inner, std::size_t remaining);
  Result<std::optional<RowKey>> next_key() override;

 private:
  std::unique_ptr<RowSource> inner_;
  std::size_t remaining_;
};

// The plan's row source without its limit or ordering: a scan with the plan's filter, or an
// index lookup (done now) with its residual. Keeps the view of state; the index keys are
// copied.
std::unique_ptr<RowSource> make_plan_source(const Plan& plan, const StateView& state);

// Calls visit(pk, row) (a ByteSpan and a RowView) for every row of the plan's source that passes
// its filter or residual, in the order make_plan_source yields them, until visit returns false.
// Nothing is copied but the keys of a non-unique lookup; the references are valid while the state
// does not change.
template <class Visit>
void for_each_plan_row(const Plan& plan, const StateView& state, Visit visit);

// Query results one row at a time: rows already materialised, or a source chain whose keys are
// looked up in a state. Move-only; dropping it drops the source chain (which is how a spilling
// source cleans up). A streaming iterator must not outlive the state, and the state must not
// change while it exists.
class QueryRowIter {
 public:
  struct Materialized {
    std::vector<Row> rows;
    std::size_t pos = 0;
  };
  struct Streaming {
    StateView state;
    std::unique_ptr<RowSource> source;  // never null
  };
  using Variant = std::variant<Materialized, Streaming>;

  static QueryRowIter materialized(std::vector<Row> rows);
  // REQUIRES: source is not null.
  static QueryRowIter streaming(const StateView& state, std::unique_ptr<RowSource> source);

  QueryRowIter(QueryRowIter&&) noexcept = default;
  QueryRowIter& operator=(QueryRowIter&&) noexcept = default;
  QueryRowIter(const QueryRowIter&) = delete;
  QueryRowIter& operator=(const QueryRowIter&) = delete;

  // A copy of the next row, nothing at the end, or the source's error (the iterator stays
  // usable). Keys whose row is absent from the state are skipped.
  Result<std::optional<Row>> next();
  // The same row where the state holds it, valid until the state changes, for a reader that
  // converts it in place. REQUIRES: a streaming iterator (a materialised one holds copies).
  Result<std::optional<RowView>> next_view();

  const Variant& value() const { return value_; }

 private:
  explicit QueryRowIter(Variant value) : value_(std::move(value)) {}
  Variant value_;
};

// Orders rows in place by the value at order_by's path (stable; rows without a value last for
// Asc, first for Desc; values of different kinds and NaN count as equal), then keeps the first
// `limit` rows.
void apply_order_by_and_limit(std::vector<Row>& rows, const std::optional<OrderBy>& order_by,
                              std::optional<std::size_t> limit);

// Copies of the query's result rows: filtered, ordered, then limited. Reads the state it is
// given (committed, or a transaction's staged copies). Errors: SchemaError::UnknownCollectionId,
// before any row is read.
Result<std::vector<Row>> execute_query(const StateView& state, const Query& query);

// execute_query without the copies: the result rows where the state holds them, valid until it
// changes. Errors: SchemaError::UnknownCollectionId.
Result<std::vector<RowView>> execute_query_refs(const StateView& state, const Query& query);

// The same rows as an iterator: materialised when the query has an ordering, else streaming over
// the plan's source with the limit on top. The iterator keeps the view of state. Errors:
// SchemaError::UnknownCollectionId.
Result<QueryRowIter> execute_query_iter(const StateView& state, const Query& query);

// The filter an index lookup's candidates must pass: the chosen equality (index keys carry no
// kind) and the residual.
std::optional<Predicate> lookup_filter(const Plan::IndexLookup& plan);

template <class Visit>
void for_each_plan_row(const Plan& plan, const StateView& state, Visit visit) {
  if (const auto* scan = plan.get_if<Plan::CollectionScan>()) {
    const Predicate* filter = scan->predicate ? &*scan->predicate : nullptr;
    for (const StateView::RowEntry entry : state.rows_of(scan->collection_id)) {
      if (filter != nullptr && !eval_predicate(entry.row, *filter)) continue;
      if (!visit(entry.pk, entry.row)) return;
    }
    return;
  }
  const auto& lookup = std::get<Plan::IndexLookup>(plan.value());
  const std::optional<Predicate> filter = lookup_filter(lookup);
  auto offer = [&](ByteSpan pk) {
    const std::optional<RowView> row = state.get(lookup.collection_id, pk);
    if (!row || (filter && !eval_predicate(*row, *filter))) return true;
    return visit(pk, *row);
  };
  if (lookup.kind == IndexKind::Unique) {
    if (const std::optional<ByteSpan> found =
            state.unique_lookup(lookup.collection_id, lookup.index_name, lookup.key)) {
      // Copied: the lookup's view is only good until the index changes, the row's while the
      // rows do not; both hold here, but the copy keeps the two lifetimes apart.
      const Bytes pk(found->begin(), found->end());
      offer(pk);
    }
    return;
  }
  const std::optional<std::vector<Bytes>> pks =
      state.non_unique_lookup(lookup.collection_id, lookup.index_name, lookup.key);
  if (!pks) return;
  for (const Bytes& pk : *pks) {
    if (!offer(pk)) return;
  }
}

}  // namespace quarn
