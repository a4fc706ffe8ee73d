// Insert planning, the key helpers shared by writes and queries, and row projection.
#include "db/helpers.h"

#include <algorithm>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "record/payload.h"
#include "record/payload_v2.h"
#include "validation.h"

namespace quarn {
namespace {

IndexEntry make_entry(const IndexDef& def, Bytes key, Bytes pk, std::uint32_t collection_id,
                      IndexOp op) {
  return IndexEntry{def.name, std::move(key), std::move(pk), collection_id, def.kind, op};
}

}  // namespace

Result<const FieldDef*> primary_field_def(const CollectionInfo& info) {
  if (!info.primary_field) return SchemaError::NoPrimaryKey{info.collection_id};
  const FieldDef* def = find_top_level_field(info.fields, *info.primary_field);
  if (def == nullptr) return SchemaError::PrimaryFieldNotFound{*info.primary_field};
  return def;
}

Result<KeyedCollection> keyed_collection(const Catalog& catalog, std::uint32_t collection_id) {
  const CollectionInfo* info = catalog.get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  QUARN_ASSIGN_OR_RETURN(const FieldDef* primary_def, primary_field_def(*info));
  return KeyedCollection{info, primary_def};
}

const RowValue* row_value_at(const Row& row, const FieldPath& path) {
  const std::vector<std::string>& segments = path.segments();
  if (segments.empty()) return nullptr;
  auto it = row.find(segments.front());
  if (it == row.end()) return nullptr;
  const RowValue* value = &it->second;
  for (std::size_t i = 1; i < segments.size(); ++i) {
    const Row* object = value->as_object();
    if (object == nullptr) return nullptr;
    auto next = object->find(segments[i]);
    if (next == object->end()) return nullptr;
    value = &next->second;
  }
  return value;
}

std::optional<ScalarValue> scalar_at_path(const Row& row, const FieldPath& path) {
  const RowValue* value = row_value_at(row, path);
  if (value == nullptr) return std::nullopt;
  return value->as_scalar();
}

Result<InsertPlan> plan_insert_row(const Catalog& catalog, std::uint32_t collection_id, Row row) {
  const CollectionInfo* info = catalog.get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  for (const FieldDef& def : info->fields) {
    if (def.path.size() > 1) return DbError::NotImplemented{};
  }
  QUARN_ASSIGN_OR_RETURN(const FieldDef* primary_def, primary_field_def(*info));
  const std::string& primary = *info->primary_field;
  if (!primary_def->type.is_primitive()) {
    return ValidationError{{},
                           "primary key field must use a primitive type "
                           "(not optional/list/object/enum)"};
  }
  auto pk_it = row.find(primary);
  if (pk_it == row.end()) return SchemaError::InsertMissingPrimaryKey{primary};
  std::vector<std::string> pk_path{primary};
  QUARN_TRY(validate_value(pk_path, primary_def->type, primary_def->constraints, pk_it->second));
  QUARN_TRY(validate_top_level_row(info->fields, primary, row));

  RowValue pk_value = std::move(row.extract(pk_it).mapped());
  std::optional<ScalarValue> pk_scalar = pk_value.as_scalar();
  QUARN_CHECK(pk_scalar.has_value(), "validated primary key is not a scalar");

  std::vector<RecordFieldValue> pairs;
  pairs.reserve(info->fields.size());
  for (const FieldDef* def : non_pk_defs_in_order(info->fields, primary)) {
    const std::string& name = def->path.first();
    auto it = row.find(name);
    if (it != row.end()) {
      pairs.emplace_back(def, std::move(row.extract(it).mapped()));
    } else if (def->type.kind() == Type::Kind::Optional) {
      pairs.emplace_back(def, RowValue::Null{});
    } else {
      return SchemaError::InsertMissingField{name};
    }
  }

  QUARN_ASSIGN_OR_RETURN(Bytes payload,
                         encode_record_payload_v2_op(collection_id, info->schema_version,
                                                     static_cast<std::uint8_t>(RecordOp::Insert),
                                                     *pk_scalar, primary_def->type, pairs));

  Row complete;
  complete.emplace(primary, std::move(pk_value));
  // A later listing of a repeated name replaces the earlier one, as the record decoder does,
  // so the row kept in memory is the row replay rebuilds.
  for (RecordFieldValue& pair : pairs) {
    complete.insert_or_assign(pair.first->path.first(), std::move(pair.second));
  }

  Bytes pk_key = pk_scalar->canonical_key_bytes();
  std::vector<IndexEntry> entries;
  for (const IndexDef& def : info->indexes) {
    std::optional<ScalarValue> key = scalar_at_path(complete, def.path);
    if (!key) continue;
    entries.push_back(
        make_entry(def, key->canonical_key_bytes(), pk_key, collection_id, IndexOp::Insert));
  }
  return InsertPlan{std::move(payload), std::move(pk_key), std::move(complete), std::move(entries),
                    std::move(*pk_scalar)};
}

std::vector<IndexEntry> index_deletes_for_existing_row(std::uint32_t collection_id,
                                                       const ScalarValue& pk,
                                                       const std::vector<IndexDef>& indexes,
                                                       RowView old_row) {
  std::vector<IndexEntry> entries;
  const Bytes pk_key = pk.canonical_key_bytes();
  for (const IndexDef& def : indexes) {
    std::optional<ScalarValue> key = old_row.scalar_at(def.path);
    if (!key) continue;
    entries.push_back(
        make_entry(def, key->canonical_key_bytes(), pk_key, collection_id, IndexOp::Delete));
  }
  return entries;
}

RowValue row_value_nested_object_path(const std::vector<std::string>& segments, std::size_t count,
                                      RowValue leaf) {
  QUARN_CHECK(count >= 1 && count <= segments.size(), "nested object path of a bad length");
  // Built from the innermost level outwards, so the leaf is moved and never copied.
  RowValue value = std::move(leaf);
  for (std::size_t i = count; i-- > 0;) {
    Row level;
    level.emplace(segments[i], std::move(value));
    value = RowValue::object(std::move(level));
  }
  return value;
}

void merge_row_value_trees(RowValue& target, RowValue source) {
  const Row* target_row = target.as_object();
  const Row* source_row = source.as_object();
  if (target_row == nullptr || source_row == nullptr) {
    target = std::move(source);
    return;
  }
  // Objects share their rows (copy-on-write): merge into a private copy of the target's.
  Row merged = *target_row;
  for (const auto& [name, value] : *source_row) {
    auto it = merged.find(name);
    if (it == merged.end()) {
      merged.emplace(name, value);
    } else {
      merge_row_value_trees(it->second, value);
    }
  }
  target = RowValue::object(std::move(merged));
}

Row row_subset_by_field_defs(const Row& row, const std::vector<FieldDef>& field_defs) {
  Row result;
  if (row.empty()) return result;
  for (const FieldDef& def : field_defs) {
    const std::vector<std::string>& segments = def.path.segments();
    const RowValue* found = row_value_at(row, def.path);
    if (found == nullptr) continue;
    if (segments.size() == 1) {
      result.insert_or_assign(segments.front(), *found);
      continue;
    }
    const std::vector<std::string> inner(segments.begin() + 1, segments.end());
    RowValue wrapped = row_value_nested_object_path(inner, inner.size(), *found);
    auto it = result.find(segments.front());
    if (it == result.end()) {
      result.emplace(segments.front(), std::move(wrapped));
    } else {
      merge_row_value_trees(it->second, std::move(wrapped));
    }
  }
  return result;
}

Status check_unique_insertions(const IndexState& indexes, std::uint32_t collection_id,
                               std::span<const IndexEntry> entries) {
  for (const IndexEntry& entry : entries) {
    if (entry.kind != IndexKind::Unique || entry.op != IndexOp::Insert) continue;
    const std::optional<ByteSpan> owner =
        indexes.unique_lookup(collection_id, entry.index_name, entry.key);
    if (owner && !std::equal(owner->begin(), owner->end(), entry.pk.begin(), entry.pk.end())) {
      return SchemaError::UniqueIndexViolation{};
    }
  }
  return ok_status();
}

void release_freed_memory(std::uint64_t freed_bytes) {
#ifdef __GLIBC__
  if (freed_bytes >= (std::uint64_t{1} << 20)) ::malloc_trim(0);
#else
  static_cast<void>(freed_bytes);
#endif
}

}  // namespace quarn
