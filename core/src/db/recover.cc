// Tail recovery. The walk collects complete segments first and judges the transaction framing
// afterwards, so a torn segment inside an unfinished transaction still cuts at its begin marker.
#include "db/recover.h"

#include <vector>

#include "file_format.h"
#include "pager.h"
#include "segments/header.h"
#include "segments/reader.h"
#include "store_instances.h"
#include "txn.h"

namespace quarn {
namespace {

constexpr TxnFraming::Messages kRecoveryFraming{
    "nested TxnBegin before TxnCommit",
    "TxnCommit outside transaction",
    "TxnCommit txn_id does not match TxnBegin",
};

std::uint64_t segment_end(const SegmentMeta& meta) {
  return meta.offset + kSegmentHeaderSize + meta.header.payload_len;
}

}  // namespace

template <Store S>
Result<std::uint64_t> truncate_end_for_recovery(S& store, std::uint64_t data_start,
                                                std::uint16_t format_minor) {
  QUARN_ASSIGN_OR_RETURN(const std::uint64_t len, store.len());
  QUARN_ASSIGN_OR_RETURN(const std::vector<SegmentMeta> segments,
                         scan_complete_segments(store, data_start, len));

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

#define QUARN_INSTANTIATE(S) \
  template Result<std::uint64_t> truncate_end_for_recovery<S>(S&, std::uint64_t, std::uint16_t);
QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE)
#undef QUARN_INSTANTIATE

}  // namespace quarn
