// The in-memory stores: VecStore, the image of an in-memory database or a snapshot, and
// ReadOnceImage, the copy of a file an open reads once.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "bytes.h"
#include "result.h"
#include "storage/store.h"

namespace quarn {

// The whole image in a byte vector: in-memory databases and snapshots.
class VecStore {
 public:
  VecStore() = default;
  explicit VecStore(Bytes bytes) : bytes_(std::move(bytes)) {}

  // InvalidInput "overflow" when offset + size passes 2^64 - 1.
  Status write_all_at(std::uint64_t offset, ByteSpan bytes);
  // UnexpectedEof "read past end of VecStore" (also when offset + size would overflow).
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
  Result<std::uint64_t> len() { return static_cast<std::uint64_t>(bytes_.size()); }
  Status sync() { return ok_status(); }
  // Shortens the vector; a greater length leaves it as it is.
  Status truncate(std::uint64_t length);

  // The image.
  const Bytes& bytes() const { return bytes_; }
  // Gives the image back (snapshot bytes); the store is empty afterwards.
  Bytes take_bytes() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// The copy of a file that an open reads once: recovery walks it, then replay applies it front to
// back and hands back the pages of what it has applied (discard), so that the copy and the state
// built from it are not held whole at once. Read as a VecStore is; the open never writes it.
class ReadOnceImage {
 public:
  explicit ReadOnceImage(Bytes bytes) : bytes_(std::move(bytes)) {}

  // Unsupported "a read-once image is not written".
  Status write_all_at(std::uint64_t offset, ByteSpan bytes);
  // As VecStore's. A read of discarded bytes is an internal fault.
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
  Result<std::uint64_t> len() { return static_cast<std::uint64_t>(bytes_.size()); }
  Status sync() { return ok_status(); }
  // Shortens the copy (the cut of a torn tail); a greater length leaves it as it is.
  Status truncate(std::uint64_t length);

  // The image. A view of discarded bytes reads zeros (or the old bytes, where the system
  // declined to take them back).
  const Bytes& bytes() const { return bytes_; }
  // Hands the whole pages within bytes [from, to) back to the system; their bytes are gone.
  // REQUIRES: each call's range starts where the last one's did.
  void discard(std::uint64_t from, std::uint64_t to);

 private:
  Bytes bytes_;
  // The bytes discard handed back: [discarded_from_, discarded_to_), empty when equal.
  std::uint64_t discarded_from_ = 0;
  std::uint64_t discarded_to_ = 0;
};

static_assert(InMemoryStore<VecStore> && !DiscardingStore<VecStore>);
static_assert(DiscardingStore<ReadOnceImage>);

}  // namespace quarn
