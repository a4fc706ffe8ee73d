// The store-generic bodies of the handle's moves and of transactions. transaction.cc
// instantiates them for the engine's stores; a test instantiates them for its own.
#pragma once

#include <utility>
#include <vector>

#include "db/database.h"
#include "db/helpers.h"
#include "db/memory.h"

namespace quarn {

template <Store S>
Database<S>::Database(Database&& other) noexcept
    : path_(std::move(other.path_)),
      store_(std::move(other.store_)),
      catalog_(std::move(other.catalog_)),
      latest_(std::move(other.latest_)),
      indexes_(std::move(other.indexes_)),
      txn_(std::move(other.txn_)),
      data_start_(other.data_start_),
      last_txn_id_(other.last_txn_id_),
      format_minor_(other.format_minor_),
      write_poisoned_(other.write_poisoned_),
      unframed_log_checked_(other.unframed_log_checked_),
      location_(std::move(other.location_)),
      file_end_(other.file_end_),
      read_only_(other.read_only_),
      insert_planner_(std::move(other.insert_planner_)) {
  if (txn_) {
    txn_->latest.rebase(latest_);
    txn_->indexes.rebase(indexes_);
  }
}

template <Store S>
Database<S>& Database<S>::operator=(Database&& other) noexcept {
  path_ = std::move(other.path_);
  store_ = std::move(other.store_);
  catalog_ = std::move(other.catalog_);
  latest_ = std::move(other.latest_);
  indexes_ = std::move(other.indexes_);
  txn_ = std::move(other.txn_);
  data_start_ = other.data_start_;
  last_txn_id_ = other.last_txn_id_;
  format_minor_ = other.format_minor_;
  write_poisoned_ = other.write_poisoned_;
  unframed_log_checked_ = other.unframed_log_checked_;
  location_ = std::move(other.location_);
  file_end_ = other.file_end_;
  read_only_ = other.read_only_;
  insert_planner_ = std::move(other.insert_planner_);
  if (txn_) {
    txn_->latest.rebase(latest_);
    txn_->indexes.rebase(indexes_);
  }
  return *this;
}

template <Store S>
Status Database<S>::begin_transaction() {
  if (txn_) return TransactionError::Nested{};
  const std::uint64_t txn_id = next_txn_id();
  txn_.emplace(TxnStaging{
      catalog_, LatestRows::overlay_on(latest_), IndexState::overlay_on(indexes_), {}, txn_id});
  return ok_status();
}

template <Store S>
Status Database<S>::commit_txn_staging() {
  if (!txn_) return ok_status();
  std::uint64_t staged_bytes = 0;
  const Status committed = [&]() -> Status {
    // The transaction ends here whatever the outcome: a failed commit loses its writes.
    TxnStaging staged = std::move(*txn_);
    txn_.reset();
    if (!staged.pending.empty()) {
      staged_bytes = staged.pending.bytes();
      QUARN_TRY(commit_segments(staged.txn_id, staged.pending));
      // Durable now: the staged bytes go before the changes are applied, which may grow tables.
      staged.pending = EncodedSegments();
    }
    catalog_ = std::move(staged.catalog);
    latest_.absorb(std::move(staged.latest));
    indexes_.absorb(std::move(staged.indexes));
    return ok_status();
  }();
  // A large transaction's staged segments are garbage now: hand their pages back.
  release_freed_memory(staged_bytes);
  return committed;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_TRANSACTION(S)                          \
  template Database<S>::Database(Database&&) noexcept;               \
  template Database<S>& Database<S>::operator=(Database&&) noexcept; \
  template Status Database<S>::begin_transaction();                  \
  template Status Database<S>::commit_txn_staging();
