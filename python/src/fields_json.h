// JSON field and index definitions: `fields_json` and `indexes_json` texts to schema types, or
// the one message that says what is wrong. Pure functions; no Python objects.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "schema.h"

namespace quarn::py {

// A result or the message the caller raises as ValueError.
template <class T>
using JsonResult = std::variant<T, std::string>;

// Nesting depth at which a JSON text is refused (arrays and objects together).
inline constexpr std::size_t kMaxJsonDepth = 128;

// Parses one JSON value (nothing may follow it). Error: the parser's message followed by
// " at line L column C". Repeated keys keep their last value; non-negative integers are
// unsigned, negative ones signed, the rest doubles.
JsonResult<nlohmann::json> parse_json(std::string_view text);

JsonResult<std::vector<FieldDef>> fields_from_json(std::string_view fields_json);
// `fields` is what fields_from_json made of the same call's fields_json.
JsonResult<std::vector<IndexDef>> indexes_from_json(std::string_view indexes_json,
                                                    const std::vector<FieldDef>& fields);

JsonResult<FieldDef> field_def_from_json_value(const nlohmann::json& value);
JsonResult<Type> type_from_json_value(const nlohmann::json& value);
JsonResult<std::vector<Constraint>> constraints_from_json_value(const nlohmann::json& value);

}  // namespace quarn::py
