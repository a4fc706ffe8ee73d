// Test access to the whole state behind an engine handle: the row map and the indexes
// themselves, working or committed, and an open transaction's staging. Callers outside the tests
// read the state through Database::state() and committed_state().
#pragma once

#include <optional>

#include "catalog/state.h"
#include "db/database.h"
#include "db/state/latest_rows.h"
#include "index.h"

namespace quarn::testing {

struct DatabaseStatePeer {
  template <class S>
  static const LatestRows& latest(const Database<S>& db) {
    return db.latest();
  }
  template <class S>
  static const IndexState& indexes(const Database<S>& db) {
    return db.indexes();
  }
  template <class S>
  static const LatestRows& committed_latest(const Database<S>& db) {
    return db.latest_;
  }
  template <class S>
  static const IndexState& committed_indexes(const Database<S>& db) {
    return db.indexes_;
  }
  template <class S>
  static const std::optional<TxnStaging>& txn(const Database<S>& db) {
    return db.txn_;
  }
};

// The working state: the staged one while a transaction is open.
template <class S>
const LatestRows& latest_of(const Database<S>& db) {
  return DatabaseStatePeer::latest(db);
}
template <class S>
const IndexState& indexes_of(const Database<S>& db) {
  return DatabaseStatePeer::indexes(db);
}

template <class S>
const LatestRows& committed_latest_of(const Database<S>& db) {
  return DatabaseStatePeer::committed_latest(db);
}
template <class S>
const IndexState& committed_indexes_of(const Database<S>& db) {
  return DatabaseStatePeer::committed_indexes(db);
}

template <class S>
const std::optional<TxnStaging>& txn_of(const Database<S>& db) {
  return DatabaseStatePeer::txn(db);
}

}  // namespace quarn::testing
