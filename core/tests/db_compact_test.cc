// Compaction: round trips into a fresh image, refusals, and what a crash during the in-place
// replacement leaves at the path.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "db/database.h"
#include "durable_file.h"
#include "segments/reader.h"
#include "testing/db_state.h"
#include "testing/log_images.h"
#include "testing/matchers.h"
#include "testing/temp_dir.h"

namespace quarn {
namespace {

using testing::ErrorRenders;
using testing::IsOk;
using testing::read_file;
using testing::StateSummary;
using testing::TempDir;
using testing::write_file;

template <class S>
StateSummary summary_of(const Database<S>& db) {
  return testing::summarize(db.catalog(), testing::latest_of(db), testing::indexes_of(db),
                            {"a", "b", "c", "z"});
}

StateSummary summary_at(const std::filesystem::path& path) {
  auto db = Database<FileStore>::open(path.string());
  EXPECT_THAT(db, IsOk());
  return db.ok() ? summary_of(db.value()) : StateSummary{};
}

std::size_t entries_in(const std::filesystem::path& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                                std::filesystem::directory_iterator{}));
}

// A file database with users at schema version 3, a row replaced many times, a deleted row and
// a spill run left behind.
class CompactTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Database<FileStore>::open(path_.string());
    ASSERT_OK(opened);
    db_.emplace(std::move(opened).value());
    ASSERT_OK(db_->register_collection_with_indexes("users", testing::users_fields(),
                                                    testing::users_indexes(), "id"));
    ASSERT_OK(db_->insert(1, testing::user_row(1, "a")));
    ASSERT_OK(db_->insert(1, testing::user_row(2, "b")));
    ASSERT_OK(db_->insert(1, testing::user_row(3, "c")));
    for (int i = 0; i < 5; ++i)
      ASSERT_OK(db_->insert(1, testing::user_row(1, "z" + std::to_string(i))));
    ASSERT_OK(db_->insert(1, testing::user_row(1, "z")));
    ASSERT_OK(db_->delete_row(1, ScalarValue::Int64{2}));
    for (int i = 0; i < 2; ++i) {
      ASSERT_OK(db_->register_schema_version_with_indexes_force(1, testing::users_fields(),
                                                                testing::users_indexes()));
    }
    ASSERT_OK_AND_ASSIGN(const std::uint64_t end, db_->store().len());
    ASSERT_OK(
        db_->store().write_all_at(end, testing::segment(SegmentType::TempSpill, Bytes(100, 9))));
    // Written behind the handle's back: only a handle that opens the file now may write it.
    db_.reset();
    auto reopened = Database<FileStore>::open(path_.string());
    ASSERT_OK(reopened);
    db_.emplace(std::move(reopened).value());
    state_ = summary_of(*db_);
  }

  TempDir dir_;
  const std::filesystem::path path_ = dir_.file("db.quarn");
  std::optional<Database<FileStore>> db_;
  StateSummary state_;
};

bool holds_segment_type(const std::filesystem::path& path, SegmentType type) {
  VecStore store(read_file(path));
  auto segments = scan_segments(store, kDataStart);
  EXPECT_THAT(segments, IsOk());
  for (const SegmentMeta& meta : segments.value()) {
    if (meta.header.segment_type == type) return true;
  }
  return false;
}

TEST_F(CompactTest, InPlaceKeepsTheLiveStateOnly) {
  const std::size_t before = read_file(path_).size();
  ASSERT_OK(db_->compact_in_place());
  EXPECT_EQ(summary_of(*db_), state_);
  EXPECT_EQ(db_->catalog().get(1)->schema_version, 3u);
  EXPECT_EQ(db_->path(), path_.string());
  EXPECT_EQ(db_->last_txn_id(), 0u);
  EXPECT_LT(read_file(path_).size(), before);
  EXPECT_FALSE(holds_segment_type(path_, SegmentType::TempSpill));
  EXPECT_EQ(entries_in(dir_.path()), 1u);
  // The handle goes on over the new file.
  ASSERT_OK(db_->insert(1, testing::user_row(5, "e")));
  db_.reset();
  ASSERT_OK_AND_ASSIGN(Database<FileStore> reopened, Database<FileStore>::open(path_.string()));
  EXPECT_EQ(testing::latest_of(reopened).size(), 3u);
}

TEST_F(CompactTest, ToAnotherFileLeavesTheSourceAlone) {
  const Bytes source = read_file(path_);
  const std::filesystem::path dest = dir_.file("copy.quarn");
  write_file(dest, Bytes(100000, 1));
  ASSERT_EQ(::chmod(dest.c_str(), 0640), 0);
  ASSERT_OK(db_->compact_to(dest.string()));
  EXPECT_EQ(read_file(path_), source);
  EXPECT_EQ(summary_at(dest), state_);
  struct stat st;
  ASSERT_EQ(::stat(dest.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(entries_in(dir_.path()), 2u);
}

TEST_F(CompactTest, ToTheDatabasesOwnFileIsRefusedWhateverTheSpelling) {
  const Bytes source = read_file(path_);
  std::filesystem::create_symlink(path_, dir_.file("link"));
  std::filesystem::create_hard_link(path_, dir_.file("hard"));
  for (const std::filesystem::path& spelling :
       {path_, dir_.path() / "." / "db.quarn", dir_.file("link"), dir_.file("hard")}) {
    SCOPED_TRACE(spelling.string());
    EXPECT_THAT(db_->compact_to(spelling.string()),
                ErrorRenders("i/o error: compaction target is the database's own file; use "
                             "compact instead"));
  }
  EXPECT_EQ(read_file(path_), source);
}

TEST_F(CompactTest, OpenTransactionIsCompactedAndEnds) {
  ASSERT_OK(db_->begin_transaction());
  ASSERT_OK(db_->insert(1, testing::user_row(7, "g")));
  ASSERT_OK(db_->compact_in_place());
  EXPECT_FALSE(db_->in_transaction());
  db_.reset();
  ASSERT_OK_AND_ASSIGN(Database<FileStore> reopened, Database<FileStore>::open(path_.string()));
  EXPECT_TRUE(reopened.state().get(1, testing::user_key(7)).has_value());
}

TEST_F(CompactTest, RowsTheCurrentDefinitionRefusesFailBeforeAnythingIsWritten) {
  ASSERT_OK(db_->register_schema_version_with_indexes_force(1, testing::users_fields_v2(),
                                                            testing::users_indexes()));
  const Bytes source = read_file(path_);
  const std::filesystem::path dest = dir_.file("copy.quarn");
  EXPECT_THAT(db_->compact_in_place(), ErrorRenders("validation error at age: missing field"));
  EXPECT_THAT(db_->compact_to(dest.string()),
              ErrorRenders("validation error at age: missing field"));
  EXPECT_EQ(read_file(path_), source);
  EXPECT_EQ(entries_in(dir_.path()), 1u);
}

// The compacted image is what a new database logs when it registers each collection, steps it to
// its schema version and inserts each live row, a commit each; the handle holds what it replays.
TEST_F(CompactTest, ImageIsWhatANewDatabaseLogsForTheLiveState) {
  ASSERT_OK(db_->register_collection_with_indexes(
      "events", testing::users_fields(),
      {IndexDef{"by_name", FieldPath::make({"name"}).value(), IndexKind::NonUnique}}, "id"));
  for (int i = 0; i < 40; ++i) {
    ASSERT_OK(db_->insert(2, testing::user_row(i % 25, "n" + std::to_string(i % 4))));
  }
  ASSERT_OK(db_->delete_row(2, ScalarValue::Int64{3}));

  ASSERT_OK_AND_ASSIGN(Database<VecStore> expected, Database<VecStore>::open_in_memory());
  const std::vector<CollectionInfo> collections = db_->catalog().collections();
  for (const CollectionInfo& info : collections) {
    ASSERT_OK(expected.register_collection_with_indexes(info.name, info.fields, info.indexes,
                                                        *info.primary_field));
    for (std::uint32_t v = 2; v <= info.schema_version; ++v) {
      ASSERT_OK(expected.register_schema_version_with_indexes_force(info.collection_id, info.fields,
                                                                    info.indexes));
    }
  }
  for (const CollectionInfo& info : collections) {
    for (const auto entry : testing::latest_of(*db_).rows_of(info.collection_id)) {
      ASSERT_OK(expected.insert(info.collection_id, entry.row.to_row()));
    }
  }

  const std::filesystem::path dest = dir_.file("copy.quarn");
  ASSERT_OK(db_->compact_to(dest.string()));
  EXPECT_EQ(read_file(dest), expected.snapshot_bytes());
  ASSERT_OK(db_->compact_in_place());
  EXPECT_EQ(read_file(path_), expected.snapshot_bytes());
  EXPECT_EQ(summary_of(*db_), summary_of(expected));
  EXPECT_EQ(testing::latest_of(*db_).size(), testing::latest_of(expected).size());
  EXPECT_EQ(testing::indexes_of(*db_).non_unique_lookup(2, "by_name", testing::name_key("n1")),
            testing::indexes_of(expected).non_unique_lookup(2, "by_name", testing::name_key("n1")));
}

TEST(CompactFormatTest, EmptyDatabaseCompactsToANewImageAndOldFormatsTo6) {
  TempDir dir;
  const std::filesystem::path path = dir.file("db");
  write_file(path, testing::image_with_log(
                       5, testing::segment(SegmentType::Catalog, testing::create_users())));
  ASSERT_OK_AND_ASSIGN(Database<FileStore> db, Database<FileStore>::open(path.string()));
  ASSERT_EQ(db.format_minor(), 5);
  ASSERT_OK(db.compact_in_place());
  EXPECT_EQ(db.format_minor(), 6);
  EXPECT_EQ(db.catalog().collections().size(), 1u);

  write_file(path, {});
  ASSERT_OK_AND_ASSIGN(Database<FileStore> empty, Database<FileStore>::open(path.string()));
  ASSERT_OK(empty.compact_in_place());
  ASSERT_OK_AND_ASSIGN(Database<VecStore> fresh, Database<VecStore>::open_in_memory());
  EXPECT_EQ(read_file(path), fresh.snapshot_bytes());
}

// A process that dies at each step of the replacement leaves the old image or the new one at
// the path, and either opens; the open removes whatever temporary the dead process left.
TEST_F(CompactTest, CrashAtEachReplacementStepLeavesTheOldOrTheNewImageAndNoTemporary) {
  const Bytes old_image = read_file(path_);
  const std::filesystem::path compacted = dir_.file("compacted");
  ASSERT_OK(db_->compact_to(compacted.string()));
  const Bytes new_image = read_file(compacted);
  db_.reset();
  const std::vector<std::pair<ReplaceStep, bool>> steps = {
      {ReplaceStep::CreateTemp, false}, {ReplaceStep::Write, false},
      {ReplaceStep::SyncTemp, false},   {ReplaceStep::Link, false},
      {ReplaceStep::Rename, false},     {ReplaceStep::SyncDirectory, true}};
  for (const auto& [step, replaced] : steps) {
    SCOPED_TRACE(static_cast<int>(step));
    write_file(path_, old_image);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Ends at the step without any cleanup, as a killed process would; a write it was making
      // lands half.
      const ReplaceObserver die_at = [&](ReplaceStep reached, RawFileStore* file) {
        if (reached != step) return;
        if (reached == ReplaceStep::Write) {
          ignore_error(file->write_all_at(0, ByteSpan(new_image).first(new_image.size() / 2)),
                       "dying anyway");
        }
        ::_exit(0);
      };
      ignore_error(replace_file_durably(path_.string(), new_image, die_at), "never reached");
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(path_), replaced ? new_image : old_image);
    EXPECT_EQ(summary_at(path_), state_);
    EXPECT_EQ(entries_in(dir_.path()), 2u);
  }
}

// Only the temporaries of this file whose process is gone are removed.
TEST(CompactTemporaryTest, OpenRemovesTheTemporariesOfDeadProcessesOnly) {
  TempDir dir;
  const std::filesystem::path path = dir.file("db.quarn");
  ASSERT_OK(Database<FileStore>::open(path.string()));
  const pid_t dead = ::fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  const std::string of_dead = ".db.quarn.quarn-tmp-" + std::to_string(dead);
  const std::string of_self = ".db.quarn.quarn-tmp-" + std::to_string(::getpid());
  write_file(dir.path() / (of_dead + "-0"), Bytes(10, 1));
  write_file(dir.path() / (of_dead + "-17"), Bytes(10, 1));
  const std::vector<std::string> kept = {
      of_self + "-0", ".other.quarn-tmp-" + std::to_string(dead) + "-0",  of_dead + "-x", of_dead,
      of_dead + "-",  "db.quarn.quarn-tmp-" + std::to_string(dead) + "-0"};
  for (const std::string& name : kept) write_file(dir.path() / name, Bytes(10, 1));
  std::filesystem::create_directory(dir.path() / (of_dead + "-3"));

  ASSERT_OK(Database<FileStore>::open(path.string()));
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    left.push_back(entry.path().filename().string());
  }
  std::vector<std::string> expected = kept;
  expected.push_back("db.quarn");
  expected.push_back(of_dead + "-3");
  EXPECT_THAT(left, ::testing::UnorderedElementsAreArray(expected));
}

// The handle resolved its directory at open: a relative path keeps naming the same file.
TEST(CompactPathTest, RelativePathKeepsActingOnItsFileAfterTheWorkingDirectoryChanges) {
  TempDir dir;
  const std::filesystem::path home = dir.path() / "home";
  const std::filesystem::path elsewhere = dir.path() / "elsewhere";
  std::filesystem::create_directory(home);
  std::filesystem::create_directory(elsewhere);
  {
    ASSERT_OK_AND_ASSIGN(Database<FileStore> other,
                         Database<FileStore>::open((elsewhere / "db.quarn").string()));
    ASSERT_OK(other.register_collection_with_indexes("other", testing::users_fields(), {}, "id"));
  }
  const Bytes other_image = read_file(elsewhere / "db.quarn");
  // Back where the test began however it ends.
  struct RestoreWorkingDirectory {
    std::filesystem::path start = std::filesystem::current_path();
    ~RestoreWorkingDirectory() { std::filesystem::current_path(start); }
  } restore;
  std::filesystem::current_path(home);
  auto opened = Database<FileStore>::open("db.quarn");
  std::filesystem::current_path(elsewhere);
  ASSERT_OK(opened);
  Database<FileStore> db = std::move(opened).value();
  ASSERT_OK(db.register_collection_with_indexes("users", testing::users_fields(),
                                                testing::users_indexes(), "id"));
  for (int i = 0; i < 5; ++i) ASSERT_OK(db.insert(1, testing::user_row(1, std::to_string(i))));
  const std::size_t before = read_file(home / "db.quarn").size();

  ASSERT_OK(db.compact_in_place());
  EXPECT_EQ(db.path(), "db.quarn");
  ASSERT_OK(db.insert(1, testing::user_row(2, "b")));

  EXPECT_EQ(read_file(elsewhere / "db.quarn"), other_image);
  EXPECT_EQ(entries_in(elsewhere), 1u);
  EXPECT_EQ(entries_in(home), 1u);
  EXPECT_LT(read_file(home / "db.quarn").size(), before);
  ASSERT_OK_AND_ASSIGN(Database<FileStore> reopened,
                       Database<FileStore>::open((home / "db.quarn").string()));
  EXPECT_EQ(testing::latest_of(reopened).size(), 2u);
  EXPECT_EQ(reopened.catalog().collections().at(0).name, "users");
}

TEST_F(CompactTest, FailedWriteOfTheNewImageKeepsTheOldFileAndTheHandleWritable) {
  const Bytes source = read_file(path_);
  // The temporary file cannot grow past this, so its write fails with EFBIG.
  const Status compacted = [&] {
    testing::FileSizeLimit limit(8300);
    return db_->compact_in_place();
  }();

  EXPECT_THAT(compacted, ErrorRenders("i/o error: File too large (os error 27)"));
  EXPECT_EQ(read_file(path_), source);
  EXPECT_EQ(entries_in(dir_.path()), 1u);
  ASSERT_OK(db_->insert(1, testing::user_row(8, "h")));
  db_.reset();
  ASSERT_OK_AND_ASSIGN(Database<FileStore> reopened, Database<FileStore>::open(path_.string()));
  EXPECT_EQ(testing::latest_of(reopened).size(), 3u);
}

TEST_F(CompactTest, CompactToOverADatabaseAnotherHandleIsWritingIsRefused) {
  const std::filesystem::path dest = dir_.file("dest.quarn");
  ASSERT_OK(Database<FileStore>::open(dest.string()));
  const Bytes before = read_file(dest);
  ASSERT_OK_AND_ASSIGN(RawFileStore holder,
                       RawFileStore::open(dest.string(), OpenMode::ExistingOnly));
  ASSERT_OK_AND_ASSIGN(std::optional<FileWriteLock> lock,
                       FileWriteLock::acquire(holder.fd(), std::chrono::milliseconds(0)));
  EXPECT_THAT(db_->compact_to(dest.string()),
              ErrorRenders("i/o error: the database file is being written by another handle; "
                           "wait for it, then open the database again to write to it"));
  EXPECT_EQ(read_file(dest), before);
  lock.reset();
  ASSERT_OK(db_->compact_to(dest.string()));
  EXPECT_EQ(summary_at(dest), state_);
}

}  // namespace
}  // namespace quarn
