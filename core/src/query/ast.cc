// Predicate equality and the debug renderings that plan text shows verbatim.
#include "query/ast.h"

namespace quarn {

bool Predicate::operator==(const Predicate& other) const {
  return std::visit(
      Overloaded{
          [](const And& a, const And& b) {
    return a.children == b.children; },
          [](const Or& a, const Or& b) {
    return a.children == b.children; },
          []<class C>(const C& a, const C& b)
            requires std::is_base_of_v<Comparison, C>
          {
            // ScalarValue's == is the Eq rule: same kind, IEEE for floats.
            return a.path == b.path && a.value == b.value;
}
, [](const auto&, const auto&) { return false; },  // different alternatives
}  // namespace quarn
,
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
