// The engine handle: one store and the state rebuilt from its log, and every operation on it.
// Written once for every store type: the db/*_impl.h headers hold the bodies, which the db/*.cc
// files instantiate for the engine's stores (store_instances.h) and the tests for their own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bytes.h"
#include "catalog/state.h"
#include "db/helpers.h"
#include "db/state/latest_rows.h"
#include "db/state/state_view.h"
#include "durable_file.h"
#include "file_format.h"
#include "index.h"
#include "migration.h"
#include "overlay.h"
#include "pager.h"
#include "record/packed_row.h"
#include "record/row_value.h"
#include "record/scalar.h"
#include "result.h"
#include "schema.h"
#include "segments/header.h"
#include "segments/writer.h"
#include "storage.h"

namespace quarn {

namespace testing {
struct DatabaseTestPeer;
struct DatabaseStatePeer;
}  // namespace testing

// The path an in-memory database reports.
inline constexpr const char* kMemoryPath = ":memory:";

// One segment a write makes: committed at once outside a transaction, else encoded into the
// open one's staged segments, which take the buffer of a payload of kAppendRunBytes or more
// rather than copy it. A smaller payload is copied and its buffer left as it was, to be reused.
struct PendingSegment {
  SegmentType type;
  Bytes& payload;
};

// An open transaction: a copy of the committed catalog and overlays of its own changes over the
// committed rows and indexes, the segments to write (already encoded), the id.
struct TxnStaging {
  Catalog catalog;
  LatestRows latest;
  IndexState indexes;
  EncodedSegments pending;
  std::uint64_t txn_id = 0;
};
static_assert(OverlayState<LatestRows> && OverlayState<IndexState>);

template <Store S = FileStore>
class Database {
 public:
  // Opening. Each runs the whole open sequence: create an empty image, rewrite a header-only
  // 0.2 image, check header and superblocks, cut a torn or unfinished tail, load a checkpoint
  // or replay the log.

  // Opens or creates the file at path (0666 before the umask, close-on-exec, never truncated).
  // A missing file, or an empty one, becomes a new image, written so that a crash leaves no
  // half-made file behind; an empty file keeps its inode. Anything at path other than a regular
  // file (or a symbolic link to one) is refused before anything is written. The path's directory
  // is resolved here, once: later steps act on this file whatever the working directory becomes.
  // Other handles may have the file open: every change the open makes to it (a new image, the
  // 0.2 rewrite, the cut of a torn tail, the removal of stale temporaries) is made under the
  // file's write lock and only while the file is still as the open read it. A torn tail is
  // left in the file, and out of the state, while another handle holds the lock: it may be that
  // handle's commit in flight. Errors: file_busy_error() when a new image or the 0.2 rewrite
  // cannot take the lock within FileWriteLock::kWriteWait.
  static Result<Database> open(const std::string& path) requires std::same_as<S, FileStore>;
  // open for a reader that never writes the file: a missing or empty file still gets a new image
  // (under the lock, as open makes one), but a torn tail and a 0.2 header stay as they are, no
  // temporaries are removed, and every write is refused.
  static Result<Database> open_for_reading(
      const std::string& path) requires std::same_as<S, FileStore>;
  static Result<Database> open_with_store(std::string path, S store);
  static Result<Database> open_in_memory() requires std::same_as<S, VecStore>;
  static Result<Database> from_snapshot_bytes(Bytes bytes) requires std::same_as<S, VecStore>;

  // The image as a file would hold it; staged writes of an open transaction are not in it.
  Bytes snapshot_bytes() const requires std::same_as<S, VecStore>;
  Bytes into_snapshot_bytes() && requires std::same_as<S, VecStore>;

  // A move keeps an open transaction's overlays on the moved committed state.
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;

  // Rows. Outside a transaction each write is one framed transaction of its own, and memory
  // changes only once it is durable; inside one the write changes only the staged state.

  // Insert or replace by primary key.
  Status insert(std::uint32_t collection_id, Row row);
  // A copy of the latest row of that key, if any.
  Result<std::optional<Row>> get(std::uint32_t collection_id, const ScalarValue& pk) const;
  // get without decoding: a view of the stored row, valid until the state next changes.
  Result<std::optional<RowView>> get_view(std::uint32_t collection_id, const ScalarValue& pk) const;
  // Removes the row of that key; an absent key writes nothing. (`delete` is a keyword.)
  Status delete_row(std::uint32_t collection_id, const ScalarValue& pk);

  // Transactions: at most one per handle, no nesting.
  Status begin_transaction();
  // Writes the staged segments as one framed transaction and then installs the staged state.
  // The transaction is over whatever the outcome; with none open this succeeds doing nothing.
  Status commit_txn_staging();
  // Drops the staged state; nothing was written for it.
  void rollback_transaction() { txn_.reset(); }
  bool in_transaction() const { return txn_.has_value(); }

  // Collections and schema versions.
  Result<std::uint32_t> collection_id_named(std::string_view name) const;
  // Returns (collection id, schema version).
  Result<std::pair<std::uint32_t, std::uint32_t>> register_collection_with_indexes(
      std::string_view name, std::vector<FieldDef> fields, std::vector<IndexDef> indexes,
      std::string_view primary_field);
  Result<MigrationPlan> plan_schema_version_with_indexes(
      std::uint32_t collection_id, const std::vector<FieldDef>& fields,
      const std::vector<IndexDef>& indexes) const;
  // Refuses a change that needs migration or breaks stored rows.
  Result<std::uint32_t> register_schema_version_with_indexes(std::uint32_t collection_id,
                                                             std::vector<FieldDef> fields,
                                                             std::vector<IndexDef> indexes);
  Result<std::uint32_t> register_schema_version_with_indexes_force(std::uint32_t collection_id,
                                                                   std::vector<FieldDef> fields,
                                                                   std::vector<IndexDef> indexes);

  // Maintenance, each one transaction of its own (so both fail inside a transaction).
  Status backfill_top_level_field_with_value(std::uint32_t collection_id, std::string_view field,
                                             RowValue value);
  Status rebuild_indexes_for_collection(std::uint32_t collection_id);

  // Compaction: a fresh image holding only the live state.
  Status compact_to(const std::string& dest_path) requires std::same_as<S, FileStore>;
  Status compact_in_place() requires std::same_as<S, FileStore>;

  // State. The working state is the staged one while a transaction is open. Readers such as
  // queries take a view; it is valid until the next write, commit, rollback or move.
  const Catalog& catalog() const { return txn_ ? txn_->catalog : catalog_; }
  StateView state() const { return StateView(catalog(), latest(), indexes()); }
  StateView committed_state() const { return StateView(catalog_, latest_, indexes_); }

  const std::string& path() const { return path_; }
  S& store() { return store_; }
  const S& store() const { return store_; }
  std::uint64_t data_start() const { return data_start_; }
  std::uint64_t last_txn_id() const { return last_txn_id_; }
  std::uint16_t format_minor() const { return format_minor_; }

 private:
  static Result<Database> open_file(const std::string& path,
                                    bool read_only) requires std::same_as<S, FileStore>;

  // Compaction takes the state of the image it rebuilt in memory.
  template <Store>
  friend class Database;
  friend struct testing::DatabaseTestPeer;
  friend struct testing::DatabaseStatePeer;

  // The working state's rows and indexes, as state() shows them.
  const LatestRows& latest() const { return txn_ ? txn_->latest : latest_; }
  const IndexState& indexes() const { return txn_ ? txn_->indexes : indexes_; }

  Database(std::string path, S store, Catalog catalog, LatestRows latest, IndexState indexes,
           std::uint16_t format_minor)
      : path_(std::move(path)),
        store_(std::move(store)),
        catalog_(std::move(catalog)),
        latest_(std::move(latest)),
        indexes_(std::move(indexes)),
        format_minor_(format_minor) {}

  // Raises the transaction counter by one, saturating, and returns the new value: the id of
  // a begin, or of a write committed outside a transaction.
  std::uint64_t next_txn_id();
  // Writes segments as one framed transaction with that id (commit_write_txn_v6). If it fails
  // part-way, the store is cut back to where the commit began and synced before the error is
  // returned; if that fails too, the handle refuses every later write until reopened.
  Status commit_segments(std::uint64_t txn_id, std::span<const SegmentView> segments);
  Status commit_segments(std::uint64_t txn_id, const EncodedSegments& segments);
  // commit_segments around commit(), which writes the transaction.
  template <class Commit>
  Status commit_segments_with(Commit commit);
  // The state a write changes: the staged one inside a transaction, else the committed one.
  struct WriteTarget {
    Catalog& catalog;
    LatestRows& latest;
    IndexState& indexes;
  };
  // One write. Inside a transaction its segments (moved out of the span) join the pending ones
  // and change(WriteTarget&) changes the staged state; else, once check_writable passed, they
  // are committed as a transaction of their own (commit_segments with the next id) and, once that
  // succeeded, change changes the committed state. change must not fail. Defined in db/write.h.
  template <class Change>
  Status stage_or_commit(std::span<PendingSegment> segments, Change change);
  // The planner of inserts into the collection under the working catalog, made anew when the
  // collection's definition is not the one planned for last. Errors: InsertPlanner::make's.
  Result<InsertPlanner*> insert_planner(std::uint32_t collection_id);
  // insert once the handle may write and the planner is there.
  Status insert_planned(InsertPlanner& planner, std::uint32_t collection_id, RowView row);
  // An i/o error once a failed commit could not be cut back (or the file was replaced under the
  // handle), or for a handle opened for reading; call before any write.
  Status check_writable() const;
  // For a file other handles may share: its write lock (waiting at most
  // FileWriteLock::kWriteWait), once the file is checked to be the one this handle last saw:
  // still at its path and file_end_ bytes long. Nothing for other stores. Errors:
  // file_busy_error(), file_changed_error(), the system's.
  Result<std::optional<FileWriteLock>> lock_file_for_write();
  // Runs write() as the file's one writer: under lock_file_for_write(), after which file_end_ is
  // where write() left the file. Other stores run it as it is. Defined in db/write_impl.h.
  template <class Write>
  Status write_exclusively(Write write);
  // ensure_header_v0_5 on the store, as the file's one writer when there is a header to rewrite.
  Status ensure_row_writes_header();
  // An image older than 0.6 whose transaction markers the current format would read otherwise
  // (an unfinished or aborted transaction holding data, a lone commit) is refused writes with an
  // i/o error naming compact(), before anything is written; call before any write. The log is
  // read once per handle.
  Status check_log_upgradable();

  // The move constructor and assignment (transaction.cc) name every member: add new ones there.
  std::string path_;
  S store_;
  Catalog catalog_;
  LatestRows latest_;
  IndexState indexes_;
  std::optional<TxnStaging> txn_;
  std::uint64_t data_start_ = kDataStart;
  std::uint64_t last_txn_id_ = 0;
  std::uint16_t format_minor_ = kFormatMinor;
  // Set when a failed commit left bytes that could not be cut off, or when the file at the path
  // is no longer the handle's own; every later write fails.
  bool write_poisoned_ = false;
  // Set once check_log_upgradable found the unframed log safe to frame.
  bool unframed_log_checked_ = false;
  // The file's directory and name, resolved by open (absent for other stores).
  std::optional<FileLocation> location_;
  // Files: where the log this handle replayed or last wrote ends. A write goes ahead only while
  // the file still ends there; otherwise another handle has written it since.
  std::uint64_t file_end_ = 0;
  // Opened by open_for_reading: every write is refused.
  bool read_only_ = false;
  // The last collection inserts were planned for, kept so that a run of inserts into one
  // collection works out its definition once.
  std::optional<InsertPlanner> insert_planner_;
};

}  // namespace quarn
