// The debug renderings of predicates and orderings that plan text shows verbatim.
#include "query/ast.h"

namespace quarn {

template <>
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
