// The engine database behind a Python Database object: file-backed or in-memory, guarded by
// one mutex that stays poisoned once a call aborted while holding it.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "db/database.h"

namespace quarn::py {

// One engine database of either store; each operation forwards to whichever it holds.
class InnerDb {
 public:
  explicit InnerDb(Database<FileStore> db) : db_(std::move(db)) {}
  explicit InnerDb(Database<VecStore> db) : db_(std::move(db)) {}
  InnerDb(const InnerDb&) = delete;
  InnerDb& operator=(const InnerDb&) = delete;
  InnerDb(InnerDb&&) noexcept = default;
  InnerDb& operator=(InnerDb&&) noexcept = default;

  bool is_file() const { return std::holds_alternative<Database<FileStore>>(db_); }

  // The text given to open, or ":memory:".
  std::string path_display() const;
  Result<std::uint32_t> collection_id_named(std::string_view name) const;
  // The staged catalog while a transaction is open, else the committed one.
  const Catalog& catalog() const;

  // A copy of the stored row's image (see record/packed_row.h), so that it can be converted
  // without the mutex.
  Result<std::optional<Bytes>> get_image(std::uint32_t collection_id, const ScalarValue& pk) const;
  Status insert(std::uint32_t collection_id, Row row);
  Status delete_row(std::uint32_t collection_id, const ScalarValue& pk);

  Status begin_transaction();
  Status commit_transaction();
  void rollback_transaction();

  Result<std::pair<std::uint32_t, std::uint32_t>> register_collection_with_indexes(
      std::string_view name, std::vector<FieldDef> fields, std::vector<IndexDef> indexes,
      std::string_view primary_field);
  Result<std::uint32_t> register_schema_version_with_indexes(std::uint32_t collection_id,
                                                             std::vector<FieldDef> fields,
                                                             std::vector<IndexDef> indexes,
                                                             bool force);
  Result<MigrationPlan> plan_schema_version_with_indexes(
      std::uint32_t collection_id, const std::vector<FieldDef>& fields,
      const std::vector<IndexDef>& indexes) const;
  Status backfill_top_level_field_with_value(std::uint32_t collection_id, std::string_view field,
                                             RowValue value);
  Status rebuild_indexes_for_collection(std::uint32_t collection_id);

  // Operations only one variant has: nothing for the other, which the caller refuses.
  std::optional<Bytes> snapshot_bytes() const;
  std::optional<Status> compact_to(const std::string& dest_path);
  std::optional<Status> compact_in_place();

  // The engine handle itself, for readers of its state such as queries.
  template <class F>
  decltype(auto) visit(F&& f) {
    return std::visit(std::forward<F>(f), db_);
  }
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit(std::forward<F>(f), db_);
  }

 private:
  std::variant<Database<FileStore>, Database<VecStore>> db_;
};

class InnerMutex;

// Holds the mutex for one engine call. Released while a C++ exception that was not in flight
// when it was taken unwinds through it: that poisons the mutex for good.
class InnerGuard {
 public:
  InnerGuard(const InnerGuard&) = delete;
  InnerGuard& operator=(const InnerGuard&) = delete;
  ~InnerGuard();

  InnerDb& operator*() const;
  InnerDb* operator->() const;

 private:
  friend class InnerMutex;
  InnerGuard(InnerMutex& owner, std::unique_lock<std::mutex> lock);

  InnerMutex& owner_;
  std::unique_lock<std::mutex> lock_;
  int exceptions_at_entry_;
};

class InnerMutex {
 public:
  explicit InnerMutex(InnerDb inner) : inner_(std::move(inner)) {}
  InnerMutex(const InnerMutex&) = delete;
  InnerMutex& operator=(const InnerMutex&) = delete;

  // Takes the mutex. Poisoned: releases it again and raises RuntimeError
  // "database lock poisoned: poisoned lock: another task failed inside".
  InnerGuard lock();
  bool poisoned() const { return poisoned_; }

 private:
  friend class InnerGuard;
  InnerDb inner_;
  std::mutex mutex_;
  bool poisoned_ = false;
};

}  // namespace quarn::py
