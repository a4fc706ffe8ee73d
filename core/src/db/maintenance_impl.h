// The store-generic bodies of backfill and index rebuild. maintenance.cc instantiates them for the
// engine's stores; a test instantiates them for its own.
#pragma once

#include <utility>
#include <vector>

#include "db/database.h"
#include "db/helpers.h"

namespace quarn {

template <Store S>
Status Database<S>::backfill_top_level_field_with_value(std::uint32_t collection_id,
                                                        std::string_view field, RowValue value) {
  const CollectionInfo* info = catalog().get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  if (!info->primary_field) return SchemaError::NoPrimaryKey{collection_id};
  // Copied first: the inserts below change the map being walked.
  std::vector<Row> rows;
  rows.reserve(latest().size_of(collection_id));
  for (const auto entry : latest().rows_of(collection_id)) rows.push_back(entry.row.to_row());

  QUARN_TRY(begin_transaction());
  const std::string name(field);
  for (Row& row : rows) {
    if (row.contains(name)) continue;
    row.emplace(name, value);
    Status inserted = insert(collection_id, std::move(row));
    if (!inserted.ok()) {
      rollback_transaction();
      return inserted;
    }
  }
  return commit_txn_staging();
}

template <Store S>
Status Database<S>::rebuild_indexes_for_collection(std::uint32_t collection_id) {
  QUARN_ASSIGN_OR_RETURN(const KeyedCollection keyed, keyed_collection(catalog(), collection_id));
  const CollectionInfo* info = keyed.info;
  const FieldDef* primary_def = keyed.primary_def;
  const std::string& primary = *info->primary_field;

  std::vector<IndexEntry> entries;
  for (const auto stored : latest().rows_of(collection_id)) {
    const std::optional<ValueView> pk_value = stored.row.find(primary);
    if (!pk_value) continue;
    const std::optional<ScalarValue> pk = pk_value->as_scalar();
    // Rows stored before a version changed the key's type have no key of the current type.
    if (!pk || pk->kind() != primary_def->type.number()) continue;
    const Bytes pk_key = pk->canonical_key_bytes();
    for (const IndexDef& def : info->indexes) {
      const std::optional<ScalarValue> key = stored.row.scalar_at(def.path);
      if (!key) continue;
      entries.push_back(IndexEntry{def.name, key->canonical_key_bytes(), pk_key, collection_id,
                                   def.kind, IndexOp::Insert});
    }
  }

  QUARN_TRY(begin_transaction());
  if (!entries.empty()) {
    txn_->pending.append(SegmentType::Index, encode_index_payload(entries));
    for (IndexEntry& entry : entries) {
      Status applied = txn_->indexes.apply(std::move(entry));
      if (!applied.ok()) {
        rollback_transaction();
        return applied;
      }
    }
  }
  return commit_txn_staging();
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_MAINTENANCE(S)                                                     \
  template Status Database<S>::backfill_top_level_field_with_value(std::uint32_t,               \
                                                                   std::string_view, RowValue); \
  template Status Database<S>::rebuild_indexes_for_collection(std::uint32_t);
