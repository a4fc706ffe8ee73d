// Predicate equality and the debug renderings that plan text shows verbatim.
#include "query/ast.h"

namespace quarn {

bool Predicate::operator==(const Predicate& other) const {
  return std::visit(
      []<class A, class B>(const A& a, const B& b) {
        if constexpr (!std::is_same_v<A, B>) {
          return false;
        } else if constexpr (std::is_base_of_v<Comparison, A>) {
          // ScalarValue's == is the Eq rule: same kind, IEEE for floats.
          return a.path == b.path && a.value == b.value;
        } else {
          static_assert(std::is_same_v<A, And> || std::is_same_v<A, Or>);
          return a.children == b.children;
        }
      },
      value_, other.value_);
}

std::string Predicate::debug() const {
  std::string out;
  const auto list = [&](const char* name, const std::vector<Predicate>& children) {
    out += name;
    out += "([";
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (i > 0) out += ", ";
      out += children[i].debug();
    }
    out += "])";
  };
  const auto comparison = [&](const char* name, const Comparison& c) {
    out += name;
    out += " { path: " + c.path.debug() + ", value: " + c.value.debug() + " }";
  };
  std::visit(Overloaded{
                 [&](const Eq& c) { comparison("Eq", c); },
                 [&](const Lt& c) { comparison("Lt", c); },
                 [&](const Lte& c) { comparison("Lte", c); },
                 [&](const Gt& c) { comparison("Gt", c); },
                 [&](const Gte& c) { comparison("Gte", c); },
                 [&](const And& a) { list("And", a.children); },
                 [&](const Or& a) { list("Or", a.children); },
             },
             value_);
  return out;
}

const char* debug(OrderDirection direction) {
  return direction == OrderDirection::Desc ? "Desc" : "Asc";
}

}  // namespace quarn
