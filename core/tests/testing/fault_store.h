// A store wrapper that fails a chosen write, sync or truncate, and a crash that loses every
// byte not yet synced.
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"
#include "result.h"
#include "storage.h"

namespace quarn::testing {

// A VecStore with armed faults. Calls are counted from 1 per operation (writes, syncs,
// truncates) and over all three together (mutations); a failed call counts too. Each armed
// fault fires once, at its call, and is then disarmed. Reads never fail beyond VecStore's own
// errors. The image given at construction counts as synced.
class FaultStore {
 public:
  FaultStore() = default;
  explicit FaultStore(Bytes image) : store_(image), synced_(std::move(image)) {}

  // The n-th write fails with error after applying the first `applied` bytes (a torn write).
  void fail_write_at(std::uint64_t n, IoError error = eio(), std::size_t applied = 0) {
    write_fault_ = Fault{n, std::move(error), applied};
  }
  // The n-th sync fails and makes nothing durable.
  void fail_sync_at(std::uint64_t n, IoError error = eio()) {
    sync_fault_ = Fault{n, std::move(error), 0};
  }
  // The n-th truncate fails and leaves the store as it is.
  void fail_truncate_at(std::uint64_t n, IoError error = eio()) {
    truncate_fault_ = Fault{n, std::move(error), 0};
  }
  // The n-th mutation (write, sync or truncate, counted together) fails and changes nothing;
  // loop n over 1..mutations() of a clean run to fail every step of an operation in turn.
  void fail_mutation_at(std::uint64_t n, IoError error = eio()) {
    mutation_fault_ = Fault{n, std::move(error), 0};
  }
  void clear_faults();

  Status write_all_at(std::uint64_t offset, ByteSpan bytes);
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    ++reads_;
    return store_.read_exact_at(offset, buffer);
  }
  Result<std::uint64_t> len() { return store_.len(); }
  Status sync();
  Status truncate(std::uint64_t length);

  // Power loss: the image falls back to what the last successful sync made durable, and the
  // faults are cleared. Returns a copy of that image.
  Bytes crash();

  const Bytes& bytes() const { return store_.bytes(); }
  const Bytes& synced_bytes() const { return synced_; }
  std::uint64_t writes() const { return writes_; }
  std::uint64_t reads() const { return reads_; }
  std::uint64_t syncs() const { return syncs_; }
  std::uint64_t truncates() const { return truncates_; }
  std::uint64_t mutations() const { return writes_ + syncs_ + truncates_; }

  // "Input/output error (os error 5)".
  static IoError eio() { return IoError::from_errno(EIO); }

 private:
  struct Fault {
    std::uint64_t at;
    IoError error;
    std::size_t applied;
  };
  // The armed fault that fires at this call, if any, disarming it.
  static std::optional<Fault> take(std::optional<Fault>& fault, std::uint64_t call);
  std::optional<Fault> take_for(std::optional<Fault>& own, std::uint64_t call);

  VecStore store_;
  Bytes synced_;
  std::optional<Fault> write_fault_;
  std::optional<Fault> sync_fault_;
  std::optional<Fault> truncate_fault_;
  std::optional<Fault> mutation_fault_;
  std::uint64_t writes_ = 0;
  std::uint64_t reads_ = 0;
  std::uint64_t syncs_ = 0;
  std::uint64_t truncates_ = 0;
};

static_assert(Store<FaultStore>);

}  // namespace quarn::testing
