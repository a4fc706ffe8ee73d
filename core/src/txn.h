// The transaction marker: the payload of the begin, commit and abort segments that frame a
// transaction in the log, and the framing rule they follow. A begin and its commit carry the same
// id.
#pragma once

#include <cstdint>

#include "bytes.h"
#include "result.h"
#include "segments/header.h"
#include "segments/reader.h"
#include "storage.h"

namespace quarn {

inline constexpr std::size_t kTxnPayloadV0Size = 24;
inline constexpr std::uint16_t kTxnPayloadVersion = 0;

// Field offsets inside the payload.
inline constexpr std::size_t kTxnVersionAt = 0;
inline constexpr std::size_t kTxnIdAt = 2;
inline constexpr std::size_t kTxnZeroAt = 10;
inline constexpr std::size_t kTxnCrcAt = 18;
inline constexpr std::size_t kTxnTailZeroAt = 22;

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

// The framing rule of a 0.6 log, fed its markers in log order: a begin opens a transaction while
// none is open, a commit closes the open one and carries its id, an abort closes whatever is open.
// Each caller words the breaches itself.
class TxnFraming {
 public:
  struct Messages {
    const char* nested_begin;     // a begin while a transaction is open
    const char* commit_outside;   // a commit while none is open
    const char* commit_mismatch;  // a commit carrying another id than the open begin
  };
  // What a marker did.
  enum class Step { Began, Committed, Aborted };

  // The texts are kept, not copied: string literals.
  explicit TxnFraming(Messages messages) : messages_(messages) {}

  bool open() const { return open_; }

  // Applies the marker segment at meta, its payload read from store: a begin is judged before its
  // payload is read, a commit after. Errors: InvalidTxnPayload with one of the messages; the
  // store's and decode_txn_payload_v0's.
  // REQUIRES: meta is a TxnBegin, TxnCommit or TxnAbort segment that a scan of store returned.
  template <Store S>
  Result<Step> step(S& store, const SegmentMeta& meta);
  // The same for a marker whose payload the caller read and decoded: txn_id is the id it
  // carries. Errors: InvalidTxnPayload with one of the messages.
  // REQUIRES: type is TxnBegin, TxnCommit or TxnAbort.
  Result<Step> step(SegmentType type, std::uint64_t txn_id);

 private:
  Status check_begin(SegmentType type) const;
  Result<Step> apply(SegmentType type, std::uint64_t txn_id);

  Messages messages_;
  bool open_ = false;
  std::uint64_t open_id_ = 0;
};

template <Store S>
Result<TxnFraming::Step> TxnFraming::step(S& store, const SegmentMeta& meta) {
  const SegmentType type = meta.header.segment_type;
  QUARN_TRY(check_begin(type));
  Bytes payload;
  QUARN_TRY(append_scanned_segment_payload(store, meta, payload));
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t txn_id, decode_txn_payload_v0(payload));
  return apply(type, txn_id);
}

}  // namespace quarn
