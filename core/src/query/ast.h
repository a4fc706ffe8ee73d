// The engine's description of a query: the collection, an optional predicate tree, an optional
// ordering by one path and an optional limit. Plain values; copies are deep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "record/scalar.h"
#include "schema.h"

namespace quarn {

// A predicate tree over what its comparisons compare a row's value with: the query builder's
// trees hold the values themselves (Predicate), the SQL adapter's the positions of the statement's
// parameters (SqlPredicate, in sql.h).
template <class Operand>
class PredicateTree {
 public:
  // The five comparisons share one shape; the row's value is always the left operand.
  struct Comparison {
    FieldPath path;
    Operand value;
  };
  struct Eq : Comparison {};
  struct Lt : Comparison {};
  struct Lte : Comparison {};
  struct Gt : Comparison {};
  struct Gte : Comparison {};
  struct And {
    std::vector<PredicateTree> children;
  };
  struct Or {
    std::vector<PredicateTree> children;
  };
  using Variant = std::variant<Eq, Lt, Lte, Gt, Gte, And, Or>;

  template <typename T>
  PredicateTree(T alternative)  // NOLINT: every alternative converts implicitly
      requires std::is_constructible_v<Variant, T> : value_(std::move(alternative)) {}

  const Variant& value() const { return value_; }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value_);
  }

  // Structural equality: the same alternative, paths and values (by Operand's ==), children
  // pairwise in order.
  bool operator==(const PredicateTree& other) const;

  // `Eq { path: FieldPath(["age"]), value: Int64(30) }`, `And([..., Or([])])`. Defined for
  // Predicate only.
  std::string debug() const;

 private:
  Variant value_;
};

template <class Operand>
bool PredicateTree<Operand>::operator==(const PredicateTree& other) const {
  return std::visit(
      []<class A, class B>(const A& a, const B& b) {
        if constexpr (!std::is_same_v<A, B>) {
          return false;
        } else if constexpr (std::is_base_of_v<Comparison, A>) {
          return a.path == b.path && a.value == b.value;
        } else {
          static_assert(std::is_same_v<A, And> || std::is_same_v<A, Or>);
          return a.children == b.children;
        }
      },
      value_, other.value_);
}

// The query builder's tree. ScalarValue's == is the Eq rule (same kind, IEEE for floats), so a
// NaN value never equals even a copy of itself.
using Predicate = PredicateTree<ScalarValue>;

template <>
std::string Predicate::debug() const;

enum class OrderDirection : std::uint8_t { Asc = 0, Desc = 1 };

// "Asc" or "Desc".
const char* debug(OrderDirection direction);

struct OrderBy {
  FieldPath path;
  OrderDirection direction = OrderDirection::Asc;
};

// Never changed by the engine: planning and execution work on copies.
struct Query {
  std::optional<std::size_t> limit;    // absent: no limit; 0 yields no rows
  std::optional<Predicate> predicate;  // absent: every row of the collection
  std::optional<OrderBy> order_by;
  std::uint32_t collection_id = 0;
};

}  // namespace quarn
