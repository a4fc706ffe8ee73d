// Values by path in a row, and projection: a row cut down to some of its paths. They read the
// row they are given and return values.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "record/row_value.h"
#include "record/scalar.h"
#include "schema.h"

namespace quarn {

// The value at path, through nested objects, or null for a missing name or a non-object on the
// way; what scalar_at_path reads, without copying. Valid as long as the row.
const RowValue* row_value_at(const Row& row, const FieldPath& path);

// A copy of the primitive value at path, through nested objects; nothing for a missing name, a
// non-object on the way, or a null, list or object at the end.
std::optional<ScalarValue> scalar_at_path(const Row& row, const FieldPath& path);

// Projection: the row cut down to the paths of field_defs, keeping the nesting; paths under one
// top-level field merge into one object. A path that does not resolve is left out.
Row row_subset_by_field_defs(const Row& row, const std::vector<FieldDef>& field_defs);

// {segments[0]: {segments[1]: ... leaf}} over the first count segments.
// REQUIRES: 1 <= count <= segments.size().
RowValue row_value_nested_object_path(const std::vector<std::string>& segments, std::size_t count,
                                      RowValue leaf);

// Merges source into target: objects merge entry by entry, anything else replaces target.
void merge_row_value_trees(RowValue& target, RowValue source);

}  // namespace quarn
