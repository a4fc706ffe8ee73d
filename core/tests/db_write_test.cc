// The commit path: framed transactions, format upgrades, and the handle's cut-back after a
// failed commit.
#include <array>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "db/database.h"
#include "db/write.h"
#include "durable_file.h"
#include "manifest.h"
#include "superblock.h"
#include "testing/database_peer.h"
#include "testing/db_state.h"
#include "testing/fault_store.h"
#include "testing/log_images.h"
#include "testing/matchers.h"
#include "testing/temp_dir.h"

namespace quarn {
namespace {

using testing::DatabaseTestPeer;
using testing::ErrorRenders;
using testing::FaultStore;
using testing::IsOk;
using testing::read_file;
using testing::TempDir;

FileHeader header_of(const Bytes& image) {
  return decode_header(ByteSpan(image).first(kFileHeaderSize)).value();
}

Bytes image_with_header(std::uint16_t minor, std::uint32_t header_len, std::uint64_t reserved) {
  Bytes image = testing::image_with_log(minor);
  Bytes header;
  encode_file_header(FileHeader{reserved, header_len, 0, minor}, header);
  std::copy(header.begin(), header.end(), image.begin());
  return image;
}

TEST(CommitWriteTxnTest, FirstCommitOnNewImageAppendsFramedTransactionAfterCreationManifest) {
  VecStore store(testing::image_with_log(6));
  std::uint16_t minor = 6;
  const Bytes payload(40, 0xAB);
  const std::array<SegmentView, 1> segments = {SegmentView{SegmentType::Record, payload}};
  ASSERT_OK(commit_write_txn_v6(store, kDataStart, minor, 7, segments));

  Bytes expected = testing::image_with_log(6);
  testing::append(expected, testing::marker(SegmentType::TxnBegin, 7));
  testing::append(expected, testing::segment(SegmentType::Record, payload));
  testing::append(expected, testing::marker(SegmentType::TxnCommit, 7));
  const std::uint64_t manifest_at = expected.size();
  testing::append(expected, testing::segment(SegmentType::Manifest,
                                             ManifestV0::encode(manifest_at, kManifestSegmentLen)));
  // One record of 40 bytes costs 56 + 72 + 56 + 50 bytes.
  ASSERT_EQ(expected.size(), 8274u + 234u);
  Superblock a;
  a.generation = 3;
  a.manifest_offset = manifest_at;
  a.manifest_len = 18;
  const Bytes slot_a = a.encode();
  std::copy(slot_a.begin(), slot_a.end(), expected.begin() + kSuperblockSlotAOffset);
  EXPECT_EQ(store.bytes(), expected);
}

TEST(CommitWriteTxnTest, EmptySegmentListWritesOnlyTheMarkers) {
  VecStore store(testing::image_with_log(6));
  std::uint16_t minor = 6;
  ASSERT_OK(commit_write_txn_v6(store, kDataStart, minor, 1, {}));
  EXPECT_EQ(store.bytes().size(), 8274u + 56 + 56 + 50);
}

TEST(CommitWriteTxnTest, Minor3ImageIsUpgradedStepByStepThenCommitted) {
  FaultStore store(image_with_header(3, 40, 0x1122334455667788));
  std::uint16_t minor = 3;
  ASSERT_OK(commit_write_txn_v6(store, kDataStart, minor, 1, {}));
  EXPECT_EQ(minor, 6);
  // Three synced header rewrites, then the sync in publish and the final one.
  EXPECT_EQ(store.syncs(), 5u);
  EXPECT_EQ(header_of(store.bytes()), (FileHeader{0x1122334455667788, 40, 0, 6}));

  const std::uint64_t writes = store.writes();
  ASSERT_OK(commit_write_txn_v6(store, kDataStart, minor, 2, {}));
  EXPECT_EQ(store.syncs(), 7u);
  // The framed transaction in one write, the manifest (two) and the superblock.
  EXPECT_EQ(store.writes() - writes, 4u);
}

TEST(CommitWriteTxnTest, EachUpgradeStepIsSyncedBeforeTheNext) {
  FaultStore store(testing::image_with_log(3));
  store.fail_sync_at(2);
  std::uint16_t minor = 3;
  EXPECT_THAT(commit_write_txn_v6(store, kDataStart, minor, 1, {}),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  // The second rewrite reached the header before its sync failed; the third never started.
  EXPECT_EQ(minor, 5);
  EXPECT_EQ(header_of(store.bytes()).minor, 5);
  EXPECT_EQ(store.bytes().size(), 8274u);
}

TEST(EnsureHeaderTest, Minor6ImageIsNotTouched) {
  FaultStore store(testing::image_with_log(6));
  std::uint16_t minor = 6;
  ASSERT_OK(ensure_header_v0_5(store, minor));
  EXPECT_EQ(store.reads(), 0u);
  EXPECT_EQ(store.mutations(), 0u);
}

TEST(EnsureHeaderTest, Minor4HeaderIsRewrittenAs5KeepingItsFields) {
  FaultStore store(image_with_header(4, 99, 5));
  std::uint16_t minor = 4;
  ASSERT_OK(ensure_header_v0_5(store, minor));
  EXPECT_EQ(minor, 5);
  EXPECT_EQ(header_of(store.bytes()), (FileHeader{5, 99, 0, 5}));
  EXPECT_EQ(store.syncs(), 1u);
  EXPECT_EQ(store.synced_bytes(), store.bytes());
}

TEST(EnsureHeaderTest, UndecodableHeaderOnDiskFailsTheUpgrade) {
  Bytes image = testing::image_with_log(4);
  image[0] = 'X';
  VecStore store(image);
  std::uint16_t minor = 4;
  EXPECT_THAT(
      ensure_header_v0_5(store, minor),
      ErrorRenders("format error: bad magic bytes: expected \"QDB0\", got [58, 44, 42, 30]"));
  EXPECT_EQ(minor, 4);
}

TEST(CommitWriteTxnTest, RejectedCommitMarkerLeavesAnUnfinishedTransactionThatReopenCuts) {
  const Bytes before = testing::image_with_log(6);
  FaultStore store(before);
  // The transaction's one write stops after the record: the commit marker never lands.
  const Bytes record = testing::user_record(1, "a");
  store.fail_write_at(1, FaultStore::eio(), 56 + 32 + record.size());
  std::uint16_t minor = 6;
  const std::array<SegmentView, 1> segments = {SegmentView{SegmentType::Record, record}};
  EXPECT_THAT(commit_write_txn_v6(store, kDataStart, minor, 1, segments),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  EXPECT_EQ(store.bytes().size(), before.size() + 56 + 32 + record.size());

  ASSERT_OK_AND_ASSIGN(Database<VecStore> db,
                       Database<VecStore>::from_snapshot_bytes(store.bytes()));
  EXPECT_EQ(db.snapshot_bytes(), before);
}

TEST(NextTxnIdTest, CountsUpFromZeroAndSaturates) {
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db, Database<VecStore>::open_in_memory());
  EXPECT_EQ(db.last_txn_id(), 0u);
  EXPECT_EQ(DatabaseTestPeer::next_txn_id(db), 1u);
  EXPECT_EQ(DatabaseTestPeer::next_txn_id(db), 2u);
  DatabaseTestPeer::set_last_txn_id(db, ~std::uint64_t{0});
  EXPECT_EQ(DatabaseTestPeer::next_txn_id(db), ~std::uint64_t{0});
}

// A handle over a fault store that has committed the users collection.
class CommitSegmentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Database<FaultStore>::open_with_store("db", FaultStore());
    ASSERT_OK(opened);
    db_.emplace(std::move(opened).value());
    ASSERT_OK(commit({SegmentType::Catalog, create}));
  }

  Status commit(SegmentView view) {
    const std::array<SegmentView, 1> segments = {view};
    return DatabaseTestPeer::commit(*db_, segments);
  }
  FaultStore& store() { return db_->store(); }
  // The rows the image holds when opened afresh.
  std::size_t rows_on_reopen() {
    auto reopened = Database<VecStore>::from_snapshot_bytes(store().bytes());
    EXPECT_THAT(reopened, IsOk());
    return reopened.ok() ? testing::latest_of(reopened.value()).size() : 0;
  }

  const Bytes create = testing::create_users();
  const Bytes row1 = testing::user_record(1, "a");
  const Bytes row2 = testing::user_record(2, "b");
  std::optional<Database<FaultStore>> db_;
};

TEST_F(CommitSegmentsTest, FailedCommitIsCutBackSoTheHandleCanCommitAgain) {
  const Bytes before = store().bytes();
  std::uint64_t steps = 0;
  {
    FaultStore probe(before);
    std::uint16_t minor = 6;
    const std::array<SegmentView, 1> segments = {SegmentView{SegmentType::Record, row1}};
    ASSERT_OK(commit_write_txn_v6(probe, kDataStart, minor, 1, segments));
    steps = probe.mutations();
  }
  for (std::uint64_t n = 1; n <= steps; ++n) {
    SCOPED_TRACE(n);
    store().fail_mutation_at(store().mutations() + n);
    EXPECT_THAT(commit({SegmentType::Record, row1}),
                ErrorRenders("i/o error: Input/output error (os error 5)"));
    EXPECT_EQ(store().bytes().size(), before.size());
    EXPECT_EQ(rows_on_reopen(), 0u);
    EXPECT_OK(DatabaseTestPeer::check_writable(*db_));
  }
  ASSERT_OK(commit({SegmentType::Record, row1}));
  ASSERT_OK(commit({SegmentType::Record, row2}));
  EXPECT_EQ(rows_on_reopen(), 2u);
}

TEST_F(CommitSegmentsTest, FailedCutBackRefusesEveryLaterWrite) {
  store().fail_write_at(store().writes() + 3);
  store().fail_truncate_at(store().truncates() + 1);
  EXPECT_THAT(commit({SegmentType::Record, row1}),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  const char* refused =
      "i/o error: an earlier failed write left the database file in an unknown state; reopen the "
      "database to write again";
  EXPECT_THAT(DatabaseTestPeer::check_writable(*db_), ErrorRenders(refused));
  const std::uint64_t mutations = store().mutations();
  EXPECT_THAT(commit({SegmentType::Record, row2}), ErrorRenders(refused));
  EXPECT_EQ(store().mutations(), mutations);
}

TEST_F(CommitSegmentsTest, FailedSyncOfTheCutBackAlsoRefusesLaterWrites) {
  // The commit's own sync in publish, then the cut-back's sync.
  store().fail_sync_at(store().syncs() + 1);
  ASSERT_THAT(commit({SegmentType::Record, row1}),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  ASSERT_OK(DatabaseTestPeer::check_writable(*db_));
  store().fail_sync_at(store().syncs() + 1);
  store().fail_write_at(store().writes() + 1);
  EXPECT_THAT(commit({SegmentType::Record, row1}),
              ErrorRenders("i/o error: Input/output error (os error 5)"));
  EXPECT_FALSE(DatabaseTestPeer::check_writable(*db_).ok());
}

// An unframed log (format 0.3 to 0.5) holding the users collection, row 1 and then `tail`:
// every row is shown, markers or not. A write would frame the log; where framing changes what
// the log means, the write is refused before anything is written, and compaction is the way on.
struct UnframedLog {
  const char* name;
  std::vector<Bytes> tail;
  bool writable;
};

class UnframedLogWriteTest
    : public ::testing::TestWithParam<std::tuple<UnframedLog, std::uint16_t>> {
 protected:
  Bytes image() const {
    Bytes log = testing::segment(SegmentType::Catalog, testing::create_users());
    testing::append(log, testing::segment(SegmentType::Record, testing::user_record(1, "a")));
    for (const Bytes& segment : std::get<0>(GetParam()).tail) testing::append(log, segment);
    return testing::image_with_log(std::get<1>(GetParam()), log);
  }
};

std::vector<UnframedLog> unframed_logs() {
  using testing::marker;
  using testing::segment;
  const Bytes row2 = segment(SegmentType::Record, testing::user_record(2, "b"));
  return {
      {"UnfinishedBegin", {marker(SegmentType::TxnBegin, 5), row2}, false},
      {"LoneCommit", {row2, marker(SegmentType::TxnCommit, 5)}, false},
      {"AbortedRows",
       {marker(SegmentType::TxnBegin, 5), row2, marker(SegmentType::TxnAbort, 5)},
       false},
      {"CommitOfAnotherId",
       {marker(SegmentType::TxnBegin, 5), row2, marker(SegmentType::TxnCommit, 6)},
       false},
      {"UndecodableMarker", {row2, segment(SegmentType::TxnAbort, Bytes(3, 0))}, false},
      {"NestedBegin",
       {marker(SegmentType::TxnBegin, 5), marker(SegmentType::TxnBegin, 6), row2,
        marker(SegmentType::TxnCommit, 6)},
       false},
      {"NoMarkers", {row2}, true},
      {"CommittedPair",
       {marker(SegmentType::TxnBegin, 5), row2, marker(SegmentType::TxnCommit, 5)},
       true},
      {"EmptyAbortedPair",
       {marker(SegmentType::TxnBegin, 5), marker(SegmentType::TxnAbort, 5), row2},
       true},
      {"LoneAbort", {row2, marker(SegmentType::TxnAbort, 5)}, true},
  };
}

TEST_P(UnframedLogWriteTest, WriteKeepsEveryShownRowOrIsRefusedBeforeAnythingIsWritten) {
  const Bytes old_image = image();
  const std::uint16_t minor = std::get<1>(GetParam());
  ASSERT_OK_AND_ASSIGN(Database<VecStore> db, Database<VecStore>::from_snapshot_bytes(old_image));
  ASSERT_EQ(testing::latest_of(db).size(), 2u);
  if (std::get<0>(GetParam()).writable) {
    ASSERT_OK(db.insert(1, testing::user_row(3, "c")));
    ASSERT_OK(db.delete_row(1, ScalarValue::Int64{1}));
    ASSERT_OK_AND_ASSIGN(Database<VecStore> reopened,
                         Database<VecStore>::from_snapshot_bytes(db.snapshot_bytes()));
    EXPECT_EQ(reopened.format_minor(), 6);
    EXPECT_EQ(testing::latest_of(reopened).size(), 2u);
    EXPECT_TRUE(reopened.state().get(1, testing::user_key(2)).has_value());
    EXPECT_TRUE(reopened.state().get(1, testing::user_key(3)).has_value());
    return;
  }

  const std::string refused = "i/o error: the database file is in format 0." +
                              std::to_string(minor) +
                              " and holds transaction markers that a write would give a new "
                              "meaning; run compact() first to bring it to the current format";
  EXPECT_THAT(db.insert(1, testing::user_row(3, "c")), ErrorRenders(refused));
  EXPECT_THAT(db.delete_row(1, ScalarValue::Int64{1}), ErrorRenders(refused));
  EXPECT_THAT(db.register_collection_with_indexes("more", testing::users_fields(), {}, "id"),
              ErrorRenders(refused));
  ASSERT_OK(db.begin_transaction());
  ASSERT_OK(db.register_collection_with_indexes("more", testing::users_fields(), {}, "id"));
  EXPECT_THAT(db.commit_txn_staging(), ErrorRenders(refused));
  EXPECT_EQ(db.snapshot_bytes(), old_image);
  EXPECT_EQ(db.format_minor(), minor);
  EXPECT_EQ(testing::latest_of(db).size(), 2u);

  // Compaction writes the rows as shown, in the current format; writes go on from there.
  TempDir dir;
  const std::filesystem::path path = dir.file("db");
  testing::write_file(path, old_image);
  ASSERT_OK_AND_ASSIGN(Database<FileStore> file, Database<FileStore>::open(path.string()));
  EXPECT_THAT(file.insert(1, testing::user_row(3, "c")), ErrorRenders(refused));
  ASSERT_OK(file.compact_in_place());
  ASSERT_OK(file.insert(1, testing::user_row(3, "c")));
  ASSERT_OK_AND_ASSIGN(Database<FileStore> reopened, Database<FileStore>::open(path.string()));
  EXPECT_EQ(reopened.format_minor(), 6);
  EXPECT_EQ(testing::latest_of(reopened).size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    OldMinors, UnframedLogWriteTest,
    ::testing::Combine(::testing::ValuesIn(unframed_logs()),
                       ::testing::Values(std::uint16_t{3}, std::uint16_t{4}, std::uint16_t{5})),
    [](const ::testing::TestParamInfo<UnframedLogWriteTest::ParamType>& param) {
      return std::string(std::get<0>(param.param).name) + "Minor" +
             std::to_string(std::get<1>(param.param));
    });

// Two handles on one file. Whatever the other handle wrote, every kind of write the handle opened
// before it tries is refused before a byte is written, and the handle's state stays as it was.
using FileWrite = Status (*)(Database<FileStore>&);

template <class T>
Status status_of(Result<T> result) {
  if (!result.ok()) return std::move(result).error();
  return ok_status();
}

struct HandleWrite {
  const char* name;
  FileWrite run;
};

std::vector<HandleWrite> other_writes() {
  return {
      {"Inserts", [](Database<FileStore>& db) { return db.insert(1, testing::user_row(7, "g")); }},
      {"CommitsATransaction",
       [](Database<FileStore>& db) -> Status {
         QUARN_TRY(db.begin_transaction());
         QUARN_TRY(db.delete_row(1, ScalarValue::Int64{2}));
         return db.commit_txn_staging();
       }},
      {"RegistersAVersion",
       [](Database<FileStore>& db) -> Status {
         std::vector<FieldDef> fields = testing::users_fields();
         fields.push_back(FieldDef{
             FieldPath::make({"nick"}).value(), Type::optional(Type(Type::Kind::String)), {}});
         return status_of(db.register_schema_version_with_indexes_force(1, std::move(fields),
                                                                        testing::users_indexes()));
       }},
      {"Compacts", [](Database<FileStore>& db) { return db.compact_in_place(); }},
  };
}

std::vector<HandleWrite> stale_writes() {
  return {
      {"Insert", [](Database<FileStore>& db) { return db.insert(1, testing::user_row(8, "h")); }},
      {"Delete", [](Database<FileStore>& db) { return db.delete_row(1, ScalarValue::Int64{1}); }},
      {"TransactionCommit",
       [](Database<FileStore>& db) -> Status {
         QUARN_TRY(db.begin_transaction());
         QUARN_TRY(db.insert(1, testing::user_row(8, "h")));
         return db.commit_txn_staging();
       }},
      {"Registration",
       [](Database<FileStore>& db) -> Status {
         return status_of(
             db.register_collection_with_indexes("more", testing::users_fields(), {}, "id"));
       }},
      {"SchemaVersion",
       [](Database<FileStore>& db) -> Status {
         return status_of(db.register_schema_version_with_indexes_force(1, testing::users_fields(),
                                                                        testing::users_indexes()));
       }},
      {"IndexRebuild",
       [](Database<FileStore>& db) { return db.rebuild_indexes_for_collection(1); }},
      {"Compaction", [](Database<FileStore>& db) { return db.compact_in_place(); }},
  };
}

class StaleHandleTest : public ::testing::TestWithParam<std::tuple<HandleWrite, HandleWrite>> {};

TEST_P(StaleHandleTest, WriteIsRefusedBeforeAnythingIsWritten) {
  const auto& [other_write, stale_write] = GetParam();
  TempDir dir;
  const std::string path = dir.file("db").string();
  {
    ASSERT_OK_AND_ASSIGN(Database<FileStore> setup, Database<FileStore>::open(path));
    ASSERT_OK(setup.register_collection_with_indexes("users", testing::users_fields(),
                                                     testing::users_indexes(), "id"));
    ASSERT_OK(setup.insert(1, testing::user_row(1, "a")));
    ASSERT_OK(setup.insert(1, testing::user_row(2, "b")));
  }
  ASSERT_OK_AND_ASSIGN(Database<FileStore> stale, Database<FileStore>::open(path));
  const testing::StateSummary seen = testing::summarize(
      stale.catalog(), testing::latest_of(stale), testing::indexes_of(stale), {"a", "b", "h"});
  {
    ASSERT_OK_AND_ASSIGN(Database<FileStore> other, Database<FileStore>::open(path));
    ASSERT_OK(other_write.run(other));
  }
  const Bytes written = read_file(path);

  EXPECT_THAT(stale_write.run(stale),
              ErrorRenders("i/o error: the database file was changed by another handle; open the "
                           "database again to write to it"));
  EXPECT_EQ(read_file(path), written);
  EXPECT_FALSE(stale.in_transaction());
  EXPECT_EQ(testing::summarize(stale.catalog(), testing::latest_of(stale),
                               testing::indexes_of(stale), {"a", "b", "h"}),
            seen);
  EXPECT_THAT(stale.get(1, ScalarValue::Int64{1}), IsOk());

  // Opened again, the handle sees what the other wrote and writes on from there.
  ASSERT_OK_AND_ASSIGN(Database<FileStore> fresh, Database<FileStore>::open(path));
  ASSERT_OK(stale_write.run(fresh));
}

INSTANTIATE_TEST_SUITE_P(EveryWrite, StaleHandleTest,
                         ::testing::Combine(::testing::ValuesIn(other_writes()),
                                            ::testing::ValuesIn(stale_writes())),
                         [](const ::testing::TestParamInfo<StaleHandleTest::ParamType>& param) {
                           return std::string("Other") + std::get<0>(param.param).name + "Then" +
                                  std::get<1>(param.param).name;
                         });

TEST(SharedFileTest, AWriteWhileAnotherHandleHoldsTheLockIsRefusedAsBusy) {
  TempDir dir;
  const std::string path = dir.file("db").string();
  ASSERT_OK_AND_ASSIGN(Database<FileStore> db, Database<FileStore>::open(path));
  ASSERT_OK(db.register_collection_with_indexes("users", testing::users_fields(),
                                                testing::users_indexes(), "id"));
  const Bytes before = read_file(path);
  // Another open of the file is another handle, in this process as in another.
  ASSERT_OK_AND_ASSIGN(RawFileStore holder, RawFileStore::open(path, OpenMode::ExistingOnly));
  ASSERT_OK_AND_ASSIGN(std::optional<FileWriteLock> lock,
                       FileWriteLock::acquire(holder.fd(), std::chrono::milliseconds(0)));
  ASSERT_TRUE(lock.has_value());

  const char* busy =
      "i/o error: the database file is being written by another handle; wait for it, then open "
      "the database again to write to it";
  EXPECT_THAT(db.insert(1, testing::user_row(1, "a")), ErrorRenders(busy));
  EXPECT_THAT(db.compact_in_place(), ErrorRenders(busy));
  EXPECT_EQ(read_file(path), before);
  EXPECT_EQ(testing::latest_of(db).size(), 0u);

  // The other handle wrote nothing: once it lets go, this one writes on.
  lock.reset();
  ASSERT_OK(db.insert(1, testing::user_row(1, "a")));
  ASSERT_OK(db.insert(1, testing::user_row(2, "b")));
  ASSERT_OK_AND_ASSIGN(Database<FileStore> reopened, Database<FileStore>::open(path));
  EXPECT_EQ(testing::latest_of(reopened).size(), 2u);
}

TEST(SharedFileTest, TheLockExcludesOtherOpensButNotItsOwnDescriptor) {
  TempDir dir;
  const std::string path = dir.file("f").string();
  testing::write_file(path, Bytes(10, 1));
  ASSERT_OK_AND_ASSIGN(RawFileStore first, RawFileStore::open(path, OpenMode::ExistingOnly));
  ASSERT_OK_AND_ASSIGN(RawFileStore second, RawFileStore::open(path, OpenMode::ExistingOnly));
  ASSERT_OK_AND_ASSIGN(std::optional<FileWriteLock> held,
                       FileWriteLock::acquire(first.fd(), std::chrono::milliseconds(0)));
  ASSERT_TRUE(held.has_value());
  // The wait is bounded.
  ASSERT_OK_AND_ASSIGN(const std::optional<FileWriteLock> refused,
                       FileWriteLock::acquire(second.fd(), std::chrono::milliseconds(20)));
  EXPECT_FALSE(refused.has_value());
  {
    // The holder's own descriptor shares its open, and so its lock.
    ASSERT_OK_AND_ASSIGN(std::optional<FileWriteLock> again,
                         FileWriteLock::acquire(first.fd(), std::chrono::milliseconds(0)));
    EXPECT_TRUE(again.has_value());
  }
  // It lets go when dropped, even though the descriptor it was taken through is closed first.
  first = RawFileStore(-1);
  held.reset();
  ASSERT_OK_AND_ASSIGN(std::optional<FileWriteLock> taken,
                       FileWriteLock::acquire(second.fd(), std::chrono::milliseconds(0)));
  EXPECT_TRUE(taken.has_value());
}

}  // namespace
}  // namespace quarn
