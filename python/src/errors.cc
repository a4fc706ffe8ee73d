// The one mapping from engine error categories to built-in Python exception classes.
#include "errors.h"

#include <string>

namespace quarn::py {
namespace {

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  // Never a format string (user names may hold '%'), and sized: a text may hold a NUL.
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw nanobind::python_error();
}

}  // namespace

void raise_db_error(const DbError& error) {
  PyObject* type = PyExc_ValueError;
  switch (error.category()) {
    case ErrorCategory::Io:
      type = PyExc_OSError;
      break;
    case ErrorCategory::Format:
    case ErrorCategory::Schema:
    case ErrorCategory::Validation:
    case ErrorCategory::QuerySyntax:
      type = PyExc_ValueError;
      break;
    case ErrorCategory::Transaction:
    case ErrorCategory::NotImplemented:
      type = PyExc_RuntimeError;
      break;
  }
  raise(type, error.inner_text());
}

void raise_db_error_as_value_error(const DbError& error) {
  raise(PyExc_ValueError, error.render());
}

void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }
void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }
void raise_runtime_error(const std::string& message) { raise(PyExc_RuntimeError, message); }

}  // namespace quarn::py
