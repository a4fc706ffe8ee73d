// The store-generic bodies of log replay. replay.cc instantiates them for the engine's stores; a
// test instantiates them for its own.
#pragma once

#include <algorithm>
#include <atomic>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "catalog/codec.h"
#include "db/helpers.h"
#include "db/replay.h"
#include "file_format.h"
#include "pager.h"
#include "record/payload.h"
#include "record/payload_v2.h"
#include "segments/reader.h"
#include "txn.h"

namespace quarn {
namespace replay_detail {

inline constexpr TxnFraming::Messages kReplayFraming{
    "nested TxnBegin in replay",
    "TxnCommit outside transaction in replay",
    "TxnCommit txn_id mismatch in replay",
};

// One data segment held from the framing walk until it is applied: its payload lies in the
// walk's one buffer, so the walk allocates per log rather than per segment.
struct StagedSegment {
  SegmentType type;
  std::size_t at;
  std::size_t size;
};

// Two applications of one walk side by side (apply_committed): where each is, as the offset of
// the segment it applies next, or UINT64_MAX once it is done; and where each failed, or
// UINT64_MAX. A lane stops once it is past the other's failure, which is then the replay's.
struct ReplayLanes {
  std::atomic<std::uint64_t> at[2] = {0, 0};
  std::atomic<std::uint64_t> failed_at[2] = {UINT64_MAX, UINT64_MAX};
};

// The committed data segments of a walk, in log order.
struct CommittedSegments {
  // A store in memory: the data segments among walked[first, last) of each range, read where
  // they lie in its image, so that a replay holds no list of its own beside the walk's.
  const Bytes* in_memory = nullptr;
  // When the store can hand back what is applied (a read-once image), the store.
  ReadOnceImage* discarding = nullptr;
  std::span<const SegmentMeta> walked;
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  // Any other store: the payloads copied into one buffer as the walk read them.
  Bytes payloads;
  std::vector<StagedSegment> staged;

  // Calls f(type, payload) for each segment in log order, up to its first error. With
  // discard_applied, a read-once image hands back what lies before each segment as it goes.
  // With lanes (in memory only), this is lane `lane` of two: it tells where it is, and hands
  // back only what the other lane is past too.
  template <class F>
  Status for_each(F f, bool discard_applied = false, ReplayLanes* lanes = nullptr,
                  int lane = 0) const {
    if (in_memory == nullptr) {
      for (const StagedSegment& segment : staged) {
        QUARN_TRY(f(segment.type, ByteSpan(payloads.data() + segment.at, segment.size)));
      }
      return ok_status();
    }
    // In steps, so that handing back costs a call per few MiB and not one per segment.
    constexpr std::uint64_t kDiscardStep = std::uint64_t{4} << 20;
    const bool discard = discard_applied && discarding != nullptr && !walked.empty();
    const std::uint64_t first = discard ? walked.front().offset : 0;
    std::uint64_t discarded = first;
    for (const auto& [from, to] : ranges) {
      for (std::size_t i = from; i < to; ++i) {
        const SegmentMeta& meta = walked[i];
        if (!is_data_segment(meta.header.segment_type)) continue;
        if (lanes != nullptr) {
          // The other lane failed before this segment: its error is the first in log order.
          if (lanes->failed_at[1 - lane].load(std::memory_order_acquire) < meta.offset) {
            return ok_status();
          }
          lanes->at[lane].store(meta.offset, std::memory_order_release);
        }
        if (discard && meta.offset - discarded >= kDiscardStep) {
          // Everything before this segment is applied, or was cut out with its transaction.
          const std::uint64_t below =
              lanes == nullptr
                  ? meta.offset
                  : std::min(meta.offset, lanes->at[1 - lane].load(std::memory_order_acquire));
          if (below > discarded) {
            discarding->discard(first, below);
            discarded = below;
          }
        }
        // The walk bounded the payload by the store.
        const ByteSpan payload(in_memory->data() + meta.offset + kSegmentHeaderSize,
                               static_cast<std::size_t>(meta.header.payload_len));
        Status applied = f(meta.header.segment_type, payload);
        if (!applied.ok()) {
          if (lanes != nullptr)
            lanes->failed_at[lane].store(meta.offset, std::memory_order_release);
          return applied;
        }
      }
    }
    return ok_status();
  }
};

// The two kinds of state a replay changes, apart: index segments change the index state alone,
// catalog and record segments the catalog and the rows, so the two can be applied side by side.

// entries is storage for the segment's decoded entries, kept from one segment to the next so
// that they cost no allocation per segment.
inline Status apply_index_segment(ByteSpan payload, IndexState& indexes,
                                  std::vector<IndexEntryView>& entries) {
  QUARN_ASSIGN_OR_RETURN(const std::span<const IndexEntryView> decoded,
                         decode_index_payload_views(payload, entries));
  for (const IndexEntryView& entry : decoded) QUARN_TRY(indexes.apply(entry));
  return ok_status();
}

// A catalog or record segment; plans hold the record decoding plans of the catalog as it stands.
inline Status apply_row_segment(SegmentType type, ByteSpan payload, Catalog& catalog,
                                LatestRows& latest, RecordPlans& plans) {
  if (type == SegmentType::Catalog) {
    QUARN_ASSIGN_OR_RETURN(CatalogRecordWire entry, decode_catalog_payload(payload));
    // Plans hold the definitions they were made from.
    plans.clear();
    return catalog.apply_record(std::move(entry));
  }
  QUARN_CHECK(type == SegmentType::Record,
              "replay applies only catalog, record and index segments");
  return apply_record_segment(payload, catalog, latest, RecordSource::Log, &plans);
}

// What one pass of application keeps from one segment to the next.
struct ApplyScratch {
  std::vector<IndexEntryView> index_entries;
  RecordPlans record_plans;
};

inline Status apply_data_segment(SegmentType type, ByteSpan payload, Catalog& catalog,
                                 LatestRows& latest, IndexState& indexes, ApplyScratch& scratch) {
  if (type == SegmentType::Index)
    return apply_index_segment(payload, indexes, scratch.index_entries);
  return apply_row_segment(type, payload, catalog, latest, scratch.record_plans);
}

// The committed data segments of a framed log, in log order; the whole framing is checked
// first, so a broken log applies nothing. Segments of an open transaction are appended after
// the committed ones, and an abort cuts them off again.
template <Store S>
Result<CommittedSegments> committed_segments(S& store, std::span<const SegmentMeta> segments) {
  CommittedSegments out;
  constexpr bool kInMemory = InMemoryStore<S>;
  if constexpr (kInMemory) {
    out.in_memory = &store.bytes();
    if constexpr (DiscardingStore<S>) out.discarding = &store;
    out.walked = segments;
  } else {
    std::uint64_t data_bytes = 0;
    std::size_t data_count = 0;
    for (const SegmentMeta& meta : segments) {
      if (!is_data_segment(meta.header.segment_type)) continue;
      data_bytes += meta.header.payload_len;
      ++data_count;
    }
    // The scan bounded every payload by the store, so these fit in memory as the log does.
    out.payloads.reserve(static_cast<std::size_t>(data_bytes));
    out.staged.reserve(data_count);
  }
  TxnFraming framing(kReplayFraming);
  // Where the open transaction began: its begin marker's index in memory, else the staged
  // segments before it.
  std::size_t open_from = 0;
  // Set by an abort: the next data segment starts a range of its own, so that the range before
  // does not reach over what the abort dropped.
  bool range_closed = false;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const SegmentMeta& meta = segments[i];
    const SegmentType type = meta.header.segment_type;
    if (is_data_segment(type)) {
      if constexpr (kInMemory) {
        if (out.ranges.empty() || range_closed) {
          out.ranges.emplace_back(i, i + 1);
          range_closed = false;
        } else {
          out.ranges.back().second = i + 1;  // markers between are skipped when applied
        }
      } else {
        const std::size_t at = out.payloads.size();
        QUARN_TRY(append_scanned_segment_payload(store, meta, out.payloads));
        out.staged.push_back(
            StagedSegment{type, at, static_cast<std::size_t>(meta.header.payload_len)});
      }
      continue;
    }
    if (!is_txn_marker(type)) continue;
    const bool was_open = framing.open();
    QUARN_ASSIGN_OR_RETURN(const TxnFraming::Step step, framing.step(store, meta));
    if (step == TxnFraming::Step::Began) {
      open_from = kInMemory ? i : out.staged.size();
    } else if (step == TxnFraming::Step::Aborted && was_open) {
      // Outside a transaction there is nothing pending to drop.
      if constexpr (kInMemory) {
        while (!out.ranges.empty() && out.ranges.back().first >= open_from) out.ranges.pop_back();
        if (!out.ranges.empty() && out.ranges.back().second > open_from) {
          out.ranges.back().second = open_from;
        }
        range_closed = true;
      } else {
        if (open_from < out.staged.size()) out.payloads.resize(out.staged[open_from].at);
        out.staged.resize(open_from);
      }
    }
  }
  if (framing.open()) {
    return FormatError::InvalidTxnPayload{
        "unclosed transaction at end of log (recovery should truncate)"};
  }
  return out;
}

// Room in each collection's table for the rows its committed records hold, so that a replay
// fills each table without copying it as it grows. A record's stored entry is about its payload
// plus the field names; what is reserved and never filled is address space, not memory.
inline void reserve_row_room(const CommittedSegments& committed, LatestRows& latest) {
  constexpr std::size_t kMaxReserved = std::size_t{1} << 30;
  std::unordered_map<std::uint32_t, std::size_t> bytes;
  const Status counted = committed.for_each([&](SegmentType type, ByteSpan payload) {
    if (type != SegmentType::Record || payload.size() < kRecordCollectionIdAt + 4) {
      return ok_status();
    }
    const auto collection_id =
        static_cast<std::uint32_t>(load_le(payload, kRecordCollectionIdAt, 4));
    bytes[collection_id] += payload.size() + payload.size() / 2 + 32;
    return ok_status();
  });
  QUARN_CHECK(counted.ok(), "counting record sizes fails nothing");
  for (const auto& [collection_id, size] : bytes) {
    latest.reserve(collection_id, std::min(size, kMaxReserved));
  }
}

// Applies the committed segments to the state in log order, handing back a read-once image as it
// goes; the first error in log order is the result. A long walk in memory is applied in two
// lanes side by side, index segments in one and the rest in the other: neither reads what the
// other changes, so the state and the first error are those of one pass.
Status apply_committed(const CommittedSegments& committed, Catalog& catalog, LatestRows& latest,
                       IndexState& indexes);

}  // namespace replay_detail

template <Store S>
Status replay_tail_into(S& store, std::uint64_t start, std::uint16_t format_minor, Catalog& catalog,
                        LatestRows& latest, IndexState& indexes,
                        std::span<const SegmentMeta> scanned) {
  const auto from = std::lower_bound(
      scanned.begin(), scanned.end(), start,
      [](const SegmentMeta& meta, std::uint64_t offset) { return meta.offset < offset; });
  std::vector<SegmentMeta> own;
  std::span<const SegmentMeta> segments;
  if (from != scanned.end() && from->offset == start) {
    segments = std::span<const SegmentMeta>(from, scanned.end());
  } else {
    QUARN_ASSIGN_OR_RETURN(own, scan_segments(store, start));
    segments = own;
  }
  replay_detail::ApplyScratch scratch;
  if (format_minor < kFormatMinorFramed) {
    // Unframed: markers mean nothing here, and each payload is read just before it is applied.
    for (const SegmentMeta& meta : segments) {
      if (!is_data_segment(meta.header.segment_type)) continue;
      Bytes payload;
      QUARN_TRY(append_scanned_segment_payload(store, meta, payload));
      QUARN_TRY(replay_detail::apply_data_segment(meta.header.segment_type, payload, catalog,
                                                  latest, indexes, scratch));
    }
    return ok_status();
  }
  QUARN_ASSIGN_OR_RETURN(const replay_detail::CommittedSegments committed,
                         replay_detail::committed_segments(store, segments));
  replay_detail::reserve_row_room(committed, latest);
  return replay_detail::apply_committed(committed, catalog, latest, indexes);
}

template <Store S>
Result<ReplayedState> load_catalog_latest_and_indexes(S& store, std::uint64_t data_start,
                                                      std::uint16_t format_minor,
                                                      std::span<const SegmentMeta> scanned) {
  ReplayedState state;
  QUARN_TRY(replay_tail_into(store, data_start, format_minor, state.catalog, state.latest,
                             state.indexes, scanned));
  return state;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_REPLAY(S)                                                         \
  template Result<ReplayedState> load_catalog_latest_and_indexes<S>(                           \
      S&, std::uint64_t, std::uint16_t, std::span<const SegmentMeta>);                         \
  template Status replay_tail_into<S>(S&, std::uint64_t, std::uint16_t, Catalog&, LatestRows&, \
                                      IndexState&, std::span<const SegmentMeta>);
