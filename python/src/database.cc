// Database: constructors, whole-database methods, and the row, schema and transaction methods.
// Each method converts its arguments first (caller code may run), then takes the mutex for the
// engine call, and makes Python objects of the result only after releasing it.
#include "database.h"

#include <algorithm>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "args.h"
#include "errors.h"
#include "fields_json.h"
#include "query.h"
#include "row_values.h"
#include "transaction.h"

namespace quarn::py {
namespace {

nb::object new_database(InnerDb inner) { return new_instance<PyDatabase>(std::move(inner)); }

template <class T>
T json_or_raise(JsonResult<T>&& result) {
  if (auto* message = std::get_if<std::string>(&result)) raise_value_error(*message);
  return std::move(std::get<T>(result));
}

std::vector<IndexDef> indexes_or_empty(const std::optional<std::string>& indexes_json,
                                       const std::vector<FieldDef>& fields) {
  if (!indexes_json || trim_white_space(*indexes_json).empty()) return {};
  return json_or_raise(indexes_from_json(*indexes_json, fields));
}

ScalarValue primary_key_from_py(const CollectionInfo& info, nb::handle pk) {
  if (!info.primary_field) raise_value_error("collection has no primary key");
  const FieldDef* field = find_top_level_field(info.fields, *info.primary_field);
  if (field == nullptr) raise_value_error("primary field not in schema");
  return scalar_from_py(pk, field->type);
}

nb::object plan_to_dict(const MigrationPlan& plan) {
  nb::dict out;
  out["change"] =
      nb::str(std::visit(Overloaded{
                             [](const SchemaChange::Safe&) { return "safe"; },
                             [](const SchemaChange::NeedsMigration&) { return "needs_migration"; },
                             [](const SchemaChange::Breaking&) { return "breaking"; },
                         },
                         plan.change.value()));
  if (const std::string* reason = plan.change.reason()) {
    out["reason"] = nb::str(reason->data(), reason->size());
  }
  nb::list steps;
  for (const MigrationStep& step : plan.steps) {
    std::visit(Overloaded{
                   [&](const MigrationStep::RebuildIndexes&) { steps.append("rebuild_indexes"); },
                   [&](const MigrationStep::BackfillTopLevelField& backfill) {
                     const std::string text = "backfill_top_level_field:" + backfill.reason;
                     steps.append(nb::str(text.data(), text.size()));
                   },
               },
               step.value());
  }
  out["steps"] = steps;
  return out;
}

// Static constructors.

constexpr Signature kOpen{"Database.open", {"path"}, 1, 1};
nb::object open(nb::handle, const BoundArgs& a) {
  const std::string path = str_arg("path", a[0]);
  return new_database(InnerDb(unwrap(Database<FileStore>::open(path))));
}

constexpr Signature kOpenInMemory{"Database.open_in_memory", {}, 0, 0};
nb::object open_in_memory(nb::handle, const BoundArgs&) {
  return new_database(InnerDb(unwrap(Database<VecStore>::open_in_memory())));
}

constexpr Signature kOpenSnapshotBytes{"Database.open_snapshot_bytes", {"data"}, 1, 1};
nb::object open_snapshot_bytes(nb::handle, const BoundArgs& a) {
  Bytes data = bytes_arg("data", a[0]);
  return new_database(InnerDb(unwrap(Database<VecStore>::from_snapshot_bytes(std::move(data)))));
}

// Whole-database methods.

constexpr Signature kPath{"Database.path", {}, 0, 0};
nb::object path(nb::handle self, const BoundArgs&) {
  const std::string text =
      with_inner(database_from(self), [](InnerDb& inner) { return inner.path_display(); });
  return nb::str(text.data(), text.size());
}

constexpr Signature kCollectionNames{"Database.collection_names", {}, 0, 0};
nb::object collection_names(nb::handle self, const BoundArgs&) {
  const std::vector<std::string> names = with_inner(
      database_from(self), [](InnerDb& inner) { return inner.catalog().collection_names(); });
  nb::list out;
  for (const std::string& name : names) out.append(nb::str(name.data(), name.size()));
  return out;
}

constexpr Signature kCollection{"Database.collection", {"name"}, 1, 1};
nb::object collection(nb::handle self, const BoundArgs& a) {
  std::string name = str_arg("name", a[0]);
  static_cast<void>(collection_info(database_from(self), name));
  return new_collection(self, std::move(name));
}

constexpr Signature kSnapshotBytes{"Database.snapshot_bytes", {}, 0, 0};
nb::object snapshot_bytes(nb::handle self, const BoundArgs&) {
  const std::optional<Bytes> image =
      with_inner(database_from(self), [](InnerDb& inner) { return inner.snapshot_bytes(); });
  if (!image) raise_value_error("snapshot_bytes is only supported for in-memory databases");
  return nb::bytes(image->data(), image->size());
}

constexpr Signature kCompactTo{"Database.compact_to", {"dest_path"}, 1, 1};
nb::object compact_to(nb::handle self, const BoundArgs& a) {
  const std::string dest = str_arg("dest_path", a[0]);
  const std::optional<Status> status =
      with_inner(database_from(self), [&](InnerDb& inner) { return inner.compact_to(dest); });
  if (!status) raise_value_error("compact_to is only supported for file-backed databases");
  if (!status->ok()) raise_db_error_as_value_error(status->error());
  return nb::none();
}

constexpr Signature kCompact{"Database.compact", {}, 0, 0};
nb::object compact(nb::handle self, const BoundArgs&) {
  const std::optional<Status> status =
      with_inner(database_from(self), [](InnerDb& inner) { return inner.compact_in_place(); });
  if (!status) raise_value_error("compact_in_place is only supported for file-backed databases");
  if (!status->ok()) raise_db_error_as_value_error(status->error());
  return nb::none();
}

// Row methods: definition copy under the mutex, conversion without it, engine call under it.

constexpr Signature kGet{"Database.get", {"collection_name", "pk"}, 2, 2};
nb::object get(nb::handle self, const BoundArgs& a) {
  const std::string name = str_arg("collection_name", a[0]);
  PyDatabase& db = database_from(self);
  const ScalarValue pk = primary_key_from_py(*collection_info(db, name), a[1]);
  Result<std::optional<Bytes>> found =
      with_inner(db, [&](InnerDb& inner) -> Result<std::optional<Bytes>> {
        QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(name));
        return inner.get_image(id, pk);
      });
  const std::optional<Bytes> image = unwrap(std::move(found));
  return image ? row_to_dict(RowView(image->data())) : nb::none();
}

constexpr Signature kDelete{"Database.delete", {"collection_name", "pk"}, 2, 2};
nb::object delete_row(nb::handle self, const BoundArgs& a) {
  const std::string name = str_arg("collection_name", a[0]);
  PyDatabase& db = database_from(self);
  const ScalarValue pk = primary_key_from_py(*collection_info(db, name), a[1]);
  unwrap(with_inner(db, [&](InnerDb& inner) -> Status {
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(name));
    return inner.delete_row(id, pk);
  }));
  return nb::none();
}

constexpr Signature kInsert{"Database.insert", {"collection_name", "row"}, 2, 2};
nb::object insert(nb::handle self, const BoundArgs& a) {
  const std::string name = str_arg("collection_name", a[0]);
  const nb::handle dict = dict_arg("row", a[1]);
  PyDatabase& db = database_from(self);
  Row row = row_from_dict(dict, *collection_info(db, name));
  unwrap(with_inner(db, [&](InnerDb& inner) -> Status {
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(name));
    return inner.insert(id, std::move(row));
  }));
  return nb::none();
}

constexpr Signature kBackfill{
    "Database.backfill_top_level_field", {"collection_name", "field", "value"}, 3, 3};
nb::object backfill_top_level_field(nb::handle self, const BoundArgs& a) {
  const std::string name = str_arg("collection_name", a[0]);
  const std::string field = str_arg("field", a[1]);
  PyDatabase& db = database_from(self);
  const std::shared_ptr<const CollectionInfo> info = collection_info(db, name);
  const FieldDef* def = find_top_level_field(info->fields, field);
  if (def == nullptr) raise_value_error("unknown field " + debug_string(field));
  RowValue value = value_from_py(a[2], def->type);
  unwrap(with_inner(db, [&](InnerDb& inner) -> Status {
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(name));
    return inner.backfill_top_level_field_with_value(id, field, std::move(value));
  }));
  return nb::none();
}

constexpr Signature kRebuildIndexes{"Database.rebuild_indexes", {"collection_name"}, 1, 1};
nb::object rebuild_indexes(nb::handle self, const BoundArgs& a) {
  const std::string name = str_arg("collection_name", a[0]);
  unwrap(with_inner(database_from(self), [&](InnerDb& inner) -> Status {
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(name));
    return inner.rebuild_indexes_for_collection(id);
  }));
  return nb::none();
}

// Schema methods: both JSON texts are checked before the mutex is taken.

constexpr Signature kRegisterCollection{
    "Database.register_collection", {"name", "fields_json", "primary_field", "indexes_json"}, 4, 3};
nb::object register_collection(nb::handle self, const BoundArgs& a) {
  const std::string name = str_arg("name", a[0]);
  const std::string fields_json = str_arg("fields_json", a[1]);
  const std::string primary_field = str_arg("primary_field", a[2]);
  const std::optional<std::string> indexes_json = optional_str_arg("indexes_json", a[3]);
  std::vector<FieldDef> fields = json_or_raise(fields_from_json(fields_json));
  std::vector<IndexDef> indexes = indexes_or_empty(indexes_json, fields);
  const auto [id, version] = unwrap(with_inner(database_from(self), [&](InnerDb& inner) {
    return inner.register_collection_with_indexes(name, std::move(fields), std::move(indexes),
                                                  primary_field);
  }));
  return nb::make_tuple(id, version);
}

constexpr Signature kRegisterSchemaVersion{
    "Database.register_schema_version",
    {"collection_name", "fields_json", "indexes_json", "force"},
    4,
    2};
nb::object register_schema_version(nb::handle self, const BoundArgs& a) {
  const std::string name = str_arg("collection_name", a[0]);
  const std::string fields_json = str_arg("fields_json", a[1]);
  const std::optional<std::string> indexes_json = optional_str_arg("indexes_json", a[2]);
  const bool force = a.given(3) && bool_arg("force", a[3]);
  std::vector<FieldDef> fields = json_or_raise(fields_from_json(fields_json));
  std::vector<IndexDef> indexes = indexes_or_empty(indexes_json, fields);
  const std::uint32_t version =
      unwrap(with_inner(database_from(self), [&](InnerDb& inner) -> Result<std::uint32_t> {
        QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(name));
        return inner.register_schema_version_with_indexes(id, std::move(fields), std::move(indexes),
                                                          force);
      }));
  return nb::int_(version);
}

constexpr Signature kPlanSchemaVersion{
    "Database.plan_schema_version", {"collection_name", "fields_json", "indexes_json"}, 3, 2};
nb::object plan_schema_version(nb::handle self, const BoundArgs& a) {
  const std::string name = str_arg("collection_name", a[0]);
  const std::string fields_json = str_arg("fields_json", a[1]);
  const std::optional<std::string> indexes_json = optional_str_arg("indexes_json", a[2]);
  const std::vector<FieldDef> fields = json_or_raise(fields_from_json(fields_json));
  const std::vector<IndexDef> indexes = indexes_or_empty(indexes_json, fields);
  const MigrationPlan plan =
      unwrap(with_inner(database_from(self), [&](InnerDb& inner) -> Result<MigrationPlan> {
        QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(name));
        return inner.plan_schema_version_with_indexes(id, fields, indexes);
      }));
  return plan_to_dict(plan);
}

constexpr Signature kTransaction{"Database.transaction", {}, 0, 0};
nb::object transaction(nb::handle self, const BoundArgs&) { return new_transaction(self); }

// Table order is the order the class lists its methods in.
PyMethodDef kStaticMethods[] = {
    method_def<kOpen, open>(
        "open", "open(path)\n--\n\nOpens the database file at path, creating it if missing."),
    method_def<kOpenInMemory, open_in_memory>(
        "open_in_memory", "open_in_memory()\n--\n\nA new, empty database held in memory."),
    method_def<kOpenSnapshotBytes, open_snapshot_bytes>(
        "open_snapshot_bytes",
        "open_snapshot_bytes(data)\n--\n\nAn in-memory database opened from a copy of an image "
        "(bytes)."),
};

PyMethodDef kMethods[] = {
    method_def<kPath, path>("path", "path($self)\n--\n\nThe path given to open, or \":memory:\"."),
    method_def<kRegisterCollection, register_collection>(
        "register_collection",
        "register_collection($self, name, fields_json, primary_field, indexes_json=None)\n--\n\n"
        "Registers a collection from JSON definitions; returns (collection id, schema version)."),
    method_def<kCollectionNames, collection_names>(
        "collection_names",
        "collection_names($self)\n--\n\nEvery collection name, in ascending byte order."),
    method_def<kCollection, collection>(
        "collection", "collection($self, name)\n--\n\nA query builder over the named collection."),
    method_def<kInsert, insert>(
        "insert", "insert($self, collection_name, row)\n--\n\nInserts or replaces a row (a dict)."),
    method_def<kDelete, delete_row>(
        "delete",
        "delete($self, collection_name, pk)\n--\n\nDeletes the row with that key, if any."),
    method_def<kRegisterSchemaVersion, register_schema_version>(
        "register_schema_version",
        "register_schema_version($self, collection_name, fields_json, indexes_json=None, "
        "force=False)\n--\n\nRegisters the next schema version; returns its number."),
    method_def<kPlanSchemaVersion, plan_schema_version>(
        "plan_schema_version",
        "plan_schema_version($self, collection_name, fields_json, indexes_json=None)\n--\n\n"
        "Classifies a schema change and lists the steps it needs; writes nothing."),
    method_def<kBackfill, backfill_top_level_field>(
        "backfill_top_level_field",
        "backfill_top_level_field($self, collection_name, field, value)\n--\n\n"
        "Sets a top-level field of every row to value."),
    method_def<kRebuildIndexes, rebuild_indexes>(
        "rebuild_indexes",
        "rebuild_indexes($self, collection_name)\n--\n\nRebuilds the collection's indexes."),
    method_def<kGet, get>(
        "get", "get($self, collection_name, pk)\n--\n\nThe row with that key as a dict, or None."),
    method_def<kSnapshotBytes, snapshot_bytes>(
        "snapshot_bytes",
        "snapshot_bytes($self)\n--\n\nThe image of an in-memory database as bytes."),
    method_def<kCompactTo, compact_to>(
        "compact_to",
        "compact_to($self, dest_path)\n--\n\nWrites a compacted copy of the file to dest_path."),
    method_def<kCompact, compact>("compact",
                                  "compact($self)\n--\n\nCompacts the database file in place."),
    method_def<kTransaction, transaction>(
        "transaction",
        "transaction($self)\n--\n\nA context manager: the with block is one transaction."),
};

}  // namespace

PyDatabase& database_from(nb::handle object) { return *nb::inst_ptr<PyDatabase>(object); }

std::shared_ptr<const CollectionInfo> collection_info(PyDatabase& db, std::string_view name) {
  std::shared_ptr<const CollectionInfo> info;
  Status resolved = with_inner(db, [&](InnerDb& inner) -> Status {
    QUARN_ASSIGN_OR_RETURN(const std::uint32_t id, inner.collection_id_named(name));
    info = inner.catalog().get_shared(id);
    return Status();
  });
  unwrap(std::move(resolved));
  if (!info) raise_value_error("collection missing after resolve");
  return info;
}

void register_database_class(nb::module_& module) {
  nb::class_<PyDatabase> cls(
      module, "Database", nb::is_final(), nb::type_slots(kNoConstructorSlots),
      "An embedded, typed record database: one file, or an image in memory.");
  add_static_methods(cls, kStaticMethods);
  add_methods(cls, kMethods);
  finish_class(cls, "Database");
  add_to_module(module, "Database", cls);
}

}  // namespace quarn::py
