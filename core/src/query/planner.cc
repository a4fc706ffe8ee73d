// Scalar comparison, predicate evaluation and the rule-based planner with its plan text.
#include "query/planner.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <variant>

#include "db/helpers.h"

namespace quarn {
namespace {

std::partial_ordering bytewise(const auto& a, const auto& b) {
  // Compared as unsigned bytes, whatever the signedness of the element type.
  const auto order = std::lexicographical_compare_three_way(
      a.begin(), a.end(), b.begin(), b.end(), [](auto x, auto y) {
        return static_cast<unsigned char>(x) <=> static_cast<unsigned char>(y);
      });
  return order;
}

// Numbers and booleans by value (IEEE for floats), texts, byte strings and uuids bytewise.
template <class A>
std::partial_ordering compare_payload(const A& a, const A& b) {
  if constexpr (std::is_arithmetic_v<decltype(a.value)>) {
    return a.value <=> b.value;
  } else {
    return bytewise(a.value, b.value);
  }
}

// scalar_partial_cmp of the value (a ScalarValue's or a RowValue's alternatives) against s,
// read in place: unordered unless both hold the same primitive kind.
template <class Variant>
std::partial_ordering compare_value_with_scalar(const Variant& value, const ScalarValue& s) {
  return std::visit(
      [&]<class A>(const A& right) {
        const A* left = std::get_if<A>(&value);
        return left == nullptr ? std::partial_ordering::unordered : compare_payload(*left, right);
      },
      s.value());
}

// The row's value is the left operand.
bool comparison_holds(const Predicate::Eq&, std::partial_ordering order) { return order == 0; }
bool comparison_holds(const Predicate::Lt&, std::partial_ordering order) { return order < 0; }
bool comparison_holds(const Predicate::Lte&, std::partial_ordering order) { return order <= 0; }
bool comparison_holds(const Predicate::Gt&, std::partial_ordering order) { return order > 0; }
bool comparison_holds(const Predicate::Gte&, std::partial_ordering order) { return order >= 0; }

// 0.0 and -0.0 are equal but have different key bytes, so one index key cannot find both.
bool is_float_zero(const ScalarValue& value) {
  const auto* f = value.get_if<ScalarValue::Float64>();
  return f != nullptr && f->value == 0.0;
}

const IndexDef* first_index_on(const std::vector<IndexDef>& indexes, const FieldPath& path) {
  for (const IndexDef& index : indexes) {
    if (index.path == path) return &index;
  }
  return nullptr;
}

// What the lookup does not already guarantee, given the whole predicate.
std::optional<Predicate> residual_of(const Predicate& whole, const Predicate& chosen) {
  if (whole == chosen) return std::nullopt;
  const auto* all = whole.get_if<Predicate::And>();
  if (all == nullptr) return whole;
  std::vector<Predicate> rest;
  for (const Predicate& child : all->children) {
    if (!(child == chosen)) rest.push_back(child);
  }
  if (rest.empty()) return std::nullopt;
  if (rest.size() == 1) return std::move(rest.front());
  return Predicate(Predicate::And{std::move(rest)});
}

// compare_value_with_scalar for a value of a row image.
std::partial_ordering compare_packed_with_scalar(ValueView value, const ScalarValue& s) {
  if (value.number() != value_number(s)) return std::partial_ordering::unordered;
  return std::visit(
      Overloaded{
          [&](const ScalarValue::String& right) { return bytewise(value.text(), right.value); },
          [&](const ScalarValue::Bytes& right) { return bytewise(value.bytes(), right.value); },
          [&](const ScalarValue::Uuid& right) { return bytewise(value.uuid(), right.value); },
          [&]<class A>(const A& right) {
            return std::partial_ordering(value.fixed<decltype(right.value)>() <=> right.value);
          },
      },
      s.value());
}

}  // namespace

std::partial_ordering scalar_partial_cmp(const ScalarValue& a, const ScalarValue& b) {
  return compare_value_with_scalar(a.value(), b);
}

bool eval_predicate(RowView row, const Predicate& predicate) {
  return std::visit(
      Overloaded{
          [&](const Predicate::And& p) {
            return std::all_of(p.children.begin(), p.children.end(),
                               [&](const Predicate& c) { return eval_predicate(row, c); });
          },
          [&](const Predicate::Or& p) {
            return std::any_of(p.children.begin(), p.children.end(),
                               [&](const Predicate& c) { return eval_predicate(row, c); });
          },
          [&](const auto& p) {  // Eq, Lt, Lte, Gt, Gte
            // Read in place from the row's image: nothing is decoded or copied.
            const std::optional<ValueView> v = row.at_path(p.path);
            if (!v || !v->is_primitive()) return false;
            return comparison_holds(p, compare_packed_with_scalar(*v, p.value));
          },
      },
      predicate.value());
}

std::optional<IndexChoice> choose_index(const std::vector<IndexDef>& indexes,
                                        const Predicate& predicate) {
  if (const auto* eq = predicate.get_if<Predicate::Eq>()) {
    if (is_float_zero(eq->value)) return std::nullopt;
    const IndexDef* index = first_index_on(indexes, eq->path);
    if (index == nullptr) return std::nullopt;
    return IndexChoice{index, eq->value, predicate};
  }
  const auto* all = predicate.get_if<Predicate::And>();
  if (all == nullptr) return std::nullopt;
  std::optional<IndexChoice> kept;
  for (const Predicate& child : all->children) {
    std::optional<IndexChoice> found = choose_index(indexes, child);
    if (!found) continue;
    if (!kept ||
        (kept->index->kind == IndexKind::NonUnique && found->index->kind == IndexKind::Unique)) {
      kept = std::move(found);
    }
  }
  return kept;
}

std::uint32_t Plan::collection_id() const {
  return std::visit([](const auto& p) { return p.collection_id; }, value_);
}

const std::optional<std::size_t>& Plan::limit() const {
  return std::visit([](const auto& p) -> const std::optional<std::size_t>& { return p.limit; },
                    value_);
}

const std::optional<OrderBy>& Plan::order_by() const {
  return std::visit([](const auto& p) -> const std::optional<OrderBy>& { return p.order_by; },
                    value_);
}

Plan plan_query(std::uint32_t collection_id, const std::vector<IndexDef>& indexes,
                const Query& query) {
  if (query.predicate) {
    if (std::optional<IndexChoice> choice = choose_index(indexes, *query.predicate)) {
      return Plan::IndexLookup{
          .collection_id = collection_id,
          .index_name = choice->index->name,
          .kind = choice->index->kind,
          .key = choice->value.canonical_key_bytes(),
          .residual = residual_of(*query.predicate, choice->chosen),
          .limit = query.limit,
          .order_by = query.order_by,
          .equality = std::move(choice->chosen),
      };
    }
  }
  return Plan::CollectionScan{
      .collection_id = collection_id,
      .predicate = query.predicate,
      .limit = query.limit,
      .order_by = query.order_by,
  };
}

Result<Plan> plan_catalog_query(const Catalog& catalog, const Query& query) {
  const CollectionInfo* info = catalog.get(query.collection_id);
  if (info == nullptr) return SchemaError::UnknownCollectionId{query.collection_id};
  return plan_query(info->collection_id, info->indexes, query);
}

Result<std::string> explain_query(const Catalog& catalog, const Query& query) {
  QUARN_ASSIGN_OR_RETURN(const Plan plan, plan_catalog_query(catalog, query));
  std::string out = "Plan:\n";
  std::visit(Overloaded{
                 [&](const Plan::CollectionScan& p) {
                   out += "  CollectionScan\n";
                   if (p.predicate) out += "  Filter " + p.predicate->debug() + "\n";
                 },
                 [&](const Plan::IndexLookup& p) {
                   out += "  IndexLookup index=" + debug_string(p.index_name) +
                          " kind=" + debug(p.kind) + "\n";
                   if (p.residual) out += "  ResidualFilter " + p.residual->debug() + "\n";
                 },
             },
             plan.value());
  if (plan.limit()) out += "  Limit " + std::to_string(*plan.limit()) + "\n";
  if (const std::optional<OrderBy>& order = plan.order_by()) {
    out += "  OrderBy " + order->path.debug() + " " + debug(order->direction) + "\n";
  }
  return out;
}

}  // namespace quarn
