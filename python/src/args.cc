// Argument binding and conversion, and the CPython method tables. nanobind's own argument
// errors and signatures differ from the interface's, so methods are plain fast-call functions
// bound here by a parameter table.
#include "args.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

#include "errors.h"

namespace quarn::py {
namespace {

std::string call_name(const Signature& sig) { return std::string(sig.qualname) + "()"; }

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* name = PyType_GetName(type);
  if (name != nullptr) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
    Py_DECREF(name);
  }
  return nullptr;
}

std::string_view utf8_of(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw nb::python_error();
  return {data, static_cast<std::size_t>(size)};
}

[[noreturn]] void raise_argument_error(const char* param, nb::handle value, const char* target) {
  raise_type_error(std::string("argument '") + param + "': " + cannot_convert(value, target));
}

}  // namespace

BoundArgs bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  BoundArgs bound;
  const auto given = static_cast<std::size_t>(nargs);
  if (given > sig.count) {
    raise_type_error(call_name(sig) + " takes " + plural(sig.count, "positional argument") +
                     " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  }
  for (std::size_t i = 0; i < given; ++i) bound.values_[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      const std::string_view name = utf8_of(key);
      std::size_t slot = sig.count;
      for (std::size_t i = 0; i < sig.count; ++i) {
        if (name == sig.names[i]) slot = i;
      }
      if (slot == sig.count) {
        raise_type_error(call_name(sig) + " got an unexpected keyword argument '" +
                         std::string(name) + "'");
      }
      if (bound.values_[slot] != nullptr) {
        raise_type_error(call_name(sig) + " got multiple values for argument '" +
                         std::string(name) + "'");
      }
      bound.values_[slot] = args[nargs + k];
    }
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (bound.values_[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (!missing.empty()) {
    raise_type_error(call_name(sig) + " missing " +
                     plural(missing.size(), "required positional argument") + ": " +
                     quoted_list(missing));
  }
  return bound;
}

nb::object take_error_if(nb::handle handled) {
  nb::python_error error;
  if (!error.matches(handled)) throw error;
  return nb::borrow(error.value());
}

std::string cannot_convert(nb::handle value, const char* target) {
  PyObject* qualname = PyType_GetQualName(Py_TYPE(value.ptr()));
  if (qualname == nullptr) throw nb::python_error();
  const nb::object owned = nb::steal(qualname);
  return "'" + std::string(utf8_of(owned)) + "' object cannot be converted to '" + target + "'";
}

bool is_bool_like(nb::handle value) {
  if (PyBool_Check(value.ptr())) return true;
  // numpy's boolean scalar, recognised by name so that numpy is never imported here.
  const nb::handle type(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
  PyObject* raw_name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type.ptr()));
  if (raw_name == nullptr) throw nb::python_error();
  const nb::object name = nb::steal(raw_name);
  // Not nb::getattr with a default: that would drop any error, an interrupt included.
  const nb::object module = nb::steal(PyObject_GetAttrString(type.ptr(), "__module__"));
  if (!module.is_valid()) {
    take_error_if(PyExc_AttributeError);
    return false;
  }
  if (!PyUnicode_Check(module.ptr()) || utf8_of(module) != "numpy") return false;
  const std::string_view short_name = utf8_of(name);
  return short_name == "bool_" || short_name == "bool";
}

std::string str_arg(const char* param, nb::handle value) {
  if (!PyUnicode_Check(value.ptr())) raise_argument_error(param, value, "PyString");
  return std::string(utf8_of(value));
}

std::optional<std::string> optional_str_arg(const char* param, nb::handle value) {
  if (!value.is_valid() || value.is_none()) return std::nullopt;
  return str_arg(param, value);
}

Bytes bytes_arg(const char* param, nb::handle value) {
  if (!PyBytes_Check(value.ptr())) raise_argument_error(param, value, "PyBytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(value.ptr(), &data, &size) != 0) throw nb::python_error();
  const auto* begin = reinterpret_cast<const std::uint8_t*>(data);
  return Bytes(begin, begin + size);
}

bool bool_arg(const char* param, nb::handle value) {
  if (!is_bool_like(value)) raise_argument_error(param, value, "PyBool");
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw nb::python_error();
  return truth == 1;
}

nb::handle dict_arg(const char* param, nb::handle value) {
  if (!PyDict_Check(value.ptr())) raise_argument_error(param, value, "PyDict");
  return value;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const nb::builtin_exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal: unknown exception");
  }
}

void add_methods(nb::handle type, std::span<PyMethodDef> methods) {
  for (PyMethodDef& def : methods) {
    nb::object descr =
        nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.ptr()), &def));
    if (!descr.is_valid()) throw nb::python_error();
    nb::setattr(type, def.ml_name, descr);
  }
}

void add_static_methods(nb::handle type, std::span<PyMethodDef> methods) {
  nb::object staticmethod = nb::module_::import_("builtins").attr("staticmethod");
  for (PyMethodDef& def : methods) {
    nb::object fn = nb::steal(PyCFunction_NewEx(&def, nullptr, nullptr));
    if (!fn.is_valid()) throw nb::python_error();
    nb::setattr(type, def.ml_name, staticmethod(fn));
  }
}

void finish_class(nb::handle type, const char* name) {
  // Assigning __name__ also resets the type's C name, dropping nanobind's "quarn." prefix.
  nb::setattr(type, "__name__", nb::str(name));
}

void add_to_module(nb::handle module, const char* name, nb::handle value) {
  nb::object all = nb::getattr(module, "__all__", nb::none());
  if (all.is_none()) {
    all = nb::list();
    nb::setattr(module, "__all__", all);
  }
  nb::borrow<nb::list>(all).append(nb::str(name));
  nb::setattr(module, name, value);
}

PyType_Slot kNoConstructorSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {0, nullptr},
};

std::uint64_t u64_arg(const char* param, nb::handle value) {
  const nb::object index = nb::steal(PyNumber_Index(value.ptr()));
  if (!index.is_valid()) {
    // A non-integer keeps the interpreter's words under our prefix.
    const nb::str text(take_error_if(PyExc_TypeError));
    raise_type_error(std::string("argument '") + param + "': " + text.c_str());
  }
  const unsigned long long n = PyLong_AsUnsignedLongLong(index.ptr());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
  return n;
}

}  // namespace quarn::py
