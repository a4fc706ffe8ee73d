// Classification of a schema change (safe, needs migration, breaking) and the shape of the
// migration plan built from it.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "error.h"
#include "schema.h"

namespace quarn {

// What moving to a proposed schema version would mean for existing rows and indexes.
class SchemaChange {
 public:
  struct Safe {
    bool operator==(const Safe&) const = default;
  };
  struct NeedsMigration {
    std::string reason;
    bool operator==(const NeedsMigration&) const = default;
  };
  struct Breaking {
    std::string reason;
    bool operator==(const Breaking&) const = default;
  };
  using Variant = std::variant<Safe, NeedsMigration, Breaking>;

  SchemaChange() = default;
  template <AlternativeOf<Variant> A>
  SchemaChange(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const { return value_; }
  template <class A>
  bool is() const {
    return std::holds_alternative<A>(value_);
  }
  // The reason of NeedsMigration or Breaking; null for Safe.
  const std::string* reason() const;

  bool operator==(const SchemaChange&) const = default;

 private:
  Variant value_;
};

// One piece of work a change that needs migration asks for.
class MigrationStep {
 public:
  struct RebuildIndexes {
    bool operator==(const RebuildIndexes&) const = default;
  };
  // Carries the whole reason of the change that asked for it.
  struct BackfillTopLevelField {
    std::string reason;
    bool operator==(const BackfillTopLevelField&) const = default;
  };
  using Variant = std::variant<RebuildIndexes, BackfillTopLevelField>;

  template <AlternativeOf<Variant> A>
  MigrationStep(A&& alternative) : value_(std::forward<A>(alternative)) {}

  const Variant& value() const { return value_; }
  template <class A>
  bool is() const {
    return std::holds_alternative<A>(value_);
  }

  bool operator==(const MigrationStep&) const = default;

 private:
  Variant value_;
};

// A classified change and its steps; steps is empty unless the change needs migration.
struct MigrationPlan {
  SchemaChange change;
  std::vector<MigrationStep> steps;

  bool operator==(const MigrationPlan&) const = default;
};

// Compares the proposed definitions with the current ones; never fails. Fields are keyed by
// their whole path, indexes by name (a repeated key keeps its later definition). The first
// finding wins, checked in this order: old fields (removed, constraints changed, type changed;
// an enum may gain and reorder variants), new required top-level fields (needs migration), old
// indexes whose kind or path changed (breaking), new unique indexes (needs migration). Within a
// phase entries are visited in definition order, so the reason is deterministic.
SchemaChange classify_schema_update(const std::vector<FieldDef>& old_fields,
                                    const std::vector<IndexDef>& old_indexes,
                                    const std::vector<FieldDef>& new_fields,
                                    const std::vector<IndexDef>& new_indexes);

// classify_schema_update with the step its finding asks for: a new required top-level field
// asks for BackfillTopLevelField (with the whole reason), a new unique index for RebuildIndexes.
MigrationPlan plan_schema_update(const std::vector<FieldDef>& old_fields,
                                 const std::vector<IndexDef>& old_indexes,
                                 const std::vector<FieldDef>& new_fields,
                                 const std::vector<IndexDef>& new_indexes);

}  // namespace quarn
