// The SQL SELECT dialect of the DB-API adapter: one collection, comparisons of a path with a
// positional `?` parameter joined by AND and OR, ORDER BY one path and LIMIT. The text is cut
// into tokens first, then read by recursive descent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "query/ast.h"
#include "result.h"
#include "schema.h"

namespace quarn {

// A parameter a comparison compares with: the 0-based position of its `?` among all `?` of the
// statement.
struct SqlParam {
  std::size_t index;
  bool operator==(const SqlParam&) const = default;
};

// A WHERE clause: Predicate's shape, with each compared value named by its parameter. The parser
// makes And and Or with at least two children; a lone operand stands unwrapped.
using SqlPredicate = PredicateTree<SqlParam>;

// The select list: `*`, or the paths as written (duplicates kept).
class SqlColumns {
 public:
  struct All {};
  struct Paths {
    std::vector<FieldPath> paths;
  };
  using Variant = std::variant<All, Paths>;

  template <typename T>
  SqlColumns(T alternative)  // NOLINT: both alternatives convert implicitly
      requires std::is_constructible_v<Variant, T> : value_(std::move(alternative)) {}

  const Variant& value() const { return value_; }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&value_);
  }

 private:
  Variant value_;
};

struct SqlSelect {
  SqlColumns columns;
  std::string collection;  // as written, case kept
  std::optional<SqlPredicate> predicate;
  std::optional<OrderBy> order_by;
  std::optional<std::uint64_t> limit;
  std::size_t param_count = 0;
};

// Parentheses deeper than this fail instead of growing the parser's stack without bound.
inline constexpr std::size_t kMaxSqlNesting = 256;

// Parses one SELECT statement. Every failure is DbError::QuerySyntax with its fixed message;
// a bad character anywhere in the text is reported before any grammar error. Pure: touches no
// database state.
Result<SqlSelect> parse_select(std::string_view sql);

}  // namespace quarn
