// Python values to engine values and back. Only the shape and Python class of a value are
// checked here; every schema rule is the engine's.
#include "row_values.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "args.h"
#include "errors.h"

namespace quarn::py {
namespace {

using Kind = Type::Kind;

void throw_if_error() {
  if (PyErr_Occurred() != nullptr) throw nb::python_error();
}

std::string utf8_or_raise(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw nb::python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

nb::object index_of(nb::handle value) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) throw nb::python_error();
  return nb::steal(index);
}

std::int64_t to_i64(nb::handle value) {
  const nb::object index = PyLong_Check(value.ptr()) ? nb::borrow(value) : index_of(value);
  const long long out = PyLong_AsLongLong(index.ptr());
  if (out == -1) throw_if_error();
  return out;
}

std::uint64_t to_u64(nb::handle value) {
  const nb::object index = PyLong_Check(value.ptr()) ? nb::borrow(value) : index_of(value);
  const unsigned long long out = PyLong_AsUnsignedLongLong(index.ptr());
  if (out == static_cast<unsigned long long>(-1)) throw_if_error();
  return out;
}

std::uint8_t byte_item(nb::handle item) {
  const nb::object index = index_of(item);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && overflow == 0) throw_if_error();
  if (overflow != 0 || v < 0 || v > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw nb::python_error();
  }
  return static_cast<std::uint8_t>(v);
}

// The sequence's length, or nothing for one without a length (TypeError, dropped). Whatever else
// its __len__ raises is the caller's and passes.
std::optional<Py_ssize_t> length_of(nb::handle value) {
  const Py_ssize_t size = PySequence_Size(value.ptr());
  if (size >= 0) return size;
  take_error_if(PyExc_TypeError);
  return std::nullopt;
}

Bytes bytes_from_py(nb::handle value) {
  if (PyUnicode_Check(value.ptr())) raise_type_error("Can't extract `str` to `Vec`");
  if (PyBytes_Check(value.ptr())) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(value.ptr(), &data, &size) != 0) throw nb::python_error();
    const auto* begin = reinterpret_cast<const std::uint8_t*>(data);
    return Bytes(begin, begin + size);
  }
  if (PySequence_Check(value.ptr()) == 0) raise_type_error(cannot_convert(value, "Sequence"));
  PyObject* raw_iter = PyObject_GetIter(value.ptr());
  if (raw_iter == nullptr) throw nb::python_error();
  const nb::object iter = nb::steal(raw_iter);
  Bytes out;
  if (const std::optional<Py_ssize_t> hint = length_of(value)) {
    out.reserve(static_cast<std::size_t>(*hint));
  }
  while (PyObject* raw_item = PyIter_Next(iter.ptr())) {
    const nb::object item = nb::steal(raw_item);
    out.push_back(byte_item(item));
  }
  throw_if_error();
  return out;
}

nb::object uuid_class() { return nb::module_::import_("uuid").attr("UUID"); }

// 16 ints from 0 to 255 in a sequence of 16 items; nothing otherwise (a wrong class or range of
// item dropped). An error the value's own hooks raise passes.
std::optional<Bytes> sixteen_byte_items(nb::handle value) {
  if (PySequence_Check(value.ptr()) == 0) return std::nullopt;
  if (length_of(value) != 16) return std::nullopt;
  try {
    Bytes out = bytes_from_py(value);
    if (out.size() == 16) return out;
  } catch (const nb::python_error& e) {
    // Another form may still apply; this attempt's error is not the caller's.
    if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_OverflowError)) throw;
  }
  return std::nullopt;
}

ScalarValue uuid_from_py(nb::handle value) {
  const nb::object uuid = uuid_class();
  std::optional<Bytes> bytes = sixteen_byte_items(value);
  if (!bytes && PyBytes_Check(value.ptr())) bytes = bytes_from_py(value);
  if (!bytes) {
    const int is_uuid = PyObject_IsInstance(value.ptr(), uuid.ptr());
    if (is_uuid < 0) throw nb::python_error();
    if (is_uuid == 1) {
      bytes = bytes_from_py(value.attr("bytes"));
    } else {
      const nb::object made = uuid(value);
      bytes = bytes_from_py(made.attr("bytes"));
    }
  }
  if (bytes->size() != 16) raise_value_error("uuid must be 16 bytes");
  ScalarValue::Uuid out{};
  std::copy(bytes->begin(), bytes->end(), out.value.begin());
  return out;
}

const Type& without_optional(const Type& type) {
  const Type* t = &type;
  while (t->kind() == Kind::Optional) t = &t->inner();
  return *t;
}

RowValue list_from_py(nb::handle value, const Type& element) {
  if (!PyList_Check(value.ptr())) raise_value_error("expected list for list type");
  const Py_ssize_t at_start = PyList_Size(value.ptr());
  RowValue::List items;
  items.reserve(static_cast<std::size_t>(at_start));
  // A hook may shrink or grow the list while its items convert: never read past its current
  // end, and never convert items appended meanwhile.
  for (Py_ssize_t i = 0; i < std::min(at_start, PyList_Size(value.ptr())); ++i) {
    const nb::object item = nb::borrow(PyList_GetItem(value.ptr(), i));
    items.push_back(value_from_py(item, element));
  }
  return items;
}

RowValue object_from_py(nb::handle value, const std::vector<FieldDef>& members) {
  if (!PyDict_Check(value.ptr())) raise_value_error("expected dict for object type");
  Row row;
  for (const FieldDef& member : members) {
    const std::string& name = member.path.first();
    const nb::str key(name.data(), name.size());
    PyObject* raw = PyDict_GetItemWithError(value.ptr(), key.ptr());
    if (raw == nullptr) throw_if_error();
    const bool optional = member.type.kind() == Kind::Optional;
    if (raw == nullptr) {
      if (!optional) raise_value_error("missing object field " + debug_string(name));
      row[name] = RowValue::Null{};
    } else if (raw == Py_None) {
      if (!optional) raise_value_error("unexpected None for required field " + debug_string(name));
      row[name] = RowValue::Null{};
    } else {
      const nb::object item = nb::borrow(raw);
      row[name] = value_from_py(item, member.type);
    }
  }
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(value.ptr(), &pos, &key, &item)) {
    if (!PyUnicode_Check(key)) raise_type_error(cannot_convert(key, "PyString"));
    const std::string name = utf8_or_raise(key);
    const bool known = std::any_of(members.begin(), members.end(),
                                   [&](const FieldDef& m) { return m.path.first() == name; });
    if (!known) raise_value_error("unknown field in object: " + debug_string(name));
  }
  return RowValue::object(std::move(row));
}

}  // namespace

ScalarValue scalar_from_py(nb::handle value, const Type& type) {
  switch (type.kind()) {
    case Kind::Bool: {
      if (!is_bool_like(value)) raise_type_error(cannot_convert(value, "PyBool"));
      const int truth = PyObject_IsTrue(value.ptr());
      if (truth < 0) throw nb::python_error();
      return ScalarValue::Bool{truth == 1};
    }
    case Kind::Int64:
      return ScalarValue::Int64{to_i64(value)};
    case Kind::Timestamp:
      return ScalarValue::Timestamp{to_i64(value)};
    case Kind::Uint64:
      return ScalarValue::Uint64{to_u64(value)};
    case Kind::Float64: {
      const double out = PyFloat_AsDouble(value.ptr());
      if (out == -1.0) throw_if_error();
      return ScalarValue::Float64{out};
    }
    case Kind::String:
      if (!PyUnicode_Check(value.ptr())) raise_type_error(cannot_convert(value, "PyString"));
      return ScalarValue::String{utf8_or_raise(value)};
    case Kind::Bytes:
      return ScalarValue::Bytes{bytes_from_py(value)};
    case Kind::Uuid:
      return uuid_from_py(value);
    case Kind::Optional:
    case Kind::List:
    case Kind::Object:
    case Kind::Enum:
      break;
  }
  raise_value_error("internal: scalar_from_py called on composite type");
}

RowValue value_from_py(nb::handle value, const Type& type) {
  if (value.is_none()) {
    switch (type.kind()) {
      case Kind::Optional:
        return RowValue::Null{};
      case Kind::List:
        raise_value_error("expected list for list type");
      case Kind::Object:
        raise_value_error("expected dict for object type");
      case Kind::Enum:
        raise_value_error("expected string for enum");
      default:
        break;
    }
  }
  const Type& bare = without_optional(type);
  switch (bare.kind()) {
    case Kind::List:
      return list_from_py(value, bare.inner());
    case Kind::Object:
      return object_from_py(value, bare.members());
    case Kind::Enum: {
      if (!PyUnicode_Check(value.ptr())) raise_value_error("expected string for enum");
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
      if (data == nullptr) {
        // A text with lone surrogates has no UTF-8 form.
        take_error_if(PyExc_UnicodeEncodeError);
        raise_value_error("expected string for enum");
      }
      return ScalarValue::String{std::string(data, static_cast<std::size_t>(size))};
    }
    default: {
      // Moved, not copied: a large byte string is held once.
      ScalarValue scalar = scalar_from_py(value, bare);
      return std::visit([](auto&& alternative) { return RowValue(std::move(alternative)); },
                        std::move(scalar.value()));
    }
  }
}

Row row_from_dict(nb::handle dict, const CollectionInfo& info) {
  Row row;
  const Py_ssize_t size = PyDict_Size(dict.ptr());
  Py_ssize_t pos = 0;
  Py_ssize_t seen = 0;
  PyObject* raw_key = nullptr;
  PyObject* raw_value = nullptr;
  while (PyDict_Next(dict.ptr(), &pos, &raw_key, &raw_value)) {
    // Own both: a value's conversion hook may change the dict and drop them from it.
    const nb::object key = nb::borrow(raw_key);
    const nb::object item = nb::borrow(raw_value);
    ++seen;
    if (!PyUnicode_Check(key.ptr())) raise_type_error(cannot_convert(key, "PyString"));
    std::string name = utf8_or_raise(key);
    const FieldDef* field = find_top_level_field(info.fields, name);
    if (field == nullptr) raise_value_error("unknown field " + debug_string(name));
    RowValue converted = value_from_py(item, field->type);
    if (PyDict_Size(dict.ptr()) != size) {
      raise_runtime_error("dictionary changed size during iteration");
    }
    row[std::move(name)] = std::move(converted);
  }
  if (seen != size) raise_runtime_error("dictionary keys changed during iteration");
  return row;
}

nb::object row_value_to_py(ValueView value) {
  return value.visit(Overloaded{
      [](ValueView::Bool v) -> nb::object { return nb::bool_(v.value); },
      [](ValueView::Int64 v) -> nb::object { return nb::int_(v.value); },
      [](ValueView::Uint64 v) -> nb::object { return nb::int_(v.value); },
      [](ValueView::Float64 v) -> nb::object { return nb::float_(v.value); },
      [](ValueView::String v) -> nb::object { return nb::str(v.value.data(), v.value.size()); },
      [](ValueView::Bytes v) -> nb::object { return nb::bytes(v.value.data(), v.value.size()); },
      [](ValueView::Uuid v) -> nb::object {
        const nb::object uuid = uuid_class();
        return uuid(nb::arg("bytes") = nb::bytes(v.value.data(), v.value.size()));
      },
      [](ValueView::Timestamp v) -> nb::object { return nb::int_(v.value); },
      [](ValueView::Null) -> nb::object { return nb::none(); },
      [](const ValueView::List& v) -> nb::object {
        nb::list out;
        for (const ValueView item : v.elements) out.append(row_value_to_py(item));
        return out;
      },
      [](const ValueView::Object& v) -> nb::object { return row_to_dict(v.row); },
  });
}

nb::object row_to_dict(RowView row) {
  nb::dict out;
  for (const RowView::Field field : row) {
    out[nb::str(field.name.data(), field.name.size())] = row_value_to_py(field.value);
  }
  return out;
}

nb::handle RowDictMaker::key(std::size_t position, std::string_view name) {
  if (position < names_.size() && names_[position].first == name) return names_[position].second;
  for (const auto& [known, object] : names_) {
    if (known == name) return object;
  }
  names_.emplace_back(std::string(name), nb::str(name.data(), name.size()));
  return names_.back().second;
}

nb::object RowDictMaker::operator()(RowView row) {
  nb::object out = nb::steal(PyDict_New());
  if (!out.is_valid()) throw nb::python_error();
  std::size_t position = 0;
  for (const RowView::Field field : row) {
    // The key first, as row_to_dict makes it before the value.
    const nb::handle k = key(position++, field.name);
    const nb::object v = row_value_to_py(field.value);
    if (PyDict_SetItem(out.ptr(), k.ptr(), v.ptr()) != 0) throw nb::python_error();
  }
  return out;
}

nb::object RowDictMaker::operator()(const Row& row) {
  scratch_.clear();
  append_packed_row(scratch_, row);
  return (*this)(RowView(scratch_.data()));
}

}  // namespace quarn::py
