// Validation of rows against a collection's field definitions: kinds, required fields,
// nested objects and lists, enum variants and constraints. The first failure ends a check.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "record/row_value.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// Checks every key of the row is a one-segment field (in key order: "unknown field"), then
// each field in schema order except the primary one: "missing field" unless optional,
// "unexpected null for required field", then validate_value at the path [name]. The primary
// key is the caller's to check.
Status validate_top_level_row(const std::vector<FieldDef>& fields, const std::string& primary,
                              const Row& row);

// Checks value against type and then constraints. path is the location of value; a level
// appends its segment (member name, list index) while descending and removes it after
// success, so on failure path holds the failing location and the error carries a copy.
Status validate_value(std::vector<std::string>& path, const Type& type,
                      std::span<const Constraint> constraints, const RowValue& value);

}  // namespace quarn
