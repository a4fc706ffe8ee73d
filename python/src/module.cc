// The extension module `quarn`: registers its classes and attributes, nothing more.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(quarn, m) {
  m.doc() = "quarn: an embedded, typed record database with durable commits.";
  m.attr("__version__") = "0.13.0";
}
