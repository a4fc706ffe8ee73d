// Insert planning and the key helpers that writes and queries share. None of them touches a
// store or a handle: they read the state they are given and return values.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bytes.h"
#include "catalog/state.h"
#include "index.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// Everything an insert needs of one checked row.
struct InsertPlan {
  Bytes payload;   // record payload v2, operation insert
  Bytes pk_key;    // canonical key bytes of pk
  Row row;         // the complete row kept in memory; absent optional fields are null
  std::vector<IndexEntry> index_entries;  // one insertion per index whose path holds a scalar
  ScalarValue pk;
};

// Checks the candidate row against its collection in catalog and builds the plan. Does not
// look at existing rows or indexes: replacement and unique checks are the caller's.
Result<InsertPlan> plan_insert_row(const Catalog& catalog, std::uint32_t collection_id, Row row);

// A copy of the primitive value at path, through nested objects; nothing for a missing name, a
// non-object on the way, or a null, list or object at the end.
std::optional<ScalarValue> scalar_at_path(const Row& row, const FieldPath& path);

// The deletions that take old_row out of every index of its collection, in definition order.
std::vector<IndexEntry> index_deletes_for_existing_row(std::uint32_t collection_id,
                                                       const ScalarValue& pk,
                                                       const std::vector<IndexDef>& indexes,
                                                       const Row& old_row);

}  // namespace quarn
