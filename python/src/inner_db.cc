// Forwarding to the engine database of either store, and the poisoning mutex.
#include "inner_db.h"

#include <exception>

#include "errors.h"

namespace quarn::py {

std::string InnerDb::path_display() const {
  return visit([](const auto& db) { return db.path(); });
}

Result<std::uint32_t> InnerDb::collection_id_named(std::string_view name) const {
  return visit([&](const auto& db) { return db.collection_id_named(name); });
}

const Catalog& InnerDb::catalog() const {
  return visit([](const auto& db) -> const Catalog& { return db.catalog(); });
}

Result<std::optional<Bytes>> InnerDb::get_image(std::uint32_t collection_id,
                                                const ScalarValue& pk) const {
  return visit([&](const auto& db) -> Result<std::optional<Bytes>> {
    QUARN_ASSIGN_OR_RETURN(const std::optional<RowView> row, db.get_view(collection_id, pk));
    if (!row) return std::optional<Bytes>();
    const ByteSpan image = row->image();
    return std::optional<Bytes>(Bytes(image.begin(), image.end()));
  });
}

Status InnerDb::insert(std::uint32_t collection_id, Row row) {
  return visit([&](auto& db) { return db.insert(collection_id, std::move(row)); });
}

Status InnerDb::delete_row(std::uint32_t collection_id, const ScalarValue& pk) {
  return visit([&](auto& db) { return db.delete_row(collection_id, pk); });
}

Status InnerDb::begin_transaction() {
  return visit([](auto& db) { return db.begin_transaction(); });
}

Status InnerDb::commit_transaction() {
  return visit([](auto& db) { return db.commit_txn_staging(); });
}

void InnerDb::rollback_transaction() {
  visit([](auto& db) { db.rollback_transaction(); });
}

Result<std::pair<std::uint32_t, std::uint32_t>> InnerDb::register_collection_with_indexes(
    std::string_view name, std::vector<FieldDef> fields, std::vector<IndexDef> indexes,
    std::string_view primary_field) {
  return visit([&](auto& db) {
    return db.register_collection_with_indexes(name, std::move(fields), std::move(indexes),
                                               primary_field);
  });
}

Result<std::uint32_t> InnerDb::register_schema_version_with_indexes(std::uint32_t collection_id,
                                                                    std::vector<FieldDef> fields,
                                                                    std::vector<IndexDef> indexes,
                                                                    bool force) {
  return visit([&](auto& db) {
    return force ? db.register_schema_version_with_indexes_force(collection_id, std::move(fields),
                                                                 std::move(indexes))
                 : db.register_schema_version_with_indexes(collection_id, std::move(fields),
                                                           std::move(indexes));
  });
}

Result<MigrationPlan> InnerDb::plan_schema_version_with_indexes(
    std::uint32_t collection_id, const std::vector<FieldDef>& fields,
    const std::vector<IndexDef>& indexes) const {
  return visit([&](const auto& db) {
    return db.plan_schema_version_with_indexes(collection_id, fields, indexes);
  });
}

Status InnerDb::backfill_top_level_field_with_value(std::uint32_t collection_id,
                                                    std::string_view field, RowValue value) {
  return visit([&](auto& db) {
    return db.backfill_top_level_field_with_value(collection_id, field, std::move(value));
  });
}

Status InnerDb::rebuild_indexes_for_collection(std::uint32_t collection_id) {
  return visit([&](auto& db) { return db.rebuild_indexes_for_collection(collection_id); });
}

std::optional<Bytes> InnerDb::snapshot_bytes() const {
  if (const auto* memory = std::get_if<Database<VecStore>>(&db_)) return memory->snapshot_bytes();
  return std::nullopt;
}

std::optional<Status> InnerDb::compact_to(const std::string& dest_path) {
  if (auto* file = std::get_if<Database<FileStore>>(&db_)) return file->compact_to(dest_path);
  return std::nullopt;
}

std::optional<Status> InnerDb::compact_in_place() {
  if (auto* file = std::get_if<Database<FileStore>>(&db_)) return file->compact_in_place();
  return std::nullopt;
}

InnerGuard::InnerGuard(InnerMutex& owner, std::unique_lock<std::mutex> lock)
    : owner_(owner), lock_(std::move(lock)), exceptions_at_entry_(std::uncaught_exceptions()) {}

InnerGuard::~InnerGuard() {
  // The engine state may be half-changed when a call aborts: nobody may use it again.
  if (std::uncaught_exceptions() > exceptions_at_entry_) owner_.poisoned_ = true;
}

InnerDb& InnerGuard::operator*() const { return owner_.inner_; }
InnerDb* InnerGuard::operator->() const { return &owner_.inner_; }

InnerGuard InnerMutex::lock() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (poisoned_) {
    lock.unlock();
    raise_runtime_error("database lock poisoned: poisoned lock: another task failed inside");
  }
  return InnerGuard(*this, std::move(lock));
}

}  // namespace quarn::py
