// Test access to the engine handle's commit helpers.
#pragma once

#include <cstdint>
#include <span>

#include "db/database.h"

namespace quarn::testing {

struct DatabaseTestPeer {
  template <class S>
  static Status commit(Database<S>& db, std::uint64_t txn_id,
                       std::span<const SegmentView> segments) {
    return db.commit_segments(txn_id, segments);
  }
  // Commits under the handle's next transaction id.
  template <class S>
  static Status commit(Database<S>& db, std::span<const SegmentView> segments) {
    return db.commit_segments(db.next_txn_id(), segments);
  }
  template <class S>
  static std::uint64_t next_txn_id(Database<S>& db) {
    return db.next_txn_id();
  }
  template <class S>
  static Status check_writable(const Database<S>& db) {
    return db.check_writable();
  }
  template <class S>
  static void set_last_txn_id(Database<S>& db, std::uint64_t id) {
    db.last_txn_id_ = id;
  }
};

}  // namespace quarn::testing
