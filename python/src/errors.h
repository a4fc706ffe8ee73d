// Engine errors become Python exceptions here and nowhere else.
#pragma once

#include <utility>

#include <nanobind/nanobind.h>

#include "result.h"

namespace quarn::py {

// Sets the Python exception (class by category, text without the category prefix); throws
// nanobind::python_error (a NULL return).
[[noreturn]] void raise_db_error(const DbError& error);

// ValueError with the full, prefixed text (compaction).
[[noreturn]] void raise_db_error_as_value_error(const DbError& error);

// The interface's own refusals: sets the built-in exception with that text and throws
// nanobind::python_error. The text is never used as a format.
[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_runtime_error(const std::string& message);

template <class T>
T unwrap(Result<T>&& result) {
  if (!result.ok()) raise_db_error(result.error());
  return std::move(result).value();
}

inline void unwrap(Status&& status) {
  if (!status.ok()) raise_db_error(status.error());
}

}  // namespace quarn::py
