// Tail recovery: where the durable part of the log ends. A segment still being written when the
// process stopped, and in format 0.6 a transaction without its commit marker, lie past that end;
// every other kind of damage is an error, never cut off.
#pragma once

#include <cstdint>
#include <vector>

#include "result.h"
#include "segments/reader.h"
#include "storage.h"

namespace quarn {

// The offset at which the durable log ends (the store length when nothing is to be cut). Walks
// the complete segments from data_start, checking every header and every payload checksum but
// those of checkpoint and spill segments; only reads. In minor 6 the walk also checks the
// transaction framing and cuts back to the begin marker of an unfinished transaction.
// Errors: the store's; a complete header that does not decode; SegmentPayloadChecksumMismatch;
// in minor 6 marker decode errors and InvalidTxnPayload "nested TxnBegin before TxnCommit",
// "TxnCommit outside transaction", "TxnCommit txn_id does not match TxnBegin".
template <Store S>
Result<std::uint64_t> truncate_end_for_recovery(S& store, std::uint64_t data_start,
                                                std::uint16_t format_minor);
// The same, leaving in kept the walk's segments that lie before the returned end: what a strict
// scan from data_start of the store cut to that end returns.
template <Store S>
Result<std::uint64_t> truncate_end_for_recovery(S& store, std::uint64_t data_start,
                                                std::uint16_t format_minor,
                                                std::vector<SegmentMeta>& kept);

}  // namespace quarn
