// Short builders for query predicates in engine tests: eq({"age"}, s_i64(30)).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "query/ast.h"
#include "record/scalar.h"
#include "testing/rows.h"

namespace quarn::testing {

inline Predicate eq(std::vector<std::string> p, ScalarValue v) {
  return Predicate::Eq{{path(std::move(p)), std::move(v)}};
}
inline Predicate lt(std::vector<std::string> p, ScalarValue v) {
  return Predicate::Lt{{path(std::move(p)), std::move(v)}};
}
inline Predicate lte(std::vector<std::string> p, ScalarValue v) {
  return Predicate::Lte{{path(std::move(p)), std::move(v)}};
}
inline Predicate gt(std::vector<std::string> p, ScalarValue v) {
  return Predicate::Gt{{path(std::move(p)), std::move(v)}};
}
inline Predicate gte(std::vector<std::string> p, ScalarValue v) {
  return Predicate::Gte{{path(std::move(p)), std::move(v)}};
}
inline Predicate all_of(std::vector<Predicate> children) {
  return Predicate::And{std::move(children)};
}
inline Predicate any_of(std::vector<Predicate> children) {
  return Predicate::Or{std::move(children)};
}

}  // namespace quarn::testing
