// Validation of rows against a collection's field definitions: kinds, required fields,
// nested objects and lists, enum variants and constraints. The first failure ends a check.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "record/packed_row.h"
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
// The same checks and errors for a row image read in place. path is scratch space for the
// failing location, whatever it holds on entry; a caller checking many rows passes one buffer.
Status validate_top_level_row(const std::vector<FieldDef>& fields, const std::string& primary,
                              RowView row, std::vector<std::string>& path);

// The two steps of validate_top_level_row, for a caller that pairs names and fields itself: the
// error for a row key that names no one-segment field, and the checks of one field given the
// row's value under its name (nothing when there is none), path as above.
DbError unknown_field_error(std::string_view name);
Status validate_top_level_field(const FieldDef& def, std::optional<ValueView> value,
                                std::vector<std::string>& path);

// Checks value against type and then constraints. path is the location of value; a level
// appends its segment (member name, list index) while descending and removes it after
// success, so on failure path holds the failing location and the error carries a copy.
Status validate_value(std::vector<std::string>& path, const Type& type,
                      std::span<const Constraint> constraints, const RowValue& value);
// The same for a value of a row image, read in place.
Status validate_value(std::vector<std::string>& path, const Type& type,
                      std::span<const Constraint> constraints, ValueView value);

}  // namespace quarn
