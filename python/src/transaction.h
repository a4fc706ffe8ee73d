// The Python class Transaction: a context manager over the engine database's one transaction.
#pragma once

#include <nanobind/nanobind.h>

namespace quarn::py {

namespace nb = nanobind;

// Keeps the Database alive; records nothing else (the open transaction is the engine's).
struct PyTransaction {
  nb::object db;
};

// A new Transaction over that Database instance; begins nothing.
nb::object new_transaction(nb::handle db);

// Registers the class Transaction in the module and adds it to __all__.
void register_transaction_class(nb::module_& module);

}  // namespace quarn::py
