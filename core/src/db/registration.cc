// Collection registration, schema versions and schema-change plans. A catalog entry reaches the
// log only once the catalog has accepted it, so replay can apply every logged entry again.
#include "db/registration.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "catalog/codec.h"
#include "db/database.h"
#include "db/registration_impl.h"
#include "store_instances.h"

namespace quarn {

Result<std::string> normalize_collection_name(std::string_view name) {
  const std::string_view trimmed = trim_white_space(name);
  if (trimmed.empty() || trimmed.size() > kCatalogMaxNameBytes) {
    return SchemaError::InvalidCollectionName{};
  }
  return std::string(trimmed);
}

Result<CatalogRecordWire> collection_creation_entry(const Catalog& catalog, std::string_view name,
                                                    std::vector<FieldDef> fields,
                                                    std::vector<IndexDef> indexes,
                                                    std::string_view primary_field) {
  QUARN_ASSIGN_OR_RETURN(std::string normalized, normalize_collection_name(name));
  const std::string primary(trim_white_space(primary_field));
  if (primary.empty()) return SchemaError::InvalidCollectionName{};
  if (!Catalog::has_top_level_field(fields, primary)) {
    return SchemaError::PrimaryFieldNotFound{primary};
  }
  CatalogRecordWire entry = CatalogRecordWire::CreateCollection{
      catalog.next_id(), std::move(normalized), 1, std::move(fields), std::move(indexes), primary};
  QUARN_TRY(catalog.check_record(entry));
  QUARN_TRY(check_catalog_entry_decodes(entry));
  return entry;
}

Result<CatalogRecordWire> schema_version_entry(const Catalog& catalog, std::uint32_t collection_id,
                                               std::vector<FieldDef> fields,
                                               std::vector<IndexDef> indexes) {
  const CollectionInfo* info = catalog.get(collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{collection_id};
  if (info->schema_version == std::numeric_limits<std::uint32_t>::max()) {
    return SchemaError::SchemaVersionLimit{};
  }
  CatalogRecordWire entry = CatalogRecordWire::NewSchemaVersion{
      collection_id, info->schema_version + 1, std::move(fields), std::move(indexes)};
  QUARN_TRY(catalog.check_record(entry));
  QUARN_TRY(check_catalog_entry_decodes(entry));
  return entry;
}

void apply_checked_entry(Catalog& catalog, CatalogRecordWire entry) {
  // Refusing it now would leave the log ahead of memory.
  const Status applied = catalog.apply_record(std::move(entry));
  QUARN_CHECK(applied.ok(), "checked catalog entry refused");
}

QUARN_FOR_EACH_STORE(QUARN_INSTANTIATE_DB_REGISTRATION)

}  // namespace quarn
