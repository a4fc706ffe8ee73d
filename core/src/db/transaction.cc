// Transactions: begin copies the committed state, commit writes the staged segments as one
// framed transaction and only then installs the staged state.
#include <utility>
#include <vector>

#include "db/database.h"
#include "store_instances.h"

namespace quarn {

template <Store S>
Status Database<S>::begin_transaction() {
  if (txn_) return TransactionError::Nested{};
  const std::uint64_t txn_id = next_txn_id();
  txn_.emplace(TxnStaging{catalog_, latest_, indexes_, {}, txn_id});
  return ok_status();
}

template <Store S>
Status Database<S>::commit_txn_staging() {
  if (!txn_) return ok_status();
  // The transaction ends here whatever the outcome: a failed commit loses its writes.
  TxnStaging staged = std::move(*txn_);
  txn_.reset();
  if (!staged.pending.empty()) {
    std::vector<SegmentView> segments;
    segments.reserve(staged.pending.size());
    for (const PendingSegment& segment : staged.pending) {
      segments.push_back({segment.type, segment.payload});
    }
    QUARN_TRY(commit_segments(staged.txn_id, segments));
  }
  catalog_ = std::move(staged.catalog);
  latest_ = std::move(staged.latest);
  indexes_ = std::move(staged.indexes);
  return ok_status();
}

#define QUARN_INSTANTIATE(S)                        \
  template Status Database<S>::begin_transaction(); \
  template Status Database<S>::commit_txn_staging();
QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE)
#undef QUARN_INSTANTIATE

}  // namespace quarn
