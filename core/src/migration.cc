// Classification of schema changes. Pure comparisons over the caller's definitions.
#include "migration.h"

#include <cmath>
#include <string>
#include <unordered_map>

namespace quarn {
namespace {

// `["address", "city"]`: the segments as debug strings, without the FieldPath prefix.
std::string path_list(const FieldPath& path) { return debug_string_list(path.segments()); }

// IEEE equality, except that two NaN bounds match: a NaN bound rejects no value whatever its
// bits, so an unchanged definition carrying one must not read as a changed constraint.
bool same_bound(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool same_constraint(const Constraint& a, const Constraint& b) {
  if (const auto* x = a.get_if<Constraint::MinF64>()) {
    const auto* y = b.get_if<Constraint::MinF64>();
    return y != nullptr && same_bound(x->value, y->value);
  }
  if (const auto* x = a.get_if<Constraint::MaxF64>()) {
    const auto* y = b.get_if<Constraint::MaxF64>();
    return y != nullptr && same_bound(x->value, y->value);
  }
  return a == b;
}

bool same_constraints(const std::vector<Constraint>& a, const std::vector<Constraint>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_constraint(a[i], b[i])) return false;
  }
  return true;
}

// Structural type equality with the constraint rule above for object members.
bool same_type(const Type& a, const Type& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Type::Kind::Optional:
    case Type::Kind::List:
      return same_type(a.inner(), b.inner());
    case Type::Kind::Object: {
      const std::vector<FieldDef>& x = a.members();
      const std::vector<FieldDef>& y = b.members();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!(x[i].path == y[i].path) || !same_type(x[i].type, y[i].type) ||
            !same_constraints(x[i].constraints, y[i].constraints)) {
          return false;
        }
      }
      return true;
    }
    case Type::Kind::Enum:
      return a.variants() == b.variants();
    default:
      return true;
  }
}

// Every old variant still exists; new variants and a new order are fine.
bool keeps_variants(const Type& old_type, const Type& new_type) {
  for (const std::string& v : old_type.variants()) {
    bool found = false;
    for (const std::string& w : new_type.variants()) {
      if (v == w) {
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

// Definitions by key, the later of two with one key winning. `visit` lists the winners in the
// order they appear, which fixes the order findings are looked for.
template <class Def, class Key, class Hash>
struct Table {
  std::unordered_map<Key, const Def*, Hash> by_key;
  std::vector<const Def*> visit;

  template <class KeyOf>
  Table(const std::vector<Def>& defs, KeyOf key_of) {
    for (const Def& d : defs) by_key.insert_or_assign(key_of(d), &d);
    for (const Def& d : defs) {
      if (by_key.at(key_of(d)) == &d) visit.push_back(&d);
    }
  }

  const Def* find(const Key& key) const {
    auto it = by_key.find(key);
    return it == by_key.end() ? nullptr : it->second;
  }
};

using FieldTable = Table<FieldDef, FieldPath, FieldPathHash>;
using IndexTable = Table<IndexDef, std::string, std::hash<std::string>>;

const FieldPath& field_key(const FieldDef& d) { return d.path; }
const std::string& index_key(const IndexDef& d) { return d.name; }

MigrationPlan breaking(std::string reason) {
  return MigrationPlan{SchemaChange::Breaking{std::move(reason)}, {}};
}

// The finding carries the kind of work it asks for, so no caller reads it off the reason.
MigrationPlan needs_migration(std::string reason, MigrationStep step) {
  MigrationPlan plan{SchemaChange::NeedsMigration{std::move(reason)}, {}};
  plan.steps.push_back(std::move(step));
  return plan;
}

}  // namespace

const std::string* SchemaChange::reason() const {
  if (const auto* m = std::get_if<NeedsMigration>(&value_)) return &m->reason;
  if (const auto* b = std::get_if<Breaking>(&value_)) return &b->reason;
  return nullptr;
}

MigrationPlan plan_schema_update(const std::vector<FieldDef>& old_fields,
                                 const std::vector<IndexDef>& old_indexes,
                                 const std::vector<FieldDef>& new_fields,
                                 const std::vector<IndexDef>& new_indexes) {
  const FieldTable old_f(old_fields, field_key);
  const FieldTable new_f(new_fields, field_key);
  const IndexTable old_i(old_indexes, index_key);
  const IndexTable new_i(new_indexes, index_key);

  for (const FieldDef* old_def : old_f.visit) {
    const FieldDef* new_def = new_f.find(old_def->path);
    if (new_def == nullptr) {
      return breaking("field removed: " + path_list(old_def->path));
    }
    if (!same_constraints(old_def->constraints, new_def->constraints)) {
      return breaking("constraints changed for field " + path_list(old_def->path));
    }
    const bool both_enums =
        old_def->type.kind() == Type::Kind::Enum && new_def->type.kind() == Type::Kind::Enum;
    const bool compatible = both_enums ? keeps_variants(old_def->type, new_def->type)
                                       : same_type(old_def->type, new_def->type);
    if (!compatible) {
      return breaking("type changed for field " + path_list(old_def->path));
    }
  }

  for (const FieldDef* new_def : new_f.visit) {
    if (old_f.find(new_def->path) != nullptr) continue;
    // Rows already stored lack the field; nested and optional fields need no value.
    if (new_def->path.is_top_level() && new_def->type.kind() != Type::Kind::Optional) {
      std::string reason = "new required field " + path_list(new_def->path) + " needs backfill";
      MigrationStep step = MigrationStep::BackfillTopLevelField{reason};
      return needs_migration(std::move(reason), std::move(step));
    }
  }

  for (const IndexDef* old_def : old_i.visit) {
    const IndexDef* new_def = new_i.find(old_def->name);
    if (new_def == nullptr) continue;
    if (new_def->kind != old_def->kind || !(new_def->path == old_def->path)) {
      return breaking("index changed: " + debug_string(old_def->name));
    }
  }

  for (const IndexDef* new_def : new_i.visit) {
    if (old_i.find(new_def->name) != nullptr) continue;
    // Existing rows may already hold duplicate keys.
    if (new_def->kind == IndexKind::Unique) {
      return needs_migration(
          "new unique index " + debug_string(new_def->name) + " needs rebuild/validation",
          MigrationStep::RebuildIndexes{});
    }
  }

  return MigrationPlan{SchemaChange::Safe{}, {}};
}

SchemaChange classify_schema_update(const std::vector<FieldDef>& old_fields,
                                    const std::vector<IndexDef>& old_indexes,
                                    const std::vector<FieldDef>& new_fields,
                                    const std::vector<IndexDef>& new_indexes) {
  return plan_schema_update(old_fields, old_indexes, new_fields, new_indexes).change;
}

}  // namespace quarn
