// Insert planning, the key helpers that writes and queries share, and row projection. None
// of them touches a store or a handle: they read the state they are given and return values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bytes.h"
#include "catalog/state.h"
#include "index.h"
#include "record/packed_row.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// A collection and the definition of its primary field; valid until its catalog next changes.
struct KeyedCollection {
  const CollectionInfo* info;
  const FieldDef* primary_def;
};

// The definition of info's primary field: the top-level field of its name, never null. Errors:
// NoPrimaryKey when the collection has none, PrimaryFieldNotFound when no top-level field bears
// the name. Valid as long as info.
Result<const FieldDef*> primary_field_def(const CollectionInfo& info);

// The collection of that id and its primary field. Errors, in order: UnknownCollectionId, then
// those of primary_field_def.
Result<KeyedCollection> keyed_collection(const Catalog& catalog, std::uint32_t collection_id);

// Everything an insert needs of one checked row.
struct InsertPlan {
  Bytes payload;  // record payload v2, operation insert
  Bytes pk_key;   // canonical key bytes of pk
  Row row;        // the complete row kept in memory; absent optional fields are null
  std::vector<IndexEntry> index_entries;  // one insertion per index whose path holds a scalar
  ScalarValue pk;
};

// Checks the candidate row against its collection in catalog and builds the plan. Does not
// look at existing rows or indexes: replacement and unique checks are the caller's.
Result<InsertPlan> plan_insert_row(const Catalog& catalog, std::uint32_t collection_id, Row row);

// SchemaError::UniqueIndexViolation when a unique insertion among entries would give a key that
// indexes maps to another primary key; deletions and other kinds are passed over.
Status check_unique_insertions(const IndexState& indexes, std::uint32_t collection_id,
                               std::span<const IndexEntry> entries);

// The value at path, through nested objects, or null for a missing name or a non-object on the
// way; what scalar_at_path reads, without copying. Valid as long as the row.
const RowValue* row_value_at(const Row& row, const FieldPath& path);

// A copy of the primitive value at path, through nested objects; nothing for a missing name, a
// non-object on the way, or a null, list or object at the end.
std::optional<ScalarValue> scalar_at_path(const Row& row, const FieldPath& path);

// The deletions that take old_row out of every index of its collection, in definition order.
std::vector<IndexEntry> index_deletes_for_existing_row(std::uint32_t collection_id,
                                                       const ScalarValue& pk,
                                                       const std::vector<IndexDef>& indexes,
                                                       RowView old_row);

// Projection: the row cut down to the paths of field_defs, keeping the nesting; paths under one
// top-level field merge into one object. A path that does not resolve is left out.
Row row_subset_by_field_defs(const Row& row, const std::vector<FieldDef>& field_defs);

// {segments[0]: {segments[1]: ... leaf}} over the first count segments.
// REQUIRES: 1 <= count <= segments.size().
RowValue row_value_nested_object_path(const std::vector<std::string>& segments, std::size_t count,
                                      RowValue leaf);

// Merges source into target: objects merge entry by entry, anything else replaces target.
void merge_row_value_trees(RowValue& target, RowValue source);

// Hands the heap's free pages back to the system after work that freed freed_bytes at once. An
// open of a large file, a compaction or the commit of a large transaction frees about what it
// wrote or read (a copy of the file, outgrown buffers, staged segments), and the allocator would
// keep those pages resident for good; below a megabyte it is not worth the walk.
void release_freed_memory(std::uint64_t freed_bytes);

}  // namespace quarn
