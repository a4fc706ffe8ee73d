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

namespace registration_detail {

// An entry the working catalog takes and the reader could decode back from the log.
inline Status check_entry(const Catalog& catalog, const CatalogRecordWire& entry) {
  QUARN_TRY(catalog.check_record(entry));
  return check_catalog_entry_decodes(entry);
}

// The entry was checked against this catalog; refusing it now would leave the log ahead of
// memory.
inline void apply_checked(Catalog& catalog, CatalogRecordWire entry) {
  const Status applied = catalog.apply_record(std::move(entry));
  QUARN_CHECK(applied.ok(), "checked catalog entry refused");
}

}  // namespace registration_detail

template <Store S>
Result<std::pair<std::uint32_t, std::uint32_t>> Database<S>::register_collection_with_indexes(
    std::string_view name, std::vector<FieldDef> fields, std::vector<IndexDef> indexes,
    std::string_view primary_field) {
  QUARN_ASSIGN_OR_RETURN(std::string normalized, normalize_collection_name(name));
  const std::string primary(trim_white_space(primary_field));
  if (primary.empty()) return SchemaError::InvalidCollectionName{};
  if (!Catalog::has_top_level_field(fields, primary)) {
    return SchemaError::PrimaryFieldNotFound{primary};
  }
  const std::uint32_t id = catalog().next_id();
  CatalogRecordWire entry = CatalogRecordWire::CreateCollection{
      id, std::move(normalized), 1, std::move(fields), std::move(indexes), primary};
  QUARN_TRY(registration_detail::check_entry(catalog(), entry));
  PendingSegment segment{SegmentType::Catalog, encode_catalog_payload(entry)};
  QUARN_TRY(stage_or_commit(std::span(&segment, 1), [&](WriteTarget& target) {
    registration_detail::apply_checked(target.catalog, std::move(entry));
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
  const CollectionInfo* info = catalog().get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  if (info->schema_version == std::numeric_limits<std::uint32_t>::max()) {
    return SchemaError::SchemaVersionLimit{};
  }
  const std::uint32_t version = info->schema_version + 1;
  CatalogRecordWire entry = CatalogRecordWire::NewSchemaVersion{
      collection_id, version, std::move(fields), std::move(indexes)};
  QUARN_TRY(registration_detail::check_entry(catalog(), entry));
  PendingSegment segment{SegmentType::Catalog, encode_catalog_payload(entry)};
  QUARN_TRY(stage_or_commit(std::span(&segment, 1), [&](WriteTarget& target) {
    registration_detail::apply_checked(target.catalog, std::move(entry));
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
