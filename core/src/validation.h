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

// Tests the constraints in order; the first that fails is returned with path.
Status apply_constraints(const std::vector<std::string>& path,
                         std::span<const Constraint> constraints, const RowValue& value);

// A validation failure at a copy of path.
DbError validation_error_at(const std::vector<std::string>& path, std::string message);

// A double in plain decimal with the shortest round-trip digits and no exponent: 5, 1.5,
// 0.0000001, -0, inf, NaN.
std::string plain_decimal_f64(double value);

}  // namespace quarn
