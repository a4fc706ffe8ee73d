// The Python class Database: one engine database behind one mutex, the static constructors,
// the whole-database methods, and the two operations every other class reaches the engine by.
#pragma once

#include <string_view>
#include <utility>

#include <nanobind/nanobind.h>

#include "catalog/state.h"
#include "inner_db.h"

namespace quarn::py {

namespace nb = nanobind;

class PyDatabase {
 public:
  explicit PyDatabase(InnerDb inner) : inner_(std::move(inner)) {}
  PyDatabase(const PyDatabase&) = delete;
  PyDatabase& operator=(const PyDatabase&) = delete;

  // The mutex; RuntimeError once poisoned. Never held while caller code runs.
  InnerGuard lock_inner() { return inner_.lock(); }

 private:
  InnerMutex inner_;
};

// The PyDatabase inside a Database instance. REQUIRES: `object` is one.
PyDatabase& database_from(nb::handle object);

// Takes the mutex, runs f on the engine database, releases it and returns f's result. Engine
// errors travel back inside that result: raise them only once the mutex is free.
template <class F>
decltype(auto) with_inner(PyDatabase& db, F&& f) {
  InnerGuard inner = db.lock_inner();
  return std::forward<F>(f)(*inner);
}

// A copy of the named collection's current definition (staged while a transaction is open),
// read under the mutex. ValueError for an unknown name or "collection missing after resolve".
std::shared_ptr<const CollectionInfo> collection_info(PyDatabase& db, std::string_view name);

// Registers the class Database in the module and adds it to __all__.
void register_database_class(nb::module_& module);

}  // namespace quarn::py
