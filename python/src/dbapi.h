// The submodule dbapi: a read-only DB-API-style adapter over a database file.
#pragma once

#include <nanobind/nanobind.h>

namespace quarn::py {

namespace nb = nanobind;

// Fills the fresh module dbapi: `connect`, then the classes Connection and Cursor, each added
// with add_to_module so that its __all__ lists them in that order.
void register_dbapi(nb::handle dbapi);

}  // namespace quarn::py
