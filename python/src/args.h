// Argument binding for every method of the module: the parameter tables, the argument errors
// in our own wording, the typed argument conversions, and the trampoline that turns a C++
// method body into a CPython fast-call function that never lets an exception escape.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <nanobind/nanobind.h>

#include "bytes.h"

namespace quarn::py {

namespace nb = nanobind;

inline constexpr std::size_t kMaxParams = 4;

// One method's parameters: the first `required` have no default, the rest default to absent.
struct Signature {
  const char* qualname;  // "Database.get": arity errors name it as "Database.get()"
  std::array<const char*, kMaxParams> names;
  std::size_t count;
  std::size_t required;
};

// The arguments of one call by parameter position; absent optional ones are null. Borrowed
// from the caller's frame, valid for the call.
class BoundArgs {
 public:
  nb::handle operator[](std::size_t i) const { return values_[i]; }
  bool given(std::size_t i) const { return values_[i] != nullptr; }

 private:
  friend BoundArgs bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
  std::array<PyObject*, kMaxParams> values_{};
};

// Matches positional and keyword arguments to the signature. TypeError, in the interpreter's
// wording, for too many positionals, an unknown keyword, a parameter given twice, or a missing
// required parameter.
BoundArgs bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);

// Typed conversions of one argument. A value of another class raises TypeError
// "argument '<param>': '<class>' object cannot be converted to '<target>'"; subclasses pass.
std::string str_arg(const char* param, nb::handle value);
// None gives nothing; otherwise as str_arg.
std::optional<std::string> optional_str_arg(const char* param, nb::handle value);
Bytes bytes_arg(const char* param, nb::handle value);
bool bool_arg(const char* param, nb::handle value);
// REQUIRES on return: the handle is a dict (or subclass); borrowed.
nb::handle dict_arg(const char* param, nb::handle value);

// An integer from 0 to 2^64-1. A non-integer raises TypeError "argument '<param>': " followed by
// the interpreter's conversion message; a negative or too large one the interpreter's
// OverflowError.
std::uint64_t u64_arg(const char* param, nb::handle value);

// After a call into Python failed: its error, taken from the interpreter, when it is of class
// `handled` (what a conversion means to handle, such as a wrong class); any other error, an
// interrupt above all, passes on unchanged as nanobind::python_error. REQUIRES: an error is set.
nb::object take_error_if(nb::handle handled);

// "'<class>' object cannot be converted to '<target>'" with the class's qualified name.
std::string cannot_convert(nb::handle value, const char* target);

// True for bool and for numpy's boolean scalar type.
bool is_bool_like(nb::handle value);

// Sets the Python exception for the exception being handled (inside a catch block): a
// nanobind::python_error is restored, std::bad_alloc is MemoryError, anything else is
// RuntimeError with its text.
void set_error_from_current_exception() noexcept;

// The body of a method: self, then the bound arguments. Returns a new reference.
using MethodBody = nb::object (*)(nb::handle self, const BoundArgs& args);

// A CPython METH_FASTCALL | METH_KEYWORDS function for Body bound by Sig.
template <const Signature& Sig, MethodBody Body>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) noexcept {
  try {
    const BoundArgs bound = bind_args(Sig, args, PyVectorcall_NARGS(nargsf), kwnames);
    return Body(nb::handle(self), bound).release().ptr();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// A table entry for Body bound by Sig.
template <const Signature& Sig, MethodBody Body>
PyMethodDef method_def(const char* name, const char* doc) {
  return {name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_method<Sig, Body>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// Installs instance methods on a type from a table that lives as long as the process. Each
// entry's ml_doc starts with its text signature ("get($self, collection_name, pk)\n--\n\n").
void add_methods(nb::handle type, std::span<PyMethodDef> methods);
// The same for static methods (ml_doc "open(path)\n--\n\n...").
void add_static_methods(nb::handle type, std::span<PyMethodDef> methods);

// Gives a class its bare type name (no module prefix), as the interface shows it.
void finish_class(nb::handle type, const char* name);

// A new, ready Python instance of the bound class T, constructed in place.
template <class T, class... A>
nb::object new_instance(A&&... args) {
  nb::object object = nb::inst_alloc(nb::type<T>());
  new (nb::inst_ptr<T>(object)) T(std::forward<A>(args)...);
  nb::inst_mark_ready(object);
  return object;
}

// Sets a module attribute, first appending its name to the module's __all__ (made on first
// use): the module's public names in the order they were added.
void add_to_module(nb::handle module, const char* name, nb::handle value);

// Type slots for nb::type_slots: a __new__ that refuses with "No constructor defined for <name>"
// (so no half-made instance can exist).
extern PyType_Slot kNoConstructorSlots[];

}  // namespace quarn::py
