// Field paths given from Python.
#include "paths.h"

#include <algorithm>
#include <string_view>

#include "args.h"
#include "catalog/state.h"
#include "error.h"
#include "errors.h"

namespace quarn::py {
namespace {

constexpr const char* kPathShape =
    "path must be a dotted string (\"a.b\") or a tuple of strings (\"a\",\"b\")";

std::string utf8_of(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw nb::python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::vector<std::string> parse_path(nb::handle obj) {
  if (PyUnicode_Check(obj.ptr())) {
    const std::string text = utf8_of(obj);
    const std::string_view trimmed = trim_white_space(text);
    if (trimmed.empty()) raise_value_error("path must be non-empty");
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (true) {
      const std::size_t dot = trimmed.find('.', start);
      segments.emplace_back(trimmed.substr(start, dot - start));
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
    return segments;
  }
  // A str is a sequence too, but was handled above; dicts and sets are not sequences.
  if (!PySequence_Check(obj.ptr())) raise_value_error(kPathShape);
  const nb::object items = nb::steal(PySequence_Tuple(obj.ptr()));
  if (!items.is_valid()) {
    // Not iterable: the wrong shape. Anything else its hooks raise is the caller's to see.
    take_error_if(PyExc_TypeError);
    raise_value_error(kPathShape);
  }
  const Py_ssize_t count = PyTuple_GET_SIZE(items.ptr());
  std::vector<std::string> segments;
  segments.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    nb::handle item = PyTuple_GET_ITEM(items.ptr(), i);
    if (!PyUnicode_Check(item.ptr())) raise_value_error(kPathShape);
    segments.push_back(utf8_of(item));
  }
  if (segments.empty()) raise_value_error("path must have at least one segment");
  if (std::any_of(segments.begin(), segments.end(),
                  [](const std::string& s) { return s.empty(); })) {
    raise_value_error("path segments must be non-empty");
  }
  return segments;
}

const FieldDef* field_with_segments(const std::vector<FieldDef>& fields,
                                    const std::vector<std::string>& segments) {
  const auto it = std::find_if(fields.begin(), fields.end(), [&](const FieldDef& def) {
    return def.path.segments() == segments;
  });
  return it == fields.end() ? nullptr : &*it;
}

}  // namespace quarn::py
