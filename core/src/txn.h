// The transaction marker: the payload of the begin, commit and abort segments that frame a
// transaction in the log. A begin and its commit carry the same id.
#pragma once

#include <cstdint>

#include "bytes.h"
#include "result.h"

namespace quarn {

inline constexpr std::size_t kTxnPayloadV0Size = 24;
inline constexpr std::uint16_t kTxnPayloadVersion = 0;

// Field offsets inside the payload.
inline constexpr std::size_t kTxnIdAt = 2;
inline constexpr std::size_t kTxnCrcAt = 18;

// Appends the 24 marker bytes: version 0, the id, eight zero bytes, the CRC-32C of [0, 18), two
// zero bytes.
void encode_txn_payload_v0(std::uint64_t txn_id, Bytes& out);

inline Bytes encode_txn_payload_v0(std::uint64_t txn_id) {
  Bytes out;
  encode_txn_payload_v0(txn_id, out);
  return out;
}

// The transaction id, or InvalidTxnPayload checked in this order: length not exactly 24
// ("expected 24 bytes, got N"), version not 0 ("unsupported txn payload version V"), CRC of
// [0, 18) wrong ("txn payload crc mismatch"). Bytes 22 and 23 are not looked at.
Result<std::uint64_t> decode_txn_payload_v0(ByteSpan bytes);

}  // namespace quarn
