#include "storage/memory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include <sys/mman.h>
#include <unistd.h>

namespace quarn {
namespace {

// The reads of both in-memory stores.
Status read_in_memory(const Bytes& bytes, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  if (buffer.size() > bytes.size() || offset > bytes.size() - buffer.size()) {
    return io_error(IoErrorKind::UnexpectedEof, "read past end of VecStore");
  }
  if (!buffer.empty()) std::memcpy(buffer.data(), bytes.data() + offset, buffer.size());
  return ok_status();
}

void truncate_in_memory(Bytes& bytes, std::uint64_t length) {
  if (length < bytes.size()) bytes.resize(static_cast<std::size_t>(length));
}

}  // namespace

Status VecStore::write_all_at(std::uint64_t offset, ByteSpan bytes) {
  if (bytes.size() > std::numeric_limits<std::uint64_t>::max() - offset) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  const auto at = static_cast<std::size_t>(offset);
  // A gap past the end reads as zeros.
  if (at > bytes_.size()) bytes_.resize(at, 0);
  // What lands inside is copied over, the rest appended: growing by zeros first would write
  // every appended byte twice.
  const std::size_t inside = std::min(bytes.size(), bytes_.size() - at);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(inside),
            bytes_.begin() + static_cast<std::ptrdiff_t>(at));
  bytes_.insert(bytes_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(inside), bytes.end());
  return ok_status();
}

Status VecStore::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  return read_in_memory(bytes_, offset, buffer);
}

Status VecStore::truncate(std::uint64_t length) {
  truncate_in_memory(bytes_, length);
  return ok_status();
}

Status ReadOnceImage::write_all_at(std::uint64_t, ByteSpan) {
  return io_error(IoErrorKind::Unsupported, "a read-once image is not written");
}

Status ReadOnceImage::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  QUARN_CHECK(
      buffer.empty() || offset + buffer.size() <= discarded_from_ || offset >= discarded_to_,
      "discarded bytes of a read-once image are read again");
  return read_in_memory(bytes_, offset, buffer);
}

Status ReadOnceImage::truncate(std::uint64_t length) {
  truncate_in_memory(bytes_, length);
  return ok_status();
}

void ReadOnceImage::discard(std::uint64_t from, std::uint64_t to) {
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  to = std::min<std::uint64_t>(to, bytes_.size());
  if (from >= to) return;
  const auto base = reinterpret_cast<std::uintptr_t>(bytes_.data());
  const std::uintptr_t first = (base + static_cast<std::uintptr_t>(from) + page - 1) / page * page;
  const std::uintptr_t last = (base + static_cast<std::uintptr_t>(to)) / page * page;
  if (first >= last) return;
  // Anonymous private memory reads as zeros once handed back; nothing reads it again.
  const int rc = ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  if (rc != 0) return;  // a hint the system may decline: the bytes simply stay
  if (discarded_to_ == discarded_from_) discarded_from_ = first - base;
  discarded_to_ = last - base;
}

}  // namespace quarn
