// Collection-name rules and the catalog entries of registration, shared by registration and
// its callers (compaction writes the same entries).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/codec.h"
#include "catalog/state.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// The name trimmed of Unicode White_Space at both ends. SchemaError::InvalidCollectionName when
// nothing remains or more than 1023 bytes do.
Result<std::string> normalize_collection_name(std::string_view name);

// The entry that registers a collection in catalog under the next id, checked against catalog
// and for a reader to decode it back. Errors: InvalidCollectionName, PrimaryFieldNotFound, the
// catalog's refusals.
Result<CatalogRecordWire> collection_creation_entry(const Catalog& catalog, std::string_view name,
                                                    std::vector<FieldDef> fields,
                                                    std::vector<IndexDef> indexes,
                                                    std::string_view primary_field);

// The entry that gives a collection its next schema version, checked the same way, with no
// schema-change classification. Errors: UnknownCollectionId, SchemaVersionLimit, the catalog's
// refusals.
Result<CatalogRecordWire> schema_version_entry(const Catalog& catalog, std::uint32_t collection_id,
                                               std::vector<FieldDef> fields,
                                               std::vector<IndexDef> indexes);

// Applies an entry that was checked against this very catalog. REQUIRES: it was.
void apply_checked_entry(Catalog& catalog, CatalogRecordWire entry);

}  // namespace quarn
