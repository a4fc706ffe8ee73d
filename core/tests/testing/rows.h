// Short builders for schemas and rows in engine tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "index.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "schema.h"

namespace quarn::testing {

inline FieldPath path(std::vector<std::string> segments) {
  return FieldPath::make(std::move(segments)).value();
}

inline FieldDef def_at(std::vector<std::string> segments, Type type,
                       std::vector<Constraint> constraints = {}) {
  return FieldDef{path(std::move(segments)), std::move(type), std::move(constraints)};
}

inline FieldDef def(std::string name, Type type, std::vector<Constraint> constraints = {}) {
  return def_at(std::vector<std::string>{std::move(name)}, std::move(type), std::move(constraints));
}

inline IndexDef index_def(std::string name, std::vector<std::string> segments,
                          IndexKind kind = IndexKind::Unique) {
  return IndexDef{std::move(name), path(std::move(segments)), kind};
}

inline Type ty(Type::Kind kind) { return Type(kind); }
inline Type opt(Type inner) { return Type::optional(std::move(inner)); }

inline ScalarValue s_i64(std::int64_t v) { return ScalarValue::Int64{v}; }
inline ScalarValue s_str(std::string v) { return ScalarValue::String{std::move(v)}; }

inline RowValue i64(std::int64_t v) { return RowValue(ScalarValue::Int64{v}); }
inline RowValue u64(std::uint64_t v) { return RowValue(ScalarValue::Uint64{v}); }
inline RowValue str(std::string v) { return RowValue(ScalarValue::String{std::move(v)}); }
inline RowValue list(RowValue::List items) { return RowValue(std::move(items)); }
inline RowValue obj(Row row) { return RowValue::object(std::move(row)); }
inline RowValue null() { return RowValue(); }

}  // namespace quarn::testing
