// Row sources, the row iterator, the in-memory ordering and the two ways to run a query.
#include "query/operators.h"

#include <algorithm>
#include <utility>

#include "db/helpers.h"

namespace quarn {
namespace {

bool passes(RowView row, const std::optional<Predicate>& filter) {
  return !filter || eval_predicate(row, *filter);
}

// -1, 0 or 1 for the ascending order: missing values last, unordered pairs equal.
int compare_sort_values(const std::optional<ScalarValue>& a, const std::optional<ScalarValue>& b) {
  if (!a || !b) return a ? -1 : (b ? 1 : 0);
  const std::partial_ordering order = scalar_partial_cmp(*a, *b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// Bottom-up merge sort of positions. It takes from the right run only when that element is
// strictly before the left one, so it is stable, and it ends with a permutation whatever the
// comparison does: mixed kinds and NaN make it no strict weak order, which std::sort and
// std::stable_sort require.
template <class Before>
std::vector<std::size_t> stable_merge_sort(std::size_t n, Before before) {
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::vector<std::size_t> buffer(n);
  for (std::size_t width = 1; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, n);
      const std::size_t hi = std::min(lo + 2 * width, n);
      std::size_t left = lo;
      std::size_t right = mid;
      std::size_t out = lo;
      while (left < mid && right < hi) {
        buffer[out++] = before(order[right], order[left]) ? order[right++] : order[left++];
      }
      while (left < mid) buffer[out++] = order[left++];
      while (right < hi) buffer[out++] = order[right++];
    }
    order.swap(buffer);
  }
  return order;
}

}  // namespace

// Index keys carry no kind tag, so a lookup may find rows whose value is of another kind (or a
// text whose bytes equal a byte string); re-checking the equality keeps the lookup's result
// that of a scan.
std::optional<Predicate> lookup_filter(const Plan::IndexLookup& plan) {
  if (!plan.residual) return plan.equality;
  return Predicate(Predicate::And{{plan.equality, *plan.residual}});
}

Result<std::optional<RowView>> RowSource::next_row(const StateView& state) {
  for (;;) {
    QUARN_ASSIGN_OR_RETURN(const std::optional<RowKey> key, next_key());
    if (!key) return std::optional<RowView>();
    if (const std::optional<RowView> row = state.get(key->collection_id, key->pk)) return row;
  }
}

ScanSource::ScanSource(const StateView& state, std::uint32_t collection_id,
                       std::optional<Predicate> predicate)
    : predicate_(std::move(predicate)),
      pos_(state.rows_of(collection_id).begin()),
      end_(state.rows_of(collection_id).end()),
      collection_id_(collection_id) {}

Result<std::optional<RowKey>> ScanSource::next_key() {
  while (!(pos_ == end_)) {
    const StateView::RowEntry entry = *pos_;
    ++pos_;
    if (passes(entry.row, predicate_)) {
      return std::optional<RowKey>(RowKey{collection_id_, Bytes(entry.pk.begin(), entry.pk.end())});
    }
  }
  return std::optional<RowKey>();
}

IndexUniqueSource::IndexUniqueSource(const StateView& state, std::uint32_t collection_id,
                                     std::optional<Bytes> pk, std::optional<Predicate> residual)
    : pk_(std::move(pk)),
      residual_(std::move(residual)),
      state_(state),
      collection_id_(collection_id) {}

Result<std::optional<RowKey>> IndexUniqueSource::next_key() {
  if (done_) return std::optional<RowKey>();
  done_ = true;
  std::optional<Bytes> pk = std::exchange(pk_, std::nullopt);
  if (!pk) return std::optional<RowKey>();
  const std::optional<RowView> row = state_.get(collection_id_, *pk);
  if (!row || !passes(*row, residual_)) return std::optional<RowKey>();
  return std::optional<RowKey>(RowKey{collection_id_, std::move(*pk)});
}

IndexNonUniqueSource::IndexNonUniqueSource(const StateView& state, std::uint32_t collection_id,
                                           std::vector<Bytes> pks,
                                           std::optional<Predicate> residual)
    : pks_(std::move(pks)),
      residual_(std::move(residual)),
      state_(state),
      collection_id_(collection_id) {}

Result<std::optional<RowKey>> IndexNonUniqueSource::next_key() {
  while (next_ < pks_.size()) {
    Bytes& pk = pks_[next_++];
    const std::optional<RowView> row = state_.get(collection_id_, pk);
    if (row && passes(*row, residual_)) {
      return std::optional<RowKey>(RowKey{collection_id_, std::move(pk)});
    }
  }
  return std::optional<RowKey>();
}

LimitOp::LimitOp(std::unique_ptr<RowSource> inner, std::size_t remaining)
    : inner_(std::move(inner)), remaining_(remaining) {}

Result<std::optional<RowKey>> LimitOp::next_key() {
  if (remaining_ == 0) return std::optional<RowKey>();
  QUARN_ASSIGN_OR_RETURN(std::optional<RowKey> key, inner_->next_key());
  if (key) --remaining_;
  return key;
}

std::unique_ptr<RowSource> make_plan_source(const Plan& plan, const StateView& state) {
  if (const auto* scan = plan.get_if<Plan::CollectionScan>()) {
    return std::make_unique<ScanSource>(state, scan->collection_id, scan->predicate);
  }
  const auto& lookup = std::get<Plan::IndexLookup>(plan.value());
  if (lookup.kind == IndexKind::Unique) {
    std::optional<Bytes> pk;
    if (const std::optional<ByteSpan> found =
            state.unique_lookup(lookup.collection_id, lookup.index_name, lookup.key)) {
      pk = Bytes(found->begin(), found->end());
    }
    return std::make_unique<IndexUniqueSource>(state, lookup.collection_id, std::move(pk),
                                               lookup_filter(lookup));
  }
  std::vector<Bytes> pks =
      state.non_unique_lookup(lookup.collection_id, lookup.index_name, lookup.key)
          .value_or(std::vector<Bytes>());
  return std::make_unique<IndexNonUniqueSource>(state, lookup.collection_id, std::move(pks),
                                                lookup_filter(lookup));
}

QueryRowIter QueryRowIter::materialized(std::vector<Row> rows) {
  return QueryRowIter(Materialized{std::move(rows), 0});
}

QueryRowIter QueryRowIter::streaming(const StateView& state, std::unique_ptr<RowSource> source) {
  QUARN_CHECK(source != nullptr, "streaming query iterator without a source");
  return QueryRowIter(Streaming{state, std::move(source)});
}

Result<std::optional<Row>> QueryRowIter::next() {
  if (auto* m = std::get_if<Materialized>(&value_)) {
    if (m->pos >= m->rows.size()) return std::optional<Row>();
    return std::optional<Row>(m->rows[m->pos++]);
  }
  QUARN_ASSIGN_OR_RETURN(const std::optional<RowView> row, next_view());
  if (!row) return std::optional<Row>();
  return std::optional<Row>(row->to_row());
}

Result<std::optional<RowView>> QueryRowIter::next_view() {
  auto* s = std::get_if<Streaming>(&value_);
  QUARN_CHECK(s != nullptr, "a materialised query iterator holds no views");
  return s->source->next_row(s->state);
}

void apply_order_by_and_limit(std::vector<Row>& rows, const std::optional<OrderBy>& order_by,
                              std::optional<std::size_t> limit) {
  if (order_by && rows.size() > 1) {
    std::vector<std::optional<ScalarValue>> values;
    values.reserve(rows.size());
    for (const Row& row : rows) values.push_back(scalar_at_path(row, order_by->path));
    const int sign = order_by->direction == OrderDirection::Desc ? -1 : 1;
    const std::vector<std::size_t> order =
        stable_merge_sort(rows.size(), [&](std::size_t a, std::size_t b) {
          return sign * compare_sort_values(values[a], values[b]) < 0;
        });
    std::vector<Row> sorted;
    sorted.reserve(rows.size());
    for (const std::size_t i : order) sorted.push_back(std::move(rows[i]));
    rows = std::move(sorted);
  }
  if (limit && rows.size() > *limit) rows.resize(*limit);
}

Result<std::vector<Row>> execute_query(const StateView& state, const Query& query) {
  QUARN_ASSIGN_OR_RETURN(const std::vector<RowView> found, execute_query_refs(state, query));
  std::vector<Row> rows;
  rows.reserve(found.size());
  for (const RowView row : found) rows.push_back(row.to_row());
  return rows;
}

Result<std::vector<RowView>> execute_query_refs(const StateView& state, const Query& query) {
  QUARN_ASSIGN_OR_RETURN(const Plan plan, plan_catalog_query(state.catalog(), query));
  // Without an ordering the first `limit` rows that pass are the result, so fetching stops there.
  const bool can_stop_early = !plan.order_by() && plan.limit();
  std::vector<RowView> rows;
  if (can_stop_early && *plan.limit() == 0) return rows;
  for_each_plan_row(plan, state, [&](ByteSpan, RowView row) {
    rows.push_back(row);
    return !(can_stop_early && rows.size() >= *plan.limit());
  });
  if (plan.order_by() && rows.size() > 1) {
    const OrderBy& order_by = *plan.order_by();
    std::vector<std::optional<ScalarValue>> values;
    values.reserve(rows.size());
    for (const RowView row : rows) values.push_back(row.scalar_at(order_by.path));
    const int sign = order_by.direction == OrderDirection::Desc ? -1 : 1;
    const std::vector<std::size_t> order =
        stable_merge_sort(rows.size(), [&](std::size_t a, std::size_t b) {
          return sign * compare_sort_values(values[a], values[b]) < 0;
        });
    std::vector<RowView> sorted;
    sorted.reserve(rows.size());
    for (const std::size_t i : order) sorted.push_back(rows[i]);
    rows = std::move(sorted);
  }
  if (plan.limit() && rows.size() > *plan.limit()) rows.resize(*plan.limit());
  return rows;
}

Result<QueryRowIter> execute_query_iter(const StateView& state, const Query& query) {
  if (query.order_by) {
    QUARN_ASSIGN_OR_RETURN(std::vector<Row> rows, execute_query(state, query));
    return QueryRowIter::materialized(std::move(rows));
  }
  QUARN_ASSIGN_OR_RETURN(const Plan plan, plan_catalog_query(state.catalog(), query));
  std::unique_ptr<RowSource> source = make_plan_source(plan, state);
  if (plan.limit()) source = std::make_unique<LimitOp>(std::move(source), *plan.limit());
  return QueryRowIter::streaming(state, std::move(source));
}

}  // namespace quarn
