// JSON definitions to schema types. Every function stops at its first fault and returns only
// that message; checks run in a fixed order so that a text with several faults always reports
// the same one.
#include "fields_json.h"

#include <cstdint>
#include <iterator>
#include <limits>
#include <set>
#include <utility>

#include "catalog/state.h"
#include "error.h"

namespace quarn::py {
namespace {

using nlohmann::json;

// A char iterator that tells how far the parser has read, so that errors the parser does not
// position itself (the nesting limit) can still name a line and column.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* begin, const char* p, std::size_t* read)
      : begin_(begin), p_(p), read_(read) {}
  reference operator*() const { return *p_; }
  CountingIterator& operator++() {
    ++p_;
    *read_ = static_cast<std::size_t>(p_ - begin_);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return p_ == other.p_; }
  bool operator!=(const CountingIterator& other) const { return p_ != other.p_; }

 private:
  const char* begin_;
  const char* p_;
  std::size_t* read_;
};

// Builds the value tree without recursion and refuses the nesting limit as it is reached.
class TreeBuilder {
 public:
  explicit TreeBuilder(const std::size_t* read) : read_(read) {}

  bool null() { return put(nullptr); }
  bool boolean(bool v) { return put(v); }
  bool number_integer(json::number_integer_t v) { return put(v); }
  bool number_unsigned(json::number_unsigned_t v) { return put(v); }
  bool number_float(json::number_float_t v, const json::string_t&) { return put(v); }
  bool string(json::string_t& v) { return put(std::move(v)); }
  bool binary(json::binary_t& v) { return put(json::binary(std::move(v))); }
  bool start_object(std::size_t) { return open(json::object()); }
  bool key(json::string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    error_ = std::string(e.what());
    error_position_ = position;
    return false;
  }

  json& root() { return root_; }
  const std::string& error() const { return error_; }
  std::size_t error_position() const { return error_position_; }

 private:
  json* place(json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    json& top = *stack_.back();
    if (top.is_array()) {
      top.push_back(std::move(value));
      return &top.back();
    }
    // A repeated key keeps its last value.
    json& slot = top[key_];
    slot = std::move(value);
    return &slot;
  }
  bool put(json value) {
    place(std::move(value));
    return true;
  }
  bool open(json container) {
    if (stack_.size() + 1 >= kMaxJsonDepth) {
      error_ = "recursion limit exceeded";
      error_position_ = *read_;
      return false;
    }
    stack_.push_back(place(std::move(container)));
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }

  const std::size_t* read_;
  json root_;
  std::vector<json*> stack_;
  std::string key_;
  std::string error_;
  std::size_t error_position_ = 0;
};

// nlohmann's text without its "[json.exception...] " tag and its own position prefix.
std::string bare_message(const std::string& what) {
  std::string text = what;
  if (!text.empty() && text.front() == '[') {
    const std::size_t end = text.find("] ");
    if (end != std::string::npos) text.erase(0, end + 2);
  }
  if (text.rfind("parse error", 0) == 0) {
    const std::size_t colon = text.find(": ");
    if (colon != std::string::npos) text.erase(0, colon + 2);
  }
  return text;
}

std::string with_position(const std::string& message, std::string_view text, std::size_t read) {
  read = std::min(read, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < read; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return message + " at line " + std::to_string(line) + " column " +
         std::to_string(read - line_start);
}

const json* member(const json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Path segments; `messages` are the three texts of the field or the index variant.
struct PathMessages {
  const char* missing;
  const char* not_array;
  const char* not_string;
};

JsonResult<FieldPath> path_from(const json& object, const PathMessages& messages) {
  const json* path = member(object, "path");
  if (path == nullptr) return std::string(messages.missing);
  if (!path->is_array()) return std::string(messages.not_array);
  std::vector<std::string> segments;
  for (const json& segment : *path) {
    if (!segment.is_string()) return std::string(messages.not_string);
    segments.push_back(segment.get<std::string>());
  }
  Result<FieldPath> made = FieldPath::make(std::move(segments));
  if (!made.ok()) return made.error().render();
  return std::move(made).value();
}

std::optional<Type::Kind> primitive_named(const std::string& name) {
  static const std::pair<const char*, Type::Kind> kNames[] = {
      {"bool", Type::Kind::Bool},     {"int64", Type::Kind::Int64},
      {"uint64", Type::Kind::Uint64}, {"float64", Type::Kind::Float64},
      {"string", Type::Kind::String}, {"bytes", Type::Kind::Bytes},
      {"uuid", Type::Kind::Uuid},     {"timestamp", Type::Kind::Timestamp},
  };
  for (const auto& [text, kind] : kNames) {
    if (name == text) return kind;
  }
  return std::nullopt;
}

bool fits_i64(const json& v) {
  if (v.is_number_unsigned()) {
    return v.get<std::uint64_t>() <=
           static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  }
  return v.is_number_integer();
}

// The first key of the table that is present with a value of its accepted kind.
std::optional<Constraint> constraint_from(const json& object) {
  if (const json* v = member(object, "min_i64"); v && fits_i64(*v))
    return Constraint::MinI64{v->get<std::int64_t>()};
  if (const json* v = member(object, "max_i64"); v && fits_i64(*v))
    return Constraint::MaxI64{v->get<std::int64_t>()};
  if (const json* v = member(object, "min_u64"); v && v->is_number_unsigned())
    return Constraint::MinU64{v->get<std::uint64_t>()};
  if (const json* v = member(object, "max_u64"); v && v->is_number_unsigned())
    return Constraint::MaxU64{v->get<std::uint64_t>()};
  if (const json* v = member(object, "min_f64"); v && v->is_number())
    return Constraint::MinF64{v->get<double>()};
  if (const json* v = member(object, "max_f64"); v && v->is_number())
    return Constraint::MaxF64{v->get<double>()};
  if (const json* v = member(object, "min_length"); v && v->is_number_unsigned())
    return Constraint::MinLength{v->get<std::uint64_t>()};
  if (const json* v = member(object, "max_length"); v && v->is_number_unsigned())
    return Constraint::MaxLength{v->get<std::uint64_t>()};
  if (const json* v = member(object, "regex"); v && v->is_string())
    return Constraint::Regex{v->get<std::string>()};
  const auto is_true = [](const json* v) {
    return v != nullptr && v->is_boolean() && v->get<bool>();
  };
  if (is_true(member(object, "email"))) return Constraint::Email{};
  if (is_true(member(object, "url"))) return Constraint::Url{};
  if (is_true(member(object, "nonempty"))) return Constraint::NonEmpty{};
  return std::nullopt;
}

}  // namespace

JsonResult<json> parse_json(std::string_view text) {
  std::size_t read = 0;
  TreeBuilder builder(&read);
  const CountingIterator first(text.data(), text.data(), &read);
  const CountingIterator last(text.data(), text.data() + text.size(), &read);
  const bool ok = json::sax_parse(first, last, &builder);
  if (!ok) {
    if (builder.error().rfind("recursion", 0) == 0) {
      return with_position(builder.error(), text, builder.error_position());
    }
    return with_position(bare_message(builder.error()), text, builder.error_position());
  }
  return std::move(builder.root());
}

JsonResult<std::vector<FieldDef>> fields_from_json(std::string_view fields_json) {
  JsonResult<json> parsed = parse_json(fields_json);
  if (auto* message = std::get_if<std::string>(&parsed)) return std::move(*message);
  const json& value = std::get<json>(parsed);
  if (!value.is_array()) return std::string("fields_json must be a JSON array");
  std::vector<FieldDef> fields;
  for (const json& element : value) {
    JsonResult<FieldDef> field = field_def_from_json_value(element);
    if (auto* message = std::get_if<std::string>(&field)) return std::move(*message);
    fields.push_back(std::move(std::get<FieldDef>(field)));
  }
  return fields;
}

JsonResult<FieldDef> field_def_from_json_value(const json& value) {
  if (!value.is_object()) return std::string("each field must be a JSON object");
  JsonResult<FieldPath> path =
      path_from(value, {"missing \"path\"", "\"path\" must be an array of strings",
                        "path segment must be a string"});
  if (auto* message = std::get_if<std::string>(&path)) return std::move(*message);
  const json* type_value = member(value, "type");
  if (type_value == nullptr) return std::string("missing \"type\"");
  JsonResult<Type> type = type_from_json_value(*type_value);
  if (auto* message = std::get_if<std::string>(&type)) return std::move(*message);
  std::vector<Constraint> constraints;
  if (const json* c = member(value, "constraints")) {
    JsonResult<std::vector<Constraint>> parsed = constraints_from_json_value(*c);
    if (auto* message = std::get_if<std::string>(&parsed)) return std::move(*message);
    constraints = std::move(std::get<std::vector<Constraint>>(parsed));
  }
  return FieldDef{std::move(std::get<FieldPath>(path)), std::move(std::get<Type>(type)),
                  std::move(constraints)};
}

JsonResult<Type> type_from_json_value(const json& value) {
  if (value.is_string()) {
    const std::string& name = value.get_ref<const std::string&>();
    if (const auto kind = primitive_named(name)) return Type(*kind);
    return "unknown primitive type " + debug_string(name);
  }
  if (!value.is_object()) return std::string("\"type\" must be a string or object");
  if (const json* inner = member(value, "optional")) {
    JsonResult<Type> t = type_from_json_value(*inner);
    if (auto* message = std::get_if<std::string>(&t)) return std::move(*message);
    return Type::optional(std::move(std::get<Type>(t)));
  }
  if (const json* element = member(value, "list")) {
    JsonResult<Type> t = type_from_json_value(*element);
    if (auto* message = std::get_if<std::string>(&t)) return std::move(*message);
    return Type::list(std::move(std::get<Type>(t)));
  }
  if (const json* members = member(value, "object"); members && members->is_array()) {
    std::vector<FieldDef> fields;
    for (const json& element : *members) {
      JsonResult<FieldDef> field = field_def_from_json_value(element);
      if (auto* message = std::get_if<std::string>(&field)) return std::move(*message);
      fields.push_back(std::move(std::get<FieldDef>(field)));
    }
    return Type::object(std::move(fields));
  }
  if (const json* variants = member(value, "enum"); variants && variants->is_array()) {
    std::vector<std::string> names;
    for (const json& element : *variants) {
      if (!element.is_string()) return std::string("enum variant must be a string");
      names.push_back(element.get<std::string>());
    }
    return Type::enumeration(std::move(names));
  }
  return std::string("unsupported \"type\" shape");
}

JsonResult<std::vector<Constraint>> constraints_from_json_value(const json& value) {
  if (!value.is_array()) return std::string("\"constraints\" must be an array");
  std::vector<Constraint> constraints;
  for (const json& element : value) {
    if (!element.is_object()) return std::string("each constraint must be a JSON object");
    std::optional<Constraint> c = constraint_from(element);
    if (!c) return std::string("unknown constraint shape");
    constraints.push_back(std::move(*c));
  }
  return constraints;
}

JsonResult<std::vector<IndexDef>> indexes_from_json(std::string_view indexes_json,
                                                    const std::vector<FieldDef>& fields) {
  JsonResult<json> parsed = parse_json(indexes_json);
  if (auto* message = std::get_if<std::string>(&parsed)) return std::move(*message);
  const json& value = std::get<json>(parsed);
  if (!value.is_array()) return std::string("indexes_json must be a JSON array");
  std::vector<IndexDef> indexes;
  std::set<std::string> seen;
  for (const json& element : value) {
    if (!element.is_object()) return std::string("each index must be a JSON object");
    const json* name_value = member(element, "name");
    if (name_value == nullptr || !name_value->is_string()) {
      return std::string("index missing \"name\" or name is not a string");
    }
    std::string name(trim_white_space(name_value->get_ref<const std::string&>()));
    if (name.empty()) return std::string("index \"name\" must be non-empty");
    if (!seen.insert(name).second) return "duplicate index name " + debug_string(name);
    JsonResult<FieldPath> path =
        path_from(element, {"index missing \"path\"", "index \"path\" must be an array of strings",
                            "index path segment must be a string"});
    if (auto* message = std::get_if<std::string>(&path)) return std::move(*message);
    const FieldPath& index_path = std::get<FieldPath>(path);
    const FieldDef* field = nullptr;
    for (const FieldDef& candidate : fields) {
      if (candidate.path == index_path) {
        field = &candidate;
        break;
      }
    }
    if (field == nullptr) {
      return "index " + debug_string(name) + " path does not match any field in fields_json";
    }
    const Type* type = &field->type;
    while (type->kind() == Type::Kind::Optional) type = &type->inner();
    if (type->kind() == Type::Kind::List || type->kind() == Type::Kind::Object) {
      return "index " + debug_string(name) +
             " path must resolve to a scalar field (not list or object root)";
    }
    const json* kind_value = member(element, "kind");
    if (kind_value == nullptr || !kind_value->is_string()) {
      return std::string("index missing \"kind\" or kind is not a string");
    }
    const std::string& kind_text = kind_value->get_ref<const std::string&>();
    IndexKind kind = IndexKind::Unique;
    if (kind_text == "unique") {
      kind = IndexKind::Unique;
    } else if (kind_text == "index" || kind_text == "non_unique") {
      kind = IndexKind::NonUnique;
    } else {
      return "index " + debug_string(name) +
             ": kind must be \"unique\", \"index\", or \"non_unique\" (got " +
             debug_string(kind_text) + ")";
    }
    indexes.push_back(IndexDef{std::move(name), index_path, kind});
  }
  return indexes;
}

}  // namespace quarn::py
