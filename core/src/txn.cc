// The transaction-marker payload: the transaction id under a checksum of its own.
//
//   [0, 2)    version, u16: 0
//   [2, 10)   transaction id, u64
//   [10, 18)  zero (covered by the CRC only)
//   [18, 22)  CRC-32C of [0, 18), u32
//   [22, 24)  zero (not checked)
#include "txn.h"

#include <string>

#include "checksum.h"

namespace quarn {

void encode_txn_payload_v0(std::uint64_t txn_id, Bytes& out) {
  const std::size_t start = out.size();
  out.reserve(start + kTxnPayloadV0Size);
  ByteWriter w(out);
  w.put_u16(kTxnPayloadVersion);
  w.put_u64(txn_id);
  w.put_u64(0);
  w.put_u32(crc32c(ByteSpan(out).subspan(start, kTxnCrcAt)));
  w.put_u16(0);
}

Result<std::uint64_t> decode_txn_payload_v0(ByteSpan bytes) {
  if (bytes.size() != kTxnPayloadV0Size) {
    return FormatError::InvalidTxnPayload{"expected " + std::to_string(kTxnPayloadV0Size) +
                                          " bytes, got " + std::to_string(bytes.size())};
  }
  ByteReader r(bytes);
  std::uint16_t version = 0;
  std::uint64_t txn_id = 0;
  std::uint32_t stored = 0;
  // The length was checked above: these reads cannot come up short.
  r.get_u16(version);
  r.get_u64(txn_id);
  r.skip(8);
  r.get_u32(stored);
  if (version != kTxnPayloadVersion) {
    return FormatError::InvalidTxnPayload{"unsupported txn payload version " +
                                          std::to_string(version)};
  }
  if (stored != crc32c(bytes.first(kTxnCrcAt))) {
    return FormatError::InvalidTxnPayload{"txn payload crc mismatch"};
  }
  return txn_id;
}

}  // namespace quarn
