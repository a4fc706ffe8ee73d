// A store wrapper that fails a chosen write, sync or truncate.
#include "testing/fault_store.h"

#include <algorithm>

namespace quarn::testing {

std::optional<FaultStore::Fault> FaultStore::take(std::optional<Fault>& fault, std::uint64_t call) {
  if (!fault || fault->at != call) return std::nullopt;
  std::optional<Fault> fired = std::move(fault);
  fault.reset();
  return fired;
}

std::optional<FaultStore::Fault> FaultStore::take_for(std::optional<Fault>& own,
                                                      std::uint64_t call) {
  // Both counters have advanced already; a fault armed on either fires.
  std::optional<Fault> fired = take(own, call);
  std::optional<Fault> by_mutation = take(mutation_fault_, mutations());
  return fired ? fired : by_mutation;
}

void FaultStore::clear_faults() {
  write_fault_.reset();
  sync_fault_.reset();
  truncate_fault_.reset();
  mutation_fault_.reset();
}

Status FaultStore::write_all_at(std::uint64_t offset, ByteSpan bytes) {
  ++writes_;
  if (std::optional<Fault> fault = take_for(write_fault_, writes_)) {
    const std::size_t applied = std::min(fault->applied, bytes.size());
    if (applied > 0) QUARN_TRY(store_.write_all_at(offset, bytes.first(applied)));
    return DbError(std::move(fault->error));
  }
  return store_.write_all_at(offset, bytes);
}

Status FaultStore::sync() {
  ++syncs_;
  if (std::optional<Fault> fault = take_for(sync_fault_, syncs_)) {
    return DbError(std::move(fault->error));
  }
  synced_ = store_.bytes();
  return ok_status();
}

Status FaultStore::truncate(std::uint64_t length) {
  ++truncates_;
  if (std::optional<Fault> fault = take_for(truncate_fault_, truncates_)) {
    return DbError(std::move(fault->error));
  }
  return store_.truncate(length);
}

Bytes FaultStore::crash() {
  clear_faults();
  store_ = VecStore(synced_);
  return synced_;
}

}  // namespace quarn::testing
