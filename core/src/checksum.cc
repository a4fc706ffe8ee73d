// CRC-32C of byte strings, and extension of a finished checksum, over ISA-L's hardware path.
#include "checksum.h"

#include <algorithm>
#include <climits>
#include <cstddef>

#include <isa-l/crc.h>

namespace quarn {
namespace {

// ISA-L's wide-vector path (from 256 bytes on) returns with the upper halves of the vector
// registers dirty. Until a vzeroupper, every SSE instruction the process runs, this library's
// and the interpreter's alike, pays a state-transition penalty: everything after a first long
// checksum ran at about half speed.
void clear_upper_vector_state() {
#if defined(__x86_64__)
  static const bool has_avx = __builtin_cpu_supports("avx");
  if (has_avx) asm volatile("vzeroupper");
#endif
}

}  // namespace

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
  clear_upper_vector_state();
  return ~state;
}

}  // namespace quarn
