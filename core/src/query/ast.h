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

class Predicate {
 public:
  // The five comparisons share one shape; the row's value is always the left operand.
  struct Comparison {
    FieldPath path;
    ScalarValue value;
  };
  struct Eq : Comparison {};
  struct Lt : Comparison {};
  struct Lte : Comparison {};
  struct Gt : Comparison {};
  struct Gte : Comparison {};
  struct And {
    std::vector<Predicate> children;
  };
  struct Or {
    std::vector<Predicate> children;
  };
  using Variant = std::variant<Eq, Lt, Lte, Gt, Gte, And, Or>;

  template <typename T>
  Predicate(T alternative)  // NOLINT: every alternative converts implicitly
      requires std::is_constructible_v<Variant, T> : value_(std::move(alternative)) {}

  const Variant& value() const { return value_; }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value_);
  }

  // Structural equality; comparison values compare by the Eq rule, so a NaN value never
  // equals even a copy of itself.
  bool operator==(const Predicate& other) const;

  // `Eq { path: FieldPath(["age"]), value: Int64(30) }`, `And([..., Or([])])`.
  std::string debug() const;

 private:
  Variant value_;
};

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
