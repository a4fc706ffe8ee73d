// Field paths given from Python, as a dotted text or a sequence of texts, shared by the query
// builder and the DB-API adapter.
#pragma once

#include <string>
#include <vector>

#include <nanobind/nanobind.h>

#include "schema.h"

namespace quarn::py {

namespace nb = nanobind;

// The segments of a path argument: a str is trimmed and split at every "." (pieces unchanged,
// empty ones kept); any other sequence must hold only str items, at least one, none empty.
// ValueError otherwise.
std::vector<std::string> parse_path(nb::handle obj);

// The first definition whose path has exactly these segments, or null.
const FieldDef* field_with_segments(const std::vector<FieldDef>& fields,
                                    const std::vector<std::string>& segments);

}  // namespace quarn::py
