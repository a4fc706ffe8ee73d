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

// Where the durable log ends, given the complete segments a walk from data_start found.
template <Store S>
Result<std::uint64_t> durable_end(S& store, std::uint64_t data_start, std::uint16_t format_minor,
                                  std::uint64_t len, const std::vector<SegmentMeta>& segments) {
  std::uint64_t candidate = data_start;
  if (format_minor < kFormatMinorFramed) {
    if (!segments.empty()) candidate = segment_end(segments.back());
    return candidate >= len ? len : candidate;
  }

  TxnFraming framing(kRecoveryFraming);
  for (const SegmentMeta& meta : segments) {
    if (!is_txn_marker(meta.header.segment_type)) {
      if (!framing.open()) candidate = segment_end(meta);
      continue;
    }
    QUARN_ASSIGN_OR_RETURN(const TxnFraming::Step step, framing.step(store, meta));
    // While a transaction is open the candidate stays at its begin marker: an unfinished one is
    // cut back to there.
    candidate = step == TxnFraming::Step::Began ? meta.offset : segment_end(meta);
  }
  return candidate >= len ? len : candidate;
}

}  // namespace recover_detail

template <Store S>
Result<std::uint64_t> truncate_end_for_recovery(S& store, std::uint64_t data_start,
                                                std::uint16_t format_minor) {
  std::vector<SegmentMeta> kept;
  return truncate_end_for_recovery(store, data_start, format_minor, kept);
}

template <Store S>
Result<std::uint64_t> truncate_end_for_recovery(S& store, std::uint64_t data_start,
                                                std::uint16_t format_minor,
                                                std::vector<SegmentMeta>& kept) {
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  QUARN_ASSIGN_OR_RETURN(kept, scan_complete_segments(store, data_start, len));
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t end,
                         recover_detail::durable_end(store, data_start, format_minor, len, kept));
  // The end is a segment boundary: what starts before it lies wholly before it.
  while (!kept.empty() && kept.back().offset >= end) kept.pop_back();
  return end;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_RECOVER(S)                                                          \
  template Result<std::uint64_t> truncate_end_for_recovery<S>(S&, std::uint64_t, std::uint16_t); \
  template Result<std::uint64_t> truncate_end_for_recovery<S>(S&, std::uint64_t, std::uint16_t,  \
                                                              std::vector<SegmentMeta>&);
