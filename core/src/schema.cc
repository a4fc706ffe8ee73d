// Schema types: field paths, types, constraints and index definitions.
#include "schema.h"

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quarn {

Result<FieldPath> FieldPath::make(std::vector<std::string> segments) {
  if (segments.empty()) return SchemaError::InvalidFieldPath{};
  for (const std::string& segment : segments) {
    if (segment.empty()) return SchemaError::InvalidFieldPath{};
  }
  return FieldPath(std::move(segments));
}

std::string FieldPath::debug() const { return "FieldPath(" + debug_string_list(segments_) + ")"; }

std::size_t FieldPathHash::operator()(const FieldPath& path) const {
  std::size_t h = path.size();
  for (const std::string& segment : path.segments()) {
    // Boost's combine: order-sensitive, so ["a", "b"] and ["b", "a"] spread apart.
    h ^= std::hash<std::string>{}(segment) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  }
  return h;
}

ConstraintTag Constraint::tag() const {
  return std::visit(Overloaded{
                        [](const MinI64&) { return ConstraintTag::MinI64; },
                        [](const MaxI64&) { return ConstraintTag::MaxI64; },
                        [](const MinU64&) { return ConstraintTag::MinU64; },
                        [](const MaxU64&) { return ConstraintTag::MaxU64; },
                        [](const MinF64&) { return ConstraintTag::MinF64; },
                        [](const MaxF64&) { return ConstraintTag::MaxF64; },
                        [](const MinLength&) { return ConstraintTag::MinLength; },
                        [](const MaxLength&) { return ConstraintTag::MaxLength; },
                        [](const Regex&) { return ConstraintTag::Regex; },
                        [](const Email&) { return ConstraintTag::Email; },
                        [](const Url&) { return ConstraintTag::Url; },
                        [](const NonEmpty&) { return ConstraintTag::NonEmpty; },
                    },
                    value_);
}

bool Constraint::operator==(const Constraint& other) const { return value_ == other.value_; }

Type::Type(Kind primitive) : kind_(primitive) {
  QUARN_CHECK(primitive <= Kind::Timestamp, "Type(Kind) of a non-primitive kind");
}

Type Type::optional(Type inner) {
  Type t;
  t.kind_ = Kind::Optional;
  t.inner_ = std::make_unique<Type>(std::move(inner));
  return t;
}

Type Type::list(Type element) {
  Type t;
  t.kind_ = Kind::List;
  t.inner_ = std::make_unique<Type>(std::move(element));
  return t;
}

Type Type::object(std::vector<FieldDef> members) {
  Type t;
  t.kind_ = Kind::Object;
  t.members_ = std::make_unique<std::vector<FieldDef>>(std::move(members));
  return t;
}

Type Type::enumeration(std::vector<std::string> variants) {
  Type t;
  t.kind_ = Kind::Enum;
  t.variants_ = std::move(variants);
  return t;
}

Type::Type(const Type& other)
    : kind_(other.kind_),
      inner_(other.inner_ ? std::make_unique<Type>(*other.inner_) : nullptr),
      members_(other.members_ ? std::make_unique<std::vector<FieldDef>>(*other.members_) : nullptr),
      variants_(other.variants_) {}

Type& Type::operator=(const Type& other) {
  if (this != &other) {
    Type copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Type::~Type() = default;

bool Type::operator==(const Type& other) const {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case Kind::Optional:
    case Kind::List:
      return *inner_ == *other.inner_;
    case Kind::Object:
      // FieldDef equality: path, then type, then the constraint list in order.
      return *members_ == *other.members_;
    case Kind::Enum:
      return variants_ == other.variants_;
    default:
      return true;
  }
}

const char* debug(IndexKind kind) {
  switch (kind) {
    case IndexKind::Unique:
      return "Unique";
    case IndexKind::NonUnique:
      return "NonUnique";
  }
  return "NonUnique";
}

const FieldDef* find_top_level_field(const std::vector<FieldDef>& fields, std::string_view name) {
  for (const FieldDef& def : fields) {
    if (!def.path.is_top_level()) continue;
    const std::string_view field = def.path.first();
    // Field names mostly differ in length or first byte, which settles it without a call.
    if (field.size() != name.size() || (!name.empty() && field[0] != name[0])) continue;
    if (field == name) return &def;
  }
  return nullptr;
}

}  // namespace quarn
