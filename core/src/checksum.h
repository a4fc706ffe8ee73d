// CRC-32C (Castagnoli, as in iSCSI): the one checksum of the file format.
#pragma once

#include <cstdint>

#include "bytes.h"

namespace quarn {

// The checksum of a byte string; the empty string gives 0.
std::uint32_t crc32c(ByteSpan bytes);

// Continues a finished checksum over further bytes:
// crc32c_append(crc32c(a), b) == crc32c(a + b), and crc32c_append(0, b) == crc32c(b).
std::uint32_t crc32c_append(std::uint32_t crc, ByteSpan bytes);

}  // namespace quarn
