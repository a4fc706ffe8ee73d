// The transaction-marker payload: the transaction id under a checksum of its own.
//
//   [0, 2)    version, u16: 0
//   [2, 10)   transaction id, u64
//   [10, 18)  zero (covered by the CRC only)
//   [18, 22)  CRC-32C of [0, 18), u32
//   [22, 24)  zero (not checked)
#include "txn.h"

#include <array>
#include <string>

#include "checksum.h"

namespace quarn {

// Each field of the table starts where the one before it ends.
static_assert(kTxnIdAt == kTxnVersionAt + 2);
static_assert(kTxnZeroAt == kTxnIdAt + 8);
static_assert(kTxnCrcAt == kTxnZeroAt + 8);
static_assert(kTxnTailZeroAt == kTxnCrcAt + 4);
static_assert(kTxnTailZeroAt < kTxnPayloadV0Size);

void encode_txn_payload_v0(std::uint64_t txn_id, Bytes& out) {
  // Built in place and appended at once: every commit writes two.
  std::array<std::uint8_t, kTxnPayloadV0Size> bytes{};  // the zero fields stay 0
  store_le(bytes, kTxnVersionAt, 2, kTxnPayloadVersion);
  store_le(bytes, kTxnIdAt, 8, txn_id);
  store_le(bytes, kTxnCrcAt, 4, crc32c(ByteSpan(bytes).first(kTxnCrcAt)));
  out.insert(out.end(), bytes.begin(), bytes.end());
}

Result<std::uint64_t> decode_txn_payload_v0(ByteSpan bytes) {
  if (bytes.size() != kTxnPayloadV0Size) {
    return FormatError::InvalidTxnPayload{"expected " + std::to_string(kTxnPayloadV0Size) +
                                          " bytes, got " + std::to_string(bytes.size())};
  }
  const auto version = static_cast<std::uint16_t>(load_le(bytes, kTxnVersionAt, 2));
  const std::uint64_t txn_id = load_le(bytes, kTxnIdAt, 8);
  const auto stored = static_cast<std::uint32_t>(load_le(bytes, kTxnCrcAt, 4));
  if (version != kTxnPayloadVersion) {
    return FormatError::InvalidTxnPayload{"unsupported txn payload version " +
                                          std::to_string(version)};
  }
  if (stored != crc32c(bytes.first(kTxnCrcAt))) {
    return FormatError::InvalidTxnPayload{"txn payload crc mismatch"};
  }
  return txn_id;
}

Status TxnFraming::check_begin(SegmentType type) const {
  if (type == SegmentType::TxnBegin && open_) {
    return FormatError::InvalidTxnPayload{messages_.nested_begin};
  }
  return ok_status();
}

Result<TxnFraming::Step> TxnFraming::step(SegmentType type, std::uint64_t txn_id) {
  QUARN_TRY(check_begin(type));
  return apply(type, txn_id);
}

Result<TxnFraming::Step> TxnFraming::apply(SegmentType type, std::uint64_t txn_id) {
  switch (type) {
    case SegmentType::TxnBegin:
      open_ = true;
      open_id_ = txn_id;
      return Step::Began;
    case SegmentType::TxnCommit:
      if (!open_) return FormatError::InvalidTxnPayload{messages_.commit_outside};
      if (txn_id != open_id_) return FormatError::InvalidTxnPayload{messages_.commit_mismatch};
      open_ = false;
      return Step::Committed;
    default:
      QUARN_CHECK(type == SegmentType::TxnAbort, "transaction framing fed a data segment");
      open_ = false;
      return Step::Aborted;
  }
}

}  // namespace quarn
