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

inline const FieldDef& primary_def_of(const CollectionInfo& info) {
  const Result<const FieldDef*> def = primary_field_def(info);
  QUARN_CHECK(def.ok(), "planned collection without its primary field definition");
  return *def.value();
}

// The writes were checked against this very state, so no entry can conflict; one that did
// would leave memory disagreeing with what was just logged.
inline void apply_entries(IndexState& indexes, std::vector<IndexEntry> entries) {
  for (IndexEntry& entry : entries) {
    const Status applied = indexes.apply(std::move(entry));
    QUARN_CHECK(applied.ok(), "checked index entry refused");
  }
}

// The segments of one row write: its index changes, if it has any, then its record.
struct RowWriteSegments {
  RowWriteSegments(const std::vector<IndexEntry>& entries, Bytes record_payload)
      : segments{PendingSegment{SegmentType::Index, {}},
                 PendingSegment{SegmentType::Record, std::move(record_payload)}},
        has_index(!entries.empty()) {
    if (has_index) segments[0].payload = encode_index_payload(entries);
  }
  std::span<PendingSegment> written() {
    return has_index ? std::span(segments) : std::span(segments).subspan(1);
  }

  std::array<PendingSegment, 2> segments;
  bool has_index;
};

}  // namespace rows_detail

template <Store S>
Status Database<S>::insert(std::uint32_t collection_id, Row row) {
  QUARN_TRY(check_writable());
  QUARN_TRY(check_log_upgradable());
  QUARN_TRY(ensure_row_writes_header());
  QUARN_ASSIGN_OR_RETURN(InsertPlan plan,
                         plan_insert_row(catalog(), collection_id, std::move(row)));
  const CollectionInfo& info = *catalog().get(collection_id);

  Bytes record_payload;
  std::vector<IndexEntry> entries;
  if (const std::optional<RowView> old = latest().get(collection_id, plan.pk_key)) {
    const FieldDef& primary_def = rows_detail::primary_def_of(info);
    std::vector<RecordFieldValue> values;
    for (const FieldDef* def : non_pk_defs_in_order(info.fields, *info.primary_field)) {
      auto it = plan.row.find(def->path.first());
      values.emplace_back(def, it == plan.row.end() ? RowValue() : it->second);
    }
    QUARN_ASSIGN_OR_RETURN(record_payload,
                           encode_record_payload_v2_op(collection_id, info.schema_version,
                                                       static_cast<std::uint8_t>(RecordOp::Replace),
                                                       plan.pk, primary_def.type, values));
    entries = index_deletes_for_existing_row(collection_id, plan.pk, info.indexes, *old);
    for (IndexEntry& entry : plan.index_entries) entries.push_back(std::move(entry));
  } else {
    record_payload = std::move(plan.payload);
    entries = std::move(plan.index_entries);
  }

  // Against the state before this write: the old row's keys belong to this same primary key,
  // so not applying its deletions first changes no answer.
  QUARN_TRY(check_unique_insertions(indexes(), collection_id, entries));

  rows_detail::RowWriteSegments segments(entries, std::move(record_payload));
  return stage_or_commit(segments.written(), [&](WriteTarget& target) {
    target.latest.put(collection_id, plan.pk_key, plan.row);
    rows_detail::apply_entries(target.indexes, std::move(entries));
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

  rows_detail::RowWriteSegments segments(entries, std::move(record_payload));
  return stage_or_commit(segments.written(), [&](WriteTarget& target) {
    target.latest.erase(collection_id, pk_key);
    rows_detail::apply_entries(target.indexes, std::move(entries));
  });
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_ROWS(S)                                                               \
  template Status Database<S>::insert(std::uint32_t, Row);                                         \
  template Result<std::optional<Row>> Database<S>::get(std::uint32_t, const ScalarValue&) const;   \
  template Result<std::optional<RowView>> Database<S>::get_view(std::uint32_t, const ScalarValue&) \
      const;                                                                                       \
  template Status Database<S>::delete_row(std::uint32_t, const ScalarValue&);
