// CRC-32C of byte strings, and extension of a finished checksum, over ISA-L's hardware path.
#include "checksum.h"

#include <algorithm>
#include <climits>
#include <cstddef>

#include <isa-l/crc.h>

namespace quarn {

std::uint32_t crc32c(ByteSpan bytes) { return crc32c_append(0, bytes); }

std::uint32_t crc32c_append(std::uint32_t crc, ByteSpan bytes) {
  // crc32_iscsi works on the raw register: no initial or final inversion of its own.
  unsigned int state = ~crc;
  // Its length is an int; larger spans go through in pieces.
  constexpr std::size_t kMaxPiece = static_cast<std::size_t>(INT_MAX);
  const std::uint8_t* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const std::size_t piece = std::min(left, kMaxPiece);
    // ISA-L takes a non-const pointer but only reads the buffer.
    state = crc32_iscsi(const_cast<unsigned char*>(data), static_cast<int>(piece), state);
    data += piece;
    left -= piece;
  }
  return ~state;
}

}  // namespace quarn
