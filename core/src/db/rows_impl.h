// The store-generic bodies of insert, get and delete. rows.cc instantiates them for the engine's
// stores; a test instantiates them for its own.
#pragma once

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "db/database.h"
#include "db/helpers.h"
#include "db/write.h"
#include "record/payload.h"
#include "record/payload_v2.h"

namespace quarn {
namespace rows_detail {

// The collection and its primary field definition, for a key of pk's kind.
inline Result<KeyedCollection> collection_for_key(const Catalog& catalog,
                                                  std::uint32_t collection_id,
                                                  const ScalarValue& pk) {
  QUARN_ASSIGN_OR_RETURN(const KeyedCollection keyed, keyed_collection(catalog, collection_id));
  // A non-primitive type has a number above every scalar kind, so it refuses every key.
  if (keyed.primary_def->type.number() != pk.kind()) return FormatError::RecordTypeMismatch{};
  return keyed;
}

// The writes were checked against this very state, so no entry can conflict; one that did
// would leave memory disagreeing with what was just logged.
// Entries: owned IndexEntrys, taken, or IndexEntryViews.
template <class Entries>
void apply_entries(IndexState& indexes, Entries entries) {
  for (auto& entry : entries) {
    const Status applied = indexes.apply(std::move(entry));
    QUARN_CHECK(applied.ok(), "checked index entry refused");
  }
}

// The segments of one row write: its index changes, if it has any, then its record.
inline std::span<PendingSegment> row_write_segments(std::array<PendingSegment, 2>& segments) {
  return segments[0].payload.empty() ? std::span(segments).subspan(1) : std::span(segments);
}

}  // namespace rows_detail

template <Store S>
Status Database<S>::insert(std::uint32_t collection_id, Row row) {
  QUARN_TRY(check_writable());
  QUARN_TRY(check_log_upgradable());
  QUARN_TRY(ensure_row_writes_header());
  QUARN_ASSIGN_OR_RETURN(InsertPlanner* const planner, insert_planner(collection_id));
  const Bytes image = pack_row(row);
  const Status inserted = insert_planned(*planner, collection_id, RowView(image.data()));
  planner->release_large_buffers();
  return inserted;
}

template <Store S>
Result<InsertPlanner*> Database<S>::insert_planner(std::uint32_t collection_id) {
  if (!insert_planner_ || !insert_planner_->plans_for(catalog(), collection_id)) {
    QUARN_ASSIGN_OR_RETURN(InsertPlanner planner, InsertPlanner::make(catalog(), collection_id));
    insert_planner_.emplace(std::move(planner));
  }
  return &*insert_planner_;
}

template <Store S>
Status Database<S>::insert_planned(InsertPlanner& planner, std::uint32_t collection_id,
                                   RowView row) {
  QUARN_TRY(planner.plan(row));
  if (const std::optional<RowView> old = latest().get(collection_id, planner.pk_key())) {
    QUARN_TRY(planner.replace(*old));
  }
  // Against the state before this write: the old row's keys belong to this same primary key,
  // so not applying its deletions first changes no answer.
  QUARN_TRY(check_unique_insertions(indexes(), collection_id, planner.index_entries()));

  std::array<PendingSegment, 2> segments{
      PendingSegment{SegmentType::Index, planner.index_payload()},
      PendingSegment{SegmentType::Record, planner.payload()}};
  return stage_or_commit(rows_detail::row_write_segments(segments), [&](WriteTarget& target) {
    target.latest.put_image(collection_id, planner.pk_key(), planner.image());
    rows_detail::apply_entries(target.indexes, planner.index_entries());
  });
}

template <Store S>
Result<std::optional<Row>> Database<S>::get(std::uint32_t collection_id,
                                            const ScalarValue& pk) const {
  QUARN_ASSIGN_OR_RETURN(const std::optional<RowView> row, get_view(collection_id, pk));
  if (!row) return std::optional<Row>();
  return std::optional<Row>(row->to_row());
}

template <Store S>
Result<std::optional<RowView>> Database<S>::get_view(std::uint32_t collection_id,
                                                     const ScalarValue& pk) const {
  QUARN_TRY(rows_detail::collection_for_key(catalog(), collection_id, pk));
  return latest().get(collection_id, pk.canonical_key_bytes());
}

template <Store S>
Status Database<S>::delete_row(std::uint32_t collection_id, const ScalarValue& pk) {
  QUARN_TRY(check_writable());
  QUARN_TRY(check_log_upgradable());
  QUARN_TRY(ensure_row_writes_header());
  QUARN_ASSIGN_OR_RETURN(const KeyedCollection keyed,
                         rows_detail::collection_for_key(catalog(), collection_id, pk));
  Bytes pk_key = pk.canonical_key_bytes();
  const std::optional<RowView> old = latest().get(collection_id, pk_key);
  if (!old) return ok_status();

  std::vector<IndexEntry> entries =
      index_deletes_for_existing_row(collection_id, pk, keyed.info->indexes, *old);
  QUARN_ASSIGN_OR_RETURN(Bytes record_payload,
                         encode_record_payload_v2_op(collection_id, keyed.info->schema_version,
                                                     static_cast<std::uint8_t>(RecordOp::Delete),
                                                     pk, keyed.primary_def->type, {}));

  Bytes index_payload = entries.empty() ? Bytes() : encode_index_payload(entries);
  std::array<PendingSegment, 2> segments{PendingSegment{SegmentType::Index, index_payload},
                                         PendingSegment{SegmentType::Record, record_payload}};
  return stage_or_commit(rows_detail::row_write_segments(segments), [&](WriteTarget& target) {
    target.latest.erase(collection_id, pk_key);
    rows_detail::apply_entries(target.indexes, std::move(entries));
  });
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_ROWS(S)                                                               \
  template Status Database<S>::insert(std::uint32_t, Row);                                         \
  template Result<InsertPlanner*> Database<S>::insert_planner(std::uint32_t);                      \
  template Status Database<S>::insert_planned(InsertPlanner&, std::uint32_t, RowView);             \
  template Result<std::optional<Row>> Database<S>::get(std::uint32_t, const ScalarValue&) const;   \
  template Result<std::optional<RowView>> Database<S>::get_view(std::uint32_t, const ScalarValue&) \
      const;                                                                                       \
  template Status Database<S>::delete_row(std::uint32_t, const ScalarValue&);
