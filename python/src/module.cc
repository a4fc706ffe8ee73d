// The extension module `quarn`: registers its classes and attributes, nothing more.
#include <nanobind/nanobind.h>

#include "args.h"
#include "database.h"
#include "dbapi.h"
#include "query.h"
#include "transaction.h"

namespace nb = nanobind;

NB_MODULE(quarn, m) {
  quarn::py::add_to_module(
      m, "__doc__", nb::str("quarn: an embedded, typed record database with durable commits."));
  quarn::py::add_to_module(m, "__version__", nb::str(QUARN_VERSION));
  quarn::py::register_database_class(m);
  quarn::py::register_transaction_class(m);
  quarn::py::register_collection_class(m);
  quarn::py::register_query_class(m);

  // An attribute only, never entered in sys.modules: quarn is not a package.
  nb::object dbapi = nb::steal(PyModule_New("dbapi"));
  if (!dbapi.is_valid()) throw nb::python_error();
  quarn::py::register_dbapi(dbapi);
  // `__all__` has always named the submodule twice; callers that compare the list rely on it.
  quarn::py::add_to_module(m, "dbapi", dbapi);
  quarn::py::add_to_module(m, "dbapi", dbapi);
}
