// Validation of rows against a schema: the type walk that builds the failure path, and the
// constraint checks with their messages.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include <re2/re2.h>

#include "validation_internal.h"

namespace quarn {
namespace {

using Path = std::vector<std::string>;

// A validation failure at a copy of path.
DbError validation_error_at(const Path& path, std::string message) {
  return ValidationError{path, std::move(message)};
}

// Pops the segment a level pushed, on success only: a failure keeps the path it was found at.
class PathSegment {
 public:
  PathSegment(Path& path, std::string segment) : path_(path) {
    path_.push_back(std::move(segment));
  }
  void pop() { path_.pop_back(); }

 private:
  Path& path_;
};

const char* expected_kind_message(Type::Kind kind) {
  switch (kind) {
    case Type::Kind::Bool:
      return "expected bool";
    case Type::Kind::Int64:
      return "expected int64";
    case Type::Kind::Uint64:
      return "expected uint64";
    case Type::Kind::Float64:
      return "expected float64";
    case Type::Kind::String:
      return "expected string";
    case Type::Kind::Bytes:
      return "expected bytes";
    case Type::Kind::Uuid:
      return "expected uuid";
    case Type::Kind::Timestamp:
      return "expected timestamp";
    default:
      break;
  }
  QUARN_CHECK(false, "expected_kind_message of a composite type");
  return "";
}

// Compiled patterns per thread, so a constraint on a hot field is not recompiled per row. A
// pattern that failed to compile is kept too and fails every check the same way. Cleared when
// full rather than evicting selectively: schemas hold few patterns.
constexpr std::size_t kRegexCacheLimit = 64;

const RE2& compiled_regex(const std::string& pattern) {
  thread_local std::unordered_map<std::string, std::unique_ptr<const RE2>> cache;
  auto it = cache.find(pattern);
  if (it != cache.end()) return *it->second;
  if (cache.size() >= kRegexCacheLimit) cache.clear();
  auto re = std::make_unique<const RE2>(pattern, RE2::Quiet);
  return *cache.emplace(pattern, std::move(re)).first->second;
}

template <class N>
std::string bound_message(const char* which, N value, N bound) {
  return std::string("value ") + std::to_string(value) + " is " + which + " " +
         std::to_string(bound);
}

std::string bound_message(const char* which, double value, double bound) {
  return std::string("value ") + plain_decimal_f64(value) + " is " + which + " " +
         plain_decimal_f64(bound);
}

// The length of a value a length constraint measures, with the noun its messages use.
struct Measured {
  const char* noun;
  std::uint64_t length;
};

std::optional<Measured> measure(ValueView value) {
  if (value.number() == ValueNumber::String) return Measured{"string", value.bytes().size()};
  if (value.number() == ValueNumber::Bytes) return Measured{"bytes", value.bytes().size()};
  if (value.number() == ValueNumber::List) return Measured{"list", value.list().size()};
  return std::nullopt;
}

std::string length_message(const Measured& m, const char* which, std::uint64_t bound) {
  return std::string(m.noun) + " length " + std::to_string(m.length) + " is " + which + " " +
         std::to_string(bound);
}

// One constraint against one value; the failure message, or nothing when it holds.
std::optional<std::string> check_constraint(const Constraint& constraint, ValueView value) {
  const ValueNumber number = value.number();
  std::optional<std::string_view> text;
  if (number == ValueNumber::String) text = value.text();
  return std::visit(
      [&](const auto& c) -> std::optional<std::string> {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, Constraint::MinI64>) {
          if (number != ValueNumber::Int64) return "MinI64 constraint requires int64";
          const std::int64_t x = value.fixed<std::int64_t>();
          if (x < c.value) return bound_message("below minimum", x, c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MaxI64>) {
          if (number != ValueNumber::Int64) return "MaxI64 constraint requires int64";
          const std::int64_t x = value.fixed<std::int64_t>();
          if (x > c.value) return bound_message("above maximum", x, c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MinU64>) {
          if (number != ValueNumber::Uint64) return "MinU64 constraint requires uint64";
          const std::uint64_t x = value.fixed<std::uint64_t>();
          if (x < c.value) return bound_message("below minimum", x, c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MaxU64>) {
          if (number != ValueNumber::Uint64) return "MaxU64 constraint requires uint64";
          const std::uint64_t x = value.fixed<std::uint64_t>();
          if (x > c.value) return bound_message("above maximum", x, c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MinF64>) {
          if (number != ValueNumber::Float64) return "MinF64 constraint requires float64";
          const double x = value.fixed<double>();
          // Written as bound > value so that a NaN on either side passes.
          if (c.value > x) return bound_message("below minimum", x, c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MaxF64>) {
          if (number != ValueNumber::Float64) return "MaxF64 constraint requires float64";
          const double x = value.fixed<double>();
          if (x > c.value) return bound_message("above maximum", x, c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MinLength>) {
          const std::optional<Measured> m = measure(value);
          if (!m) return "MinLength applies to string, bytes, or list";
          if (m->length < c.value) return length_message(*m, "below minimum", c.value);
        } else if constexpr (std::is_same_v<C, Constraint::MaxLength>) {
          const std::optional<Measured> m = measure(value);
          if (!m) return "MaxLength applies to string, bytes, or list";
          if (m->length > c.value) return length_message(*m, "above maximum", c.value);
        } else if constexpr (std::is_same_v<C, Constraint::Regex>) {
          if (!text) return "Regex constraint requires string";
          const RE2& re = compiled_regex(c.pattern);
          if (!re.ok()) return "invalid regex in schema: " + re.error();
          if (!RE2::PartialMatch(*text, re)) return "string does not match regex";
        } else if constexpr (std::is_same_v<C, Constraint::Email>) {
          if (!text) return "Email constraint requires string";
          const std::string_view s = *text;
          if (s.find('@') == std::string_view::npos || s.find('.') == std::string_view::npos) {
            return "string is not a valid email shape";
          }
        } else if constexpr (std::is_same_v<C, Constraint::Url>) {
          if (!text) return "Url constraint requires string";
          const std::string_view s = *text;
          if (!s.starts_with("http://") && !s.starts_with("https://")) {
            return "string must be an http(s) URL";
          }
        } else {
          static_assert(std::is_same_v<C, Constraint::NonEmpty>);
          const std::optional<Measured> m = measure(value);
          if (!m) return "NonEmpty applies to string, bytes, or list";
          if (m->length == 0) return std::string(m->noun) + " must be non-empty";
        }
        return std::nullopt;
      },
      constraint.value());
}

bool has_member(const std::vector<FieldDef>& members, std::string_view name) {
  for (const FieldDef& member : members) {
    if (member.path.first() == name) return true;
  }
  return false;
}

Status validate_object(Path& path, const std::vector<FieldDef>& members, RowView row) {
  for (const FieldDef& member : members) {
    const std::string& name = member.path.first();
    const std::optional<ValueView> found = row.find(name);
    PathSegment segment(path, name);
    if (!found && member.type.kind() != Type::Kind::Optional) {
      return validation_error_at(path, "missing object field");
    }
    QUARN_TRY(validate_value(path, member.type, member.constraints, found ? *found : null_value()));
    segment.pop();
  }
  // Unknown keys only after every member validated.
  for (const RowView::Field field : row) {
    if (!has_member(members, field.name)) {
      path.emplace_back(field.name);
      return validation_error_at(path, "unknown field in object");
    }
  }
  return ok_status();
}

}  // namespace

std::string plain_decimal_f64(double value) {
  if (std::isnan(value)) return "NaN";
  std::string out = std::signbit(value) ? "-" : "";
  if (std::isinf(value)) return out + "inf";
  // Shortest round-trip digits as d.ddde±x, then laid out again without the exponent.
  char buf[64];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof(buf), std::fabs(value), std::chars_format::scientific);
  QUARN_CHECK(r.ec == std::errc(), "to_chars of a finite double");
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e_at = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e_at)) {
    if (ch != '.') digits += ch;
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_at + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  const std::from_chars_result parsed =
      std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  QUARN_CHECK(parsed.ec == std::errc(), "exponent of to_chars");

  // Digits before the decimal point.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    const auto split = static_cast<std::size_t>(point);
    out += digits.substr(0, split);
    out += '.';
    out += digits.substr(split);
  }
  return out;
}

Status apply_constraints(const std::vector<std::string>& path,
                         std::span<const Constraint> constraints, ValueView value) {
  for (const Constraint& constraint : constraints) {
    std::optional<std::string> failure = check_constraint(constraint, value);
    if (failure) return validation_error_at(path, std::move(*failure));
  }
  return ok_status();
}

Status apply_constraints(const std::vector<std::string>& path,
                         std::span<const Constraint> constraints, const RowValue& value) {
  Bytes image;
  append_packed_value(image, value);
  return apply_constraints(path, constraints, ValueView(image.data()));
}

Status validate_value(std::vector<std::string>& path, const Type& type,
                      std::span<const Constraint> constraints, ValueView value) {
  switch (type.kind()) {
    case Type::Kind::Optional:
      if (value.is_null()) return ok_status();
      QUARN_TRY(validate_value(path, type.inner(), {}, value));
      return apply_constraints(path, constraints, value);
    case Type::Kind::List: {
      if (value.number() != ValueNumber::List) return validation_error_at(path, "expected list");
      std::size_t i = 0;
      for (const ValueView element : value.list()) {
        PathSegment segment(path, std::to_string(i++));
        QUARN_TRY(validate_value(path, type.inner(), {}, element));
        segment.pop();
      }
      return apply_constraints(path, constraints, value);
    }
    case Type::Kind::Object: {
      if (value.number() != ValueNumber::Object) {
        return validation_error_at(path, "expected object");
      }
      QUARN_TRY(validate_object(path, type.members(), value.object()));
      return apply_constraints(path, constraints, value);
    }
    case Type::Kind::Enum: {
      if (value.number() != ValueNumber::String) {
        return validation_error_at(path, "expected string (enum)");
      }
      const std::string_view text = value.text();
      bool known = false;
      for (const std::string& variant : type.variants()) {
        if (variant == text) {
          known = true;
          break;
        }
      }
      if (!known)
        return validation_error_at(
            path, "enum value must be one of " + debug_string_list(type.variants()));
      return apply_constraints(path, constraints, value);
    }
    default:
      // A primitive: the value's number equals the type's number.
      if (static_cast<std::uint8_t>(value.number()) != type.number())
        return validation_error_at(path, expected_kind_message(type.kind()));
      return apply_constraints(path, constraints, value);
  }
}

Status validate_value(std::vector<std::string>& path, const Type& type,
                      std::span<const Constraint> constraints, const RowValue& value) {
  Bytes image;
  append_packed_value(image, value);
  return validate_value(path, type, constraints, ValueView(image.data()));
}

DbError unknown_field_error(std::string_view name) {
  return validation_error_at({std::string(name)}, "unknown field");
}

Status validate_top_level_field(const FieldDef& def, std::optional<ValueView> value,
                                std::vector<std::string>& path) {
  const std::string& name = def.path.first();
  const bool optional = def.type.kind() == Type::Kind::Optional;
  if (!value && !optional) return validation_error_at({name}, "missing field");
  if (value && value->is_null() && !optional) {
    return validation_error_at({name}, "unexpected null for required field");
  }
  path.assign(1, name);
  return validate_value(path, def.type, def.constraints, value ? *value : null_value());
}

Status validate_top_level_row(const std::vector<FieldDef>& fields, const std::string& primary,
                              RowView row, std::vector<std::string>& path) {
  for (const RowView::Field field : row) {
    if (find_top_level_field(fields, field.name) == nullptr) return unknown_field_error(field.name);
  }
  for (const FieldDef& def : fields) {
    if (def.path.first() == primary) continue;
    QUARN_TRY(validate_top_level_field(def, row.find(def.path.first()), path));
  }
  return ok_status();
}

Status validate_top_level_row(const std::vector<FieldDef>& fields, const std::string& primary,
                              const Row& row) {
  const Bytes image = pack_row(row);
  Path path;
  return validate_top_level_row(fields, primary, RowView(image.data()), path);
}

}  // namespace quarn
