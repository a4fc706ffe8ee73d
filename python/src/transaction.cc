// Transaction: __enter__ begins, __exit__ commits or, with an exception passing, rolls back.
#include "transaction.h"

#include "args.h"
#include "database.h"
#include "errors.h"

namespace quarn::py {
namespace {

PyDatabase& database_of(nb::handle self) {
  return database_from(nb::inst_ptr<PyTransaction>(self)->db);
}

constexpr Signature kEnter{"Transaction.__enter__", {}, 0, 0};
nb::object enter(nb::handle self, const BoundArgs&) {
  unwrap(with_inner(database_of(self), [](InnerDb& inner) { return inner.begin_transaction(); }));
  return nb::none();
}

constexpr Signature kExit{"Transaction.__exit__", {"exc_type", "_exc_value", "_traceback"}, 3, 0};
nb::object exit(nb::handle self, const BoundArgs& a) {
  const bool failing = a.given(0) && !a[0].is_none();
  unwrap(with_inner(database_of(self), [&](InnerDb& inner) -> Status {
    if (failing) {
      inner.rollback_transaction();
      return Status();
    }
    return inner.commit_transaction();
  }));
  return nb::bool_(false);
}

PyMethodDef kMethods[] = {
    method_def<kEnter, enter>("__enter__",
                              "__enter__($self)\n--\n\nBegins a transaction; returns None."),
    method_def<kExit, exit>(
        "__exit__",
        "__exit__($self, exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"
        "Commits, or rolls back when an exception is passing; never suppresses it."),
};

}  // namespace

nb::object new_transaction(nb::handle db) {
  return new_instance<PyTransaction>(PyTransaction{nb::borrow(db)});
}

void register_transaction_class(nb::module_& module) {
  nb::class_<PyTransaction> cls(module, "Transaction", nb::is_final(),
                                nb::type_slots(kNoConstructorSlots),
                                "A context manager made by Database.transaction().");
  add_methods(cls, kMethods);
  finish_class(cls, "Transaction");
  add_to_module(module, "Transaction", cls);
}

}  // namespace quarn::py
