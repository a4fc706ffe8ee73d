// Scalar comparison and predicate evaluation, and the rule-based planner: index choice, the
// residual filter and the plan text. Pure functions over values the caller holds.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "bytes.h"
#include "catalog/state.h"
#include "query/ast.h"
#include "record/packed_row.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// Values of different kinds never compare (no coercion): unordered. Float64 by IEEE (NaN
// unordered, -0.0 equal to 0.0); strings, bytes and UUIDs bytewise, a prefix first.
std::partial_ordering scalar_partial_cmp(const ScalarValue& a, const ScalarValue& b);

// True when the row satisfies the predicate. A comparison whose path yields no scalar is
// false, whatever its operator; the row's value is the left operand. An empty And is true, an
// empty Or false.
bool eval_predicate(RowView row, const Predicate& predicate);

// What choose_index picked: an index of the list given, and copies of the equality's value and
// of the Eq predicate itself.
struct IndexChoice {
  const IndexDef* index;  // points into the list passed to choose_index
  ScalarValue value;
  Predicate chosen;
};

// The index for an Eq on an indexed path, found through nested Ands; within an And the first
// Unique candidate wins, else the first NonUnique one. Ranges and Or never use an index, nor does
// an Eq on a Float64 zero (0.0 and -0.0 are equal but have different key bytes).
std::optional<IndexChoice> choose_index(const std::vector<IndexDef>& indexes,
                                        const Predicate& predicate);

class Plan {
 public:
  // Every row of the collection, filtered by predicate.
  struct CollectionScan {
    std::uint32_t collection_id = 0;
    std::optional<Predicate> predicate;
    std::optional<std::size_t> limit;
    std::optional<OrderBy> order_by;
  };
  // The rows an index lists under key, filtered by residual. Key bytes carry no kind, so the
  // executor also checks each candidate against equality, which the residual leaves out.
  struct IndexLookup {
    std::uint32_t collection_id = 0;
    std::string index_name;
    IndexKind kind = IndexKind::Unique;
    Bytes key;  // canonical key bytes of the equality's value
    std::optional<Predicate> residual;
    std::optional<std::size_t> limit;
    std::optional<OrderBy> order_by;
    Predicate equality;  // the chosen Eq
  };
  using Variant = std::variant<CollectionScan, IndexLookup>;

  template <typename T>
  Plan(T alternative)  // NOLINT: both alternatives convert implicitly
      requires std::is_constructible_v<Variant, T> : value_(std::move(alternative)) {}

  const Variant& value() const { return value_; }
  Variant& value() { return value_; }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value_);
  }
  std::uint32_t collection_id() const;
  const std::optional<std::size_t>& limit() const;
  const std::optional<OrderBy>& order_by() const;

 private:
  Variant value_;
};

// Plans the query against the collection's index list, in its stored order. Cannot fail.
Plan plan_query(std::uint32_t collection_id, const std::vector<IndexDef>& indexes,
                const Query& query);

// plan_query for the query's collection in catalog. Errors: SchemaError::UnknownCollectionId.
Result<Plan> plan_catalog_query(const Catalog& catalog, const Query& query);

// The plan text, "Plan:\n  CollectionScan\n..." with one line per step, each ending in a newline.
// Errors: SchemaError::UnknownCollectionId.
Result<std::string> explain_query(const Catalog& catalog, const Query& query);

}  // namespace quarn
