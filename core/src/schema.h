// Schema types: field paths, field types, constraints, field and index definitions.
// Plain values; copies are deep. Their numbers are shared by every encoding.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "result.h"

namespace quarn {

// A non-empty list of non-empty name segments, outermost first. Segments are never split or
// trimmed.
class FieldPath {
 public:
  // SchemaError::InvalidFieldPath when the list is empty or any segment is empty.
  static Result<FieldPath> make(std::vector<std::string> segments);

  const std::vector<std::string>& segments() const { return segments_; }
  const std::string& first() const { return segments_.front(); }
  std::size_t size() const { return segments_.size(); }
  bool is_top_level() const { return segments_.size() == 1; }

  bool operator==(const FieldPath&) const = default;
  // `FieldPath(["address", "city"])`.
  std::string debug() const;

 private:
  explicit FieldPath(std::vector<std::string> segments) : segments_(std::move(segments)) {}
  std::vector<std::string> segments_;
};

struct FieldPathHash {
  std::size_t operator()(const FieldPath& path) const;
};

// The catalog's wire tag of each constraint alternative (frozen numbers).
enum class ConstraintTag : std::uint8_t {
  MinI64 = 1,
  MaxI64 = 2,
  MinU64 = 3,
  MaxU64 = 4,
  MinF64 = 5,
  MaxF64 = 6,
  MinLength = 7,
  MaxLength = 8,
  Regex = 9,
  Email = 10,
  Url = 11,
  NonEmpty = 12,
};

class Constraint {
 public:
  struct MinI64 {
    std::int64_t value;
    bool operator==(const MinI64&) const = default;
  };
  struct MaxI64 {
    std::int64_t value;
    bool operator==(const MaxI64&) const = default;
  };
  struct MinU64 {
    std::uint64_t value;
    bool operator==(const MinU64&) const = default;
  };
  struct MaxU64 {
    std::uint64_t value;
    bool operator==(const MaxU64&) const = default;
  };
  struct MinF64 {
    double value;
    bool operator==(const MinF64&) const = default;
  };
  struct MaxF64 {
    double value;
    bool operator==(const MaxF64&) const = default;
  };
  struct MinLength {
    std::uint64_t value;
    bool operator==(const MinLength&) const = default;
  };
  struct MaxLength {
    std::uint64_t value;
    bool operator==(const MaxLength&) const = default;
  };
  struct Regex {
    std::string pattern;
    bool operator==(const Regex&) const = default;
  };
  struct Email {
    bool operator==(const Email&) const = default;
  };
  struct Url {
    bool operator==(const Url&) const = default;
  };
  struct NonEmpty {
    bool operator==(const NonEmpty&) const = default;
  };
  using Variant = std::variant<MinI64, MaxI64, MinU64, MaxU64, MinF64, MaxF64, MinLength, MaxLength,
                               Regex, Email, Url, NonEmpty>;

  template <AlternativeOf<Variant> A>
  Constraint(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const { return value_; }
  template <class A>
  const A* get_if() const {
    return std::get_if<A>(&value_);
  }
  ConstraintTag tag() const;
  // Same alternative and equal argument; doubles by IEEE equality (NaN never equal).
  bool operator==(const Constraint& other) const;

 private:
  Variant value_;
};

struct FieldDef;

// A field type. Kinds 0 to 7 are the primitives and match ScalarValue kinds (frozen numbers).
class Type {
 public:
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"  // Kind::Bytes beside quarn::Bytes is intended
  enum class Kind : std::uint8_t {
    Bool = 0,
    Int64 = 1,
    Uint64 = 2,
    Float64 = 3,
    String = 4,
    Bytes = 5,
    Uuid = 6,
    Timestamp = 7,
    Optional = 8,
    List = 9,
    Object = 10,
    Enum = 11,
  };
#pragma GCC diagnostic pop

  // A primitive (REQUIRES: kind <= Timestamp).
  explicit Type(Kind primitive);
  static Type optional(Type inner);
  static Type list(Type element);
  static Type object(std::vector<FieldDef> members);
  static Type enumeration(std::vector<std::string> variants);

  Type(const Type& other);
  Type& operator=(const Type& other);
  Type(Type&&) noexcept = default;
  Type& operator=(Type&&) noexcept = default;
  ~Type();

  Kind kind() const { return kind_; }
  std::uint8_t number() const { return static_cast<std::uint8_t>(kind_); }
  bool is_primitive() const { return kind_ <= Kind::Timestamp; }
  // REQUIRES: kind() is Optional or List.
  const Type& inner() const { return *inner_; }
  // REQUIRES: kind() is Object.
  const std::vector<FieldDef>& members() const { return *members_; }
  // REQUIRES: kind() is Enum.
  const std::vector<std::string>& variants() const { return variants_; }

  // Structural, order-sensitive; constraint doubles by IEEE equality.
  bool operator==(const Type& other) const;

 private:
  Type() = default;
  Kind kind_ = Kind::Bool;
  std::unique_ptr<Type> inner_;
  std::unique_ptr<std::vector<FieldDef>> members_;
  std::vector<std::string> variants_;
};

struct FieldDef {
  FieldPath path;
  Type type;
  std::vector<Constraint> constraints;

  bool operator==(const FieldDef&) const = default;
};

// The first definition whose path is the one segment `name`, or null. Nested paths never match.
const FieldDef* find_top_level_field(const std::vector<FieldDef>& fields, std::string_view name);

// Wire byte is the number plus 1 (frozen).
enum class IndexKind : std::uint8_t { Unique = 0, NonUnique = 1 };

// "Unique" or "NonUnique".
const char* debug(IndexKind kind);

struct IndexDef {
  std::string name;
  FieldPath path;
  IndexKind kind;

  bool operator==(const IndexDef&) const = default;
};

struct CollectionId {
  std::uint32_t value = 0;

  auto operator<=>(const CollectionId&) const = default;
};

}  // namespace quarn
