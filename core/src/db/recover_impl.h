// The store-generic body of tail recovery. recover.cc instantiates it for the engine's stores; a
// test instantiates it for its own.
#pragma once

#include <vector>

#include "db/recover.h"
#include "file_format.h"
#include "pager.h"
#include "segments/header.h"
#include "segments/reader.h"
#include "txn.h"

namespace quarn {
namespace recover_detail {

inline constexpr TxnFraming::Messages kRecoveryFraming{
    "nested TxnBegin before TxnCommit",
    "TxnCommit outside transaction",
    "TxnCommit txn_id does not match TxnBegin",
};

inline std::uint64_t segment_end(const SegmentMeta& meta) {
  return meta.offset + kSegmentHeaderSize + meta.header.payload_len;
}

}  // namespace recover_detail

template <Store S>
Result<std::uint64_t> truncate_end_for_recovery(S& store, std::uint64_t data_start,
                                                std::uint16_t format_minor) {
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  QUARN_ASSIGN_OR_RETURN(const std::vector<SegmentMeta> segments,
                         scan_complete_segments(store, data_start, len));

  std::uint64_t candidate = data_start;
  if (format_minor < kFormatMinorFramed) {
    if (!segments.empty()) candidate = recover_detail::segment_end(segments.back());
    return candidate >= len ? len : candidate;
  }

  TxnFraming framing(recover_detail::kRecoveryFraming);
  for (const SegmentMeta& meta : segments) {
    if (!is_txn_marker(meta.header.segment_type)) {
      if (!framing.open()) candidate = recover_detail::segment_end(meta);
      continue;
    }
    QUARN_ASSIGN_OR_RETURN(const TxnFraming::Step step, framing.step(store, meta));
    // While a transaction is open the candidate stays at its begin marker: an unfinished one is
    // cut back to there.
    candidate = step == TxnFraming::Step::Began ? meta.offset : recover_detail::segment_end(meta);
  }
  return candidate >= len ? len : candidate;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_RECOVER(S) \
  template Result<std::uint64_t> truncate_end_for_recovery<S>(S&, std::uint64_t, std::uint16_t);
