// The read-only view of a database's state that queries, sorts and the binding read through:
// the catalog, the rows of a collection, a row by primary key and the index lookups. Only this
// header names how rows are held, so their representation can change behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "catalog/state.h"
#include "db/state/latest_rows.h"
#include "index.h"
#include "record/packed_row.h"
#include "record/row_value.h"

namespace quarn {

// A kept share of a state's rows (StateView::share_rows). Holders only keep it and read through
// a view of it (StateView::reading).
using SharedRows = std::shared_ptr<const LatestRows>;

// Three references to one state, committed or a transaction's staged one; cheap to copy. Valid
// while that state is neither changed nor dropped, and so is everything read through it.
class StateView {
 public:
  // The rows of one collection in no promised order (see LatestRows::rows_of); each entry is
  // {pk, row}, the canonical primary-key bytes and a view of the stored row image.
  using RowRange = LatestRows::Range;
  using RowIterator = LatestRows::Iterator;
  using RowEntry = LatestRows::Iterator::Entry;

  StateView(const Catalog& catalog, const LatestRows& rows, const IndexState& indexes)
      : catalog_(&catalog), rows_(&rows), indexes_(&indexes) {}

  const Catalog& catalog() const { return *catalog_; }

  // The rows this view reads, kept: a copy sharing their tables (LatestRows::share), so that
  // every row read through it, or through a view of it (reading), stays valid and unchanged for
  // as long as it lives, whatever the handle later writes. REQUIRES: a committed state, not a
  // transaction's staged one.
  SharedRows share_rows() const { return std::make_shared<const LatestRows>(rows_->share()); }
  // This view with its rows read from rows instead (share_rows of this view). REQUIRES: rows is
  // not null.
  StateView reading(const SharedRows& rows) const { return StateView(*catalog_, *rows, *indexes_); }

  RowRange rows_of(std::uint32_t collection_id) const { return rows_->rows_of(collection_id); }
  std::size_t row_count(std::uint32_t collection_id) const { return rows_->size_of(collection_id); }

  // The row stored under (collection id, canonical primary-key bytes), or nothing.
  std::optional<RowView> get(std::uint32_t collection_id, ByteSpan pk) const {
    return rows_->get(collection_id, pk);
  }

  // The primary key a unique index maps key to.
  std::optional<ByteSpan> unique_lookup(std::uint32_t collection_id, std::string_view index_name,
                                        ByteSpan key) const {
    return indexes_->unique_lookup(collection_id, index_name, key);
  }

  // Copies of the primary keys under key in a non-unique index, in ascending byte order; never
  // an empty list.
  std::optional<std::vector<Bytes>> non_unique_lookup(std::uint32_t collection_id,
                                                      std::string_view index_name,
                                                      ByteSpan key) const {
    return indexes_->non_unique_lookup(collection_id, index_name, key);
  }

 private:
  const Catalog* catalog_;
  const LatestRows* rows_;
  const IndexState* indexes_;
};

}  // namespace quarn
