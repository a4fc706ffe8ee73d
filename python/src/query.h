// The Python classes Collection and Query: builders of equality queries over one collection.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace quarn::py {

namespace nb = nanobind;

// A collection by name (as passed, untrimmed) and the Database it lives in.
struct PyCollection {
  nb::object db;
  std::string name;
};

// A new Collection over that Database instance. REQUIRES: the name resolved just now.
nb::object new_collection(nb::handle db, std::string name);

// Register the classes in the module and add them to __all__.
void register_collection_class(nb::module_& module);
void register_query_class(nb::module_& module);

}  // namespace quarn::py
