// Byte stores: the in-memory VecStore and the unbuffered RawFileStore.
#include "storage.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace quarn {

Status VecStore::write_all_at(std::uint64_t offset, ByteSpan bytes) {
  if (bytes.size() > std::numeric_limits<std::uint64_t>::max() - offset) {
    return io_error(IoErrorKind::InvalidInput, "overflow");
  }
  const std::uint64_t end = offset + bytes.size();
  if (end > bytes_.size()) bytes_.resize(static_cast<std::size_t>(end), 0);
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
  return ok_status();
}

Status VecStore::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t end = buffer.size() > max - offset ? max : offset + buffer.size();
  if (end > bytes_.size()) {
    return io_error(IoErrorKind::UnexpectedEof, "read past end of VecStore");
  }
  if (!buffer.empty()) {
    std::memcpy(buffer.data(), bytes_.data() + offset, buffer.size());
  }
  return ok_status();
}

Status VecStore::truncate(std::uint64_t length) {
  if (length < bytes_.size()) bytes_.resize(static_cast<std::size_t>(length));
  return ok_status();
}

}  // namespace quarn
