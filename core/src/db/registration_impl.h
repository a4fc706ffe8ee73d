// The store-generic bodies of registration and schema versions. registration.cc instantiates them
// for the engine's stores; a test instantiates them for its own.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "catalog/codec.h"
#include "db/database.h"
#include "db/registration.h"
#include "db/write.h"

namespace quarn {

template <Store S>
Result<std::uint32_t> Database<S>::collection_id_named(std::string_view name) const {
  const std::optional<CollectionId> id = catalog().lookup_name(name);
  if (!id) return SchemaError::UnknownCollectionName{std::string(trim_white_space(name))};
  return id->value;
}

template <Store S>
Result<std::pair<std::uint32_t, std::uint32_t>> Database<S>::register_collection_with_indexes(
    std::string_view name, std::vector<FieldDef> fields, std::vector<IndexDef> indexes,
    std::string_view primary_field) {
  QUARN_ASSIGN_OR_RETURN(CatalogRecordWire entry,
                         collection_creation_entry(catalog(), name, std::move(fields),
                                                   std::move(indexes), primary_field));
  const std::uint32_t id =
      std::get<CatalogRecordWire::CreateCollection>(entry.value()).collection_id;
  Bytes payload = encode_catalog_payload(entry);
  PendingSegment segment{SegmentType::Catalog, payload};
  QUARN_TRY(stage_or_commit(std::span(&segment, 1), [&](WriteTarget& target) {
    apply_checked_entry(target.catalog, std::move(entry));
  }));
  return std::pair{id, std::uint32_t{1}};
}

template <Store S>
Result<MigrationPlan> Database<S>::plan_schema_version_with_indexes(
    std::uint32_t collection_id, const std::vector<FieldDef>& fields,
    const std::vector<IndexDef>& indexes) const {
  const CollectionInfo* info = catalog().get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  return plan_schema_update(info->fields, info->indexes, fields, indexes);
}

template <Store S>
Result<std::uint32_t> Database<S>::register_schema_version_with_indexes(
    std::uint32_t collection_id, std::vector<FieldDef> fields, std::vector<IndexDef> indexes) {
  const CollectionInfo* info = catalog().get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  const SchemaChange change = classify_schema_update(info->fields, info->indexes, fields, indexes);
  if (const auto* needs = std::get_if<SchemaChange::NeedsMigration>(&change.value())) {
    return SchemaError::MigrationRequired{needs->reason};
  }
  if (const auto* breaking = std::get_if<SchemaChange::Breaking>(&change.value())) {
    return SchemaError::IncompatibleChange{breaking->reason};
  }
  return register_schema_version_with_indexes_force(collection_id, std::move(fields),
                                                    std::move(indexes));
}

template <Store S>
Result<std::uint32_t> Database<S>::register_schema_version_with_indexes_force(
    std::uint32_t collection_id, std::vector<FieldDef> fields, std::vector<IndexDef> indexes) {
  QUARN_ASSIGN_OR_RETURN(
      CatalogRecordWire entry,
      schema_version_entry(catalog(), collection_id, std::move(fields), std::move(indexes)));
  const std::uint32_t version =
      std::get<CatalogRecordWire::NewSchemaVersion>(entry.value()).schema_version;
  Bytes payload = encode_catalog_payload(entry);
  PendingSegment segment{SegmentType::Catalog, payload};
  QUARN_TRY(stage_or_commit(std::span(&segment, 1), [&](WriteTarget& target) {
    apply_checked_entry(target.catalog, std::move(entry));
  }));
  return version;
}

}  // namespace quarn

// The explicit instantiations of the templates above for store type S.
#define QUARN_INSTANTIATE_DB_REGISTRATION(S)                                                  \
  template Result<std::uint32_t> Database<S>::collection_id_named(std::string_view) const;    \
  template Result<std::pair<std::uint32_t, std::uint32_t>>                                    \
      Database<S>::register_collection_with_indexes(std::string_view, std::vector<FieldDef>,  \
                                                    std::vector<IndexDef>, std::string_view); \
  template Result<MigrationPlan> Database<S>::plan_schema_version_with_indexes(               \
      std::uint32_t, const std::vector<FieldDef>&, const std::vector<IndexDef>&) const;       \
  template Result<std::uint32_t> Database<S>::register_schema_version_with_indexes(           \
      std::uint32_t, std::vector<FieldDef>, std::vector<IndexDef>);                           \
  template Result<std::uint32_t> Database<S>::register_schema_version_with_indexes_force(     \
      std::uint32_t, std::vector<FieldDef>, std::vector<IndexDef>);
