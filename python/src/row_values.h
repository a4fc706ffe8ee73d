// Conversion between Python objects and the engine's values: dicts to rows by a collection's
// definition, objects to values by a field type, and rows back to dicts. Conversions may run
// caller code (conversion hooks, the uuid module), so no caller holds the database mutex here.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>

#include "catalog/state.h"
#include "record/packed_row.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "schema.h"

namespace quarn::py {

namespace nb = nanobind;

// The value as a primitive of `type`. TypeError or OverflowError for the wrong Python class
// or range; ValueError "uuid must be 16 bytes"; ValueError for an optional, list, object or
// enum type. Raises nanobind::python_error.
ScalarValue scalar_from_py(nb::handle value, const Type& type);

// The value as a field of `type` (None is null only for an optional type).
RowValue value_from_py(nb::handle value, const Type& type);

// The dict as a row of the collection: every key must name a one-segment field of `info`.
// Missing fields are left for the engine to report.
Row row_from_dict(nb::handle dict, const CollectionInfo& info);

// New Python objects for the values of a row image; UUIDs become uuid.UUID instances.
nb::object row_value_to_py(ValueView value);
// Keys in the row's order: ascending byte order of the names.
nb::object row_to_dict(RowView row);

// row_to_dict for many rows of one result: each field name becomes a str once, and rows of the
// same shape reuse those objects as keys.
class RowDictMaker {
 public:
  nb::object operator()(RowView row);
  // The same for a row not held as an image (a projection's subset).
  nb::object operator()(const Row& row);

 private:
  nb::handle key(std::size_t position, std::string_view name);
  std::vector<std::pair<std::string, nb::object>> names_;
  Bytes scratch_;
};

}  // namespace quarn::py
