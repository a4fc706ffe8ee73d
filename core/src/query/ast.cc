// Predicate equality and the debug renderings that plan text shows verbatim.
#include "query/ast.h"

namespace quarn {
namespace {

const char* alternative_name(const Predicate::Variant& value) {
  static constexpr const char* kNames[] = {"Eq", "Lt", "Lte", "Gt", "Gte", "And", "Or"};
  return kNames[value.index()];
}

bool same_children(const std::vector<Predicate>& a, const std::vector<Predicate>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i])) return false;
  }
  return true;
}

}  // namespace

bool Predicate::operator==(const Predicate& other) const {
  if (value_.index() != other.value_.index()) return false;
  return std::visit(
      Overloaded{
          [&](const And& a) { return same_children(a.children, other.get_if<And>()->children); },
          [&](const Or& a) { return same_children(a.children, other.get_if<Or>()->children); },
          [&](const auto& a) {
            const auto& b = std::get<std::remove_cvref_t<decltype(a)>>(other.value_);
            // ScalarValue's == is the Eq rule: same kind, IEEE for floats.
            return a.path == b.path && a.value == b.value;
          },
      },
      value_);
}

std::string Predicate::debug() const {
  std::string out = alternative_name(value_);
  const auto list = [&](const std::vector<Predicate>& children) {
    out += "([";
    for (std::size_t i = 0; i < children.size(); ++i) {
      if (i > 0) out += ", ";
      out += children[i].debug();
    }
    out += "])";
  };
  std::visit(Overloaded{
                 [&](const And& a) { list(a.children); },
                 [&](const Or& a) { list(a.children); },
                 [&](const Comparison& c) {
                   out += " { path: " + c.path.debug() + ", value: " + c.value.debug() + " }";
                 },
             },
             value_);
  return out;
}

const char* debug(OrderDirection direction) {
  return direction == OrderDirection::Desc ? "Desc" : "Asc";
}

}  // namespace quarn
